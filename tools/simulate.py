#!/usr/bin/env python
"""Matchmaking simulation: watch kelvane.RandomMatchmaker form battles on steady traffic.

A population of players, each in one level band, joins the queue over simulated time, alone or
in squads of two and three, with a vehicle drawn from a realistic mix and the maps of their own
last battles. Every tick the simulation calls formteams once per queue, exactly as a server
script does, dequeues the squads of a formed battle, keeps the players busy for the length of the
battle and lets them queue again later. Squads that wait too long give up and leave the queue.
At the end it prints how long players waited, how balanced the battles were, how long each
formteams call took and how often players were sent to a map they had just played.

The simulation is the package matchsim beside this script, one module per concern; scenarios
live in the SCENARIOS table of matchsim.cli, each with its own defaults, run and report. The
second, `--scenario rated`, is a matchmaker written in Python on tessart.Tree: players keyed by
their rating, seeds drawn with `sample` weighted by their wait, opponents found with
`getClosestNode` within a tolerance that widens as the seed waits.

Run from the repository root after `make build`, with Python 2.7 or Python 3 and the modules
built for that interpreter on the path:

    PYTHONPATH=build python2.7 tools/simulate.py [--scenario rated] [--seed N] [--minutes M] ...
    PYTHONPATH=build/py3 python3 tools/simulate.py ...

or simply `make demo`. The same seed and options give the same traffic under both interpreters.
"""

import sys

from matchsim.cli import main

if __name__ == '__main__':
    sys.exit(main())
