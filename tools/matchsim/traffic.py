"""Traffic and population: when players join, who is idle, the shared simulated clock, and
the random draws behind all of it."""

from __future__ import division

import math
import random
import sys

from .stats import nearest

LEVEL_COUNT = 3
TICK_SECONDS = 1
# Statistics leave out this share of the run, while the queue fills and histories build up.
WARMUP_SHARE = 0.2


class Draws(random.Random):
    """A random.Random whose integer draws, choices and samples are Python 2.7's, made from
    random() alone: Python 3 draws integers from raw bits instead, so without this one seed
    would give other traffic there. random(), gauss() and expovariate() agree already.
    """

    def randrange(self, stop):
        """An integer from 0 to stop - 1. REQUIRES: 0 < stop < 2**53."""
        assert 0 < stop < 1 << 53
        return int(self.random() * stop)

    def randint(self, low, high):
        """An integer from low to high, both included. REQUIRES: low <= high."""
        return low + self.randrange(high - low + 1)

    def choice(self, seq):
        return seq[int(self.random() * len(seq))]

    def sample(self, population, k):
        """k distinct items of a sequence, in the order drawn."""
        n = len(population)
        if not 0 <= k <= n:
            raise ValueError('sample larger than population')
        result = [None] * k
        # Below this size Python 2.7 draws from a shrinking copy, above it rejects repeats.
        setsize = 21
        if k > 5:
            setsize += 4 ** math.ceil(math.log(k * 3, 4))
        if n <= setsize:
            pool = list(population)
            for i in range(k):
                j = int(self.random() * (n - i))
                result[i] = pool[j]
                pool[j] = pool[n - i - 1]
        else:
            selected = set()
            for i in range(k):
                j = int(self.random() * n)
                while j in selected:
                    j = int(self.random() * n)
                selected.add(j)
                result[i] = population[j]
        return result


class ArrivalProcess(object):
    """Queue entries as a Poisson process: on average `rate` players a second, in entries of one
    player or squads of two and three, drawn with the given shares of entries.
    """

    def __init__(self, rng, rate, pair_share, triple_share):
        assert rate > 0 and 0 <= pair_share and 0 <= triple_share and \
            pair_share + triple_share <= 1
        self._rng = rng
        self._pairs = pair_share
        self._triples = triple_share
        mean_size = 1 + pair_share + 2 * triple_share
        self._entry_rate = rate / mean_size
        self._next = rng.expovariate(self._entry_rate)

    def until(self, now):
        """The sizes of the entries that arrive up to and including time `now`, in order."""
        sizes = []
        while self._next <= now:
            draw = self._rng.random()
            sizes.append(3 if draw < self._triples else
                         2 if draw < self._triples + self._pairs else 1)
            self._next += self._rng.expovariate(self._entry_rate)
        return sizes


class IdlePool(object):
    """The players of each level band who are neither waiting nor in battle, with uniform
    random picks and constant-time removal.
    """

    def __init__(self):
        self._players = [[] for _ in range(LEVEL_COUNT)]
        self._where = {}

    def __len__(self):
        return len(self._where)

    def add(self, player, level):
        self._where[player] = len(self._players[level])
        self._players[level].append(player)

    def take(self, player, level):
        players = self._players[level]
        at = self._where.pop(player)
        last = players.pop()
        if last != player:
            players[at] = last
            self._where[last] = at

    def any(self, rng):
        """A uniformly drawn idle player and their level. REQUIRES: the pool is not empty."""
        at = rng.randrange(len(self._where))
        for level, players in enumerate(self._players):
            if at < len(players):
                return players[at], level
            at -= len(players)
        raise AssertionError('idle pool count out of step')

    def some(self, rng, level, count):
        """Up to `count` distinct idle players of a level band, uniformly drawn."""
        players = self._players[level]
        return rng.sample(players, min(count, len(players)))



class SimulationError(Exception):
    """The matchmaker answered in a way no script could act on."""


# Where the modules of the running interpreter are built.
BUILD_HINT = ('run `make build` and put the build folder on PYTHONPATH, or use `make demo`'
              if sys.version_info[0] < 3 else
              'run `make build` and put build/py3 on PYTHONPATH')


class TickedSimulation(object):
    """The simulated clock both scenarios share: one step a tick, and a warm-up left uncounted."""

    def _start_clock(self, minutes):
        self.ticks = nearest(minutes * 60 / TICK_SECONDS)
        self.warmup_until = int(self.ticks * WARMUP_SHARE) * TICK_SECONDS

    def counting(self):
        return self.now > self.warmup_until

    def run(self, progress=None):
        for tick in range(1, self.ticks + 1):
            self.step(tick * TICK_SECONDS)
            if progress is not None:
                progress(self)
        return self
