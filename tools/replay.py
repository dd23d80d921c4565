#!/usr/bin/env python
"""Replay a log written by matchsim.RecordingMatchmaker: exactly, checking every battle, or with
another configuration (--config) or seed (--seed) on the same traffic. See matchsim.replay.

    PYTHONPATH=build python2.7 tools/replay.py LOG [--config Q.json] [--seed S] [--json FILE]
"""

import sys

from matchsim.replay import main

if __name__ == '__main__':
    sys.exit(main())
