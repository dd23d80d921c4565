"""What recording costs per call from Python: enqueue, dequeue and formteams through
matchsim.RecordingMatchmaker (a plain log and a gzip log) against the matchmaker alone, on the
traffic of the large-queue benchmark (10,000 waiting).

Usage: PYTHONPATH=build python bench/recording_bench.py
"""

import os
import random
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), 'tools'))
sys.path.insert(0, HERE)

import kelvane  # noqa: E402
from large_queue_bench import CONFIG, QUEUE, arrival  # noqa: E402
from matchsim import RecordingMatchmaker  # noqa: E402


def calls(count):
    """count arrivals, then their departures, then 100 formteams calls."""
    rng = random.Random(7)
    arrivals = [(QUEUE, key // 20, key) + arrival(rng) for key in range(count)]
    return arrivals, [(QUEUE, key) for key in range(count)]


def timed(m, arrivals, departures):
    start = time.time()
    for args in arrivals:
        m.enqueue(*args)
    enqueue = (time.time() - start) / len(arrivals)
    start = time.time()
    for now in range(100):
        m.formteams(QUEUE, 10000 + now)
    formteams = (time.time() - start) / 100
    start = time.time()
    for args in departures:
        m.dequeue(*args)
    return enqueue, formteams, (time.time() - start) / len(departures)


def main():
    arrivals, departures = calls(10000)
    folder = tempfile.mkdtemp()
    results = {}
    for _ in range(3):  # interleaved, the best of three each
        for name in ('alone', 'plain log', 'gzip log'):
            if name == 'alone':
                m = kelvane.RandomMatchmaker(1, CONFIG)
            else:
                m = RecordingMatchmaker(1, CONFIG, os.path.join(
                    folder, 'bench.log' + ('.gz' if name == 'gzip log' else '')))
            figures = timed(m, arrivals, departures)
            if name != 'alone':
                m.close()
            results[name] = [min(a, b) for a, b in zip(results.get(name, figures), figures)]
    for name in ('alone', 'plain log', 'gzip log'):
        enqueue, formteams, dequeue = results[name]
        print('recording, %-9s  enqueue %6.2f us, dequeue %6.2f us, formteams %7.1f us per call'
              % (name, enqueue * 1e6, dequeue * 1e6, formteams * 1e6))
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))
    os.rmdir(folder)


if __name__ == '__main__':
    main()
