#!/usr/bin/env python2.7
"""Matchmaking simulation: watch kelvane.RandomMatchmaker form battles on steady traffic.

A population of players, each in one level band, joins the queue over simulated time, alone or
in squads of two and three, with a vehicle drawn from a realistic mix and the maps of their own
last battles. Every tick the simulation calls formteams once per queue, exactly as a server
script does, dequeues the squads of a formed battle, keeps the players busy for the length of the
battle and lets them queue again later. Squads that wait too long give up and leave the queue.
At the end it prints how long players waited, how balanced the battles were, how long each
formteams call took and how often players were sent to a map they had just played.

Scenarios live in the SCENARIOS table at the bottom of the file; each brings its own defaults,
run and report. The second, `--scenario rated`, is a matchmaker written in Python on
tessart.Tree: players keyed by their rating, seeds drawn with `sample` weighted by their wait,
opponents found with `getClosestNode` within a tolerance that widens as the seed waits.

Run from the repository root after `make build`:

    PYTHONPATH=build python2.7 tools/simulate.py [--scenario rated] [--seed N] [--minutes M] ...

or simply `make demo`.
"""

from __future__ import division

import argparse
import collections
import heapq
import json
import random
import sys
import time

try:
    long
except NameError:  # Python 3 has one integer type
    long = int

# ---------------------------------------------------------------------------------------------
# What the matchmaker works with

CLASS_NAMES = ('squad players', 'scouts', 'SPGs', 'AT-SPGs', 'heavies')
LEVEL_NAMES = ('top', 'middle', 'bottom')
CLASS_COUNT = 5
LEVEL_COUNT = 3

# The matchmaker's own weights for a candidate's imbalances, indexed condSquad, scout, SPG,
# AT-SPG, heavy.
SQUAD_PENALTY = (20, 5, 10, 3, 3)
PLAYERS_PENALTY = (0, 5, 10, 3, 3)
LEVEL_PENALTY = (0, 20, 100, 10, 10)
TOTAL_PENALTY = (30, 45, 200, 25, 20)

# Seconds a formteams call may search; a call that takes this long ran out of time.
TICK_BUDGET = 0.045

_CLASS_OF_TYPE = {3: 4, 10: 4, 11: 4, 4: 3, 12: 3, 13: 3, 5: 2, 6: 1}


def vehicle_class(vehicle_type):
    """The balancing class of a vehicle type: 0 (none) for every type not listed as special."""
    return _CLASS_OF_TYPE.get(vehicle_type, 0)


# ---------------------------------------------------------------------------------------------
# Statistics

def percentile(sorted_values, p):
    """The nearest-rank p-th percentile of an ascending list: the smallest value that at least p
    per cent of the values do not exceed. None for an empty list.

    REQUIRES: p an integer from 0 to 100. The rank is computed in integers, so that 7 % of 100
    values is the 7th value and not the 8th that 0.07 * 100 in floating point would give.
    """
    if not sorted_values:
        return None
    if p <= 0:
        return sorted_values[0]
    rank = (p * len(sorted_values) + 99) // 100
    return sorted_values[min(rank, len(sorted_values)) - 1]


def summarize(values):
    """Count, median, 90th and 99th percentile and maximum of a list of numbers."""
    ordered = sorted(values)
    return {
        'count': len(ordered),
        'median': percentile(ordered, 50),
        'p90': percentile(ordered, 90),
        'p99': percentile(ordered, 99),
        'max': ordered[-1] if ordered else None,
    }


def distribution(values):
    """How often each value occurs, as {value: count}."""
    counts = {}
    for value in values:
        counts[value] = counts.get(value, 0) + 1
    return counts


# ---------------------------------------------------------------------------------------------
# Battle balance, scored as the matchmaker scores its candidates

def battle_counts(team):
    """Per level, the squad and single-player class counts of one team.

    team: squads, each with .level and .types (one vehicle type per member). Returns a pair of
    per-level lists (squads, singles) of five counts each. For squads slot 0 counts all squad
    members and slots 1 to 4 the members of each class; for single players slot 0 counts those
    without a class and slots 1 to 4 those of each class.
    """
    squads = [[0] * CLASS_COUNT for _ in range(LEVEL_COUNT)]
    singles = [[0] * CLASS_COUNT for _ in range(LEVEL_COUNT)]
    for squad in team:
        if len(squad.types) >= 2:
            counts = squads[squad.level]
            for vehicle_type in squad.types:
                counts[0] += 1
                cls = vehicle_class(vehicle_type)
                if cls:
                    counts[cls] += 1
        else:
            singles[squad.level][vehicle_class(squad.types[0])] += 1
    return squads, singles


def battle_balance(team_a, team_b):
    """(differences, penalty) of a formed battle.

    differences: per class, team A minus team B over the whole battle: squad players for slot 0,
    all vehicles of the class for slots 1 to 4. penalty: the score the matchmaker gives such a
    battle: per level and class playersPenalty*|dp| + squadPenalty*|ds| + levelPenalty*|dp+ds|,
    plus totalPenalty*|difference| per class.
    """
    squads_a, singles_a = battle_counts(team_a)
    squads_b, singles_b = battle_counts(team_b)
    penalty = 0
    differences = [0] * CLASS_COUNT
    for level in range(LEVEL_COUNT):
        for cls in range(CLASS_COUNT):
            ds = squads_a[level][cls] - squads_b[level][cls]
            dp = singles_a[level][cls] - singles_b[level][cls]
            penalty += (PLAYERS_PENALTY[cls] * abs(dp) + SQUAD_PENALTY[cls] * abs(ds) +
                        LEVEL_PENALTY[cls] * abs(dp + ds))
            # Single players without a class do not count in the whole-team squad total.
            differences[cls] += ds if cls == 0 else ds + dp
    for cls in range(CLASS_COUNT):
        penalty += TOTAL_PENALTY[cls] * abs(differences[cls])
    return differences, penalty


# ---------------------------------------------------------------------------------------------
# Configuration files

class ConfigError(Exception):
    """A configuration that cannot be used; the message names the field at fault."""


INT32_MIN, INT32_MAX, UINT32_MAX = -2 ** 31, 2 ** 31 - 1, 2 ** 32 - 1
QUEUE_FIELDS = ('queueKey', 'maps', 'tmbs', 'totalImb', 'levelImb', 'maxVehicles')


def _is_int(value, low, high):
    # JSON true and false load as bool, a subclass of int; they are no counts.
    return (isinstance(value, (int, long)) and not isinstance(value, bool) and
            low <= value <= high)


def _shown(value):
    text = json.dumps(value)
    return text if len(text) <= 40 else text[:37] + '...'


def _int_list(value, where, low, high, form, max_items=None, min_items=0):
    if not isinstance(value, list) or len(value) < min_items or (
            max_items is not None and len(value) > max_items):
        raise ConfigError('%s must be %s, not %s' % (where, form, _shown(value)))
    for i, item in enumerate(value):
        if not _is_int(item, low, high):
            raise ConfigError('%s item %d must be an integer from %d to %d, not %s' %
                              (where, i, low, high, _shown(item)))


def validate_config(data):
    """Checks a configuration in the constructor's shape (a list of queue descriptions
    [queueKey, maps, tmbs, totalImb, levelImb, maxVehicles]) and returns it as the list of
    tuples the constructor takes. Raises ConfigError naming the queue and field at fault.
    """
    if not isinstance(data, list) or not data:
        raise ConfigError('the configuration must be a non-empty list of queue descriptions '
                          '[queueKey, maps, tmbs, totalImb, levelImb, maxVehicles]')
    queues = []
    seen = set()
    for index, description in enumerate(data):
        if not isinstance(description, list) or len(description) != len(QUEUE_FIELDS):
            raise ConfigError('queue description %d must be a list of six items [%s], not %s' %
                              (index, ', '.join(QUEUE_FIELDS), _shown(description)))
        key, maps, tmbs, total, level, caps = description
        if not _is_int(key, INT32_MIN, INT32_MAX):
            raise ConfigError('queue description %d: queueKey must be a 32-bit integer, not %s'
                              % (index, _shown(key)))
        if key in seen:
            raise ConfigError('queue description %d: queueKey %d is given twice' % (index, key))
        seen.add(key)
        name = 'queue %d: ' % key
        _int_list(maps, name + 'maps', INT32_MIN, INT32_MAX, 'a non-empty list of map keys',
                  min_items=1)
        if not isinstance(tmbs, list) or not tmbs:
            raise ConfigError(name + 'tmbs must be a non-empty list of team layouts '
                              '[top, mid, bottom, wait], not %s' % _shown(tmbs))
        for i, tmb in enumerate(tmbs):
            where = name + 'tmbs item %d' % i
            _int_list(tmb, where, 0, UINT32_MAX, 'a list of four non-negative integers '
                      '[top, mid, bottom, wait]', max_items=4, min_items=4)
            if sum(tmb[:3]) == 0:
                raise ConfigError(where + ' has no places at any level')
        for field, lists in (('totalImb', total), ('levelImb', level)):
            if not isinstance(lists, list) or len(lists) > CLASS_COUNT:
                raise ConfigError('%s%s must be a list of at most five lists of wait times, '
                                  'one per class, not %s' % (name, field, _shown(lists)))
            for i, timeouts in enumerate(lists):
                _int_list(timeouts, '%s%s item %d' % (name, field, i), 0, UINT32_MAX,
                          'a list of non-negative wait times')
        _int_list(caps, name + 'maxVehicles', 0, INT32_MAX,
                  'a list of at most five non-negative caps', max_items=CLASS_COUNT)
        queues.append((key, list(maps), [list(t) for t in tmbs], [list(t) for t in total],
                       [list(t) for t in level], list(caps)))
    return queues


def load_config(path, validate=validate_config):
    """The configuration of a JSON file, checked by `validate`; ConfigError if it cannot be
    used."""
    try:
        with open(path) as stream:
            data = json.load(stream)
    except IOError as error:
        raise ConfigError('cannot read %s: %s' % (path, error.strerror or error))
    except ValueError as error:
        raise ConfigError('%s is not valid JSON: %s' % (path, error))
    try:
        return validate(data)
    except ConfigError as error:
        raise ConfigError('%s: %s' % (path, error))


# ---------------------------------------------------------------------------------------------
# Traffic

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


class Squad(object):
    """One queue entry: a single player or a squad, as it was enqueued."""
    __slots__ = ('key', 'queue', 'level', 'members', 'types', 'last_maps', 'enqueued')

    def __init__(self, key, queue, level, members, types, last_maps, enqueued):
        self.key = key
        self.queue = queue
        self.level = level
        self.members = members
        self.types = types
        self.last_maps = last_maps
        self.enqueued = enqueued


class AverageWait(object):
    """The average wait of one queue as the matchmaker reckons it to relax its limits: the mean,
    over the classes that have waiting players, of each class's mean enqueue time, subtracted
    from the current time; every class weighs the same whatever its number of players.
    """

    def __init__(self):
        self._times = [0] * CLASS_COUNT
        self._players = [0] * CLASS_COUNT

    def add(self, types, enqueued, sign=1):
        for vehicle_type in types:
            cls = vehicle_class(vehicle_type)
            self._times[cls] += sign * enqueued
            self._players[cls] += sign

    def remove(self, types, enqueued):
        self.add(types, enqueued, -1)

    def at(self, now):
        means = [t // n for t, n in zip(self._times, self._players) if n]
        return now - sum(means) // len(means) if means else 0


class SimulationError(Exception):
    """The matchmaker answered in a way no script could act on."""


# ---------------------------------------------------------------------------------------------
# The random-battle scenario

RANDOM_DEFAULTS = {
    # With one tick a second and up to 45 ms per formteams call, 15 minutes stay well inside a
    # minute of wall time even if every search ran out of time; usually they take a few seconds.
    'minutes': 15,
    'rate': 10.0,        # players joining the queue per simulated second
    'population': 3000,
    'pairs': 0.10,       # shares of queue entries that are squads of two and of three
    'triples': 0.06,
}

# Level band of each player: the layouts want 3, 5 and 7 of every 15 at top, middle and bottom.
LEVEL_SHARES = (0.22, 0.34, 0.44)

# The vehicle a player takes into the queue: mediums and lights have no class, then scouts (6),
# SPGs (5), AT-SPGs (4, 12, 13) and heavies (3, 10, 11); 0 is anything else.
VEHICLE_MIX = ((2, 24), (7, 6), (8, 4), (9, 4), (1, 6), (0, 1), (6, 7), (5, 8),
               (4, 10), (12, 4), (13, 3), (3, 14), (10, 5), (11, 4))

# Battles are kept short so that players come back, with a history of maps, within a run.
BATTLE_SECONDS = (120, 300)
# A waiting squad gives up after a patience drawn from this range.
PATIENCE_SECONDS = (150, 600)
# How many of their last maps a player reports when joining the queue.
RECENT_MAPS = 4
TICK_SECONDS = 1
# Statistics leave out this share of the run, while the queue fills and histories build up.
WARMUP_SHARE = 0.2

# One queue with ten maps. Three 15-a-side layouts: 3-5-7 always, 4-5-6 as well once the
# queue's average wait reaches 20 s, 2-5-8 from 40 s. The whole-battle allowances widen from 10 s
# on; the per-level ones stay 0 for minutes, because every step of a level allowance gives each
# class a range of targets at every level and multiplies the search: with them wide, nearly
# every call on a long queue would spend its whole budget.
RANDOM_DEFAULT_CONFIG = [
    [1,
     [1, 2, 3, 4, 5, 6, 7, 8, 9, 10],
     [[3, 5, 7, 0], [4, 5, 6, 20], [2, 5, 8, 40]],
     # totalImb: squad players, scouts, SPGs, AT-SPGs, heavies
     [[0, 10, 30, 60], [0, 20, 60], [0, 45], [0, 15, 40], [0, 15, 40]],
     # levelImb
     [[0, 90], [0, 120], [0, 180], [0, 120], [0, 120]],
     # maxVehicles: squad players, scouts, SPGs, AT-SPGs, heavies per team
     [15, 3, 3, 5, 7]],
]


class TickedSimulation(object):
    """The simulated clock both scenarios share: one step a tick, and a warm-up left uncounted."""

    def _start_clock(self, minutes):
        self.ticks = int(round(minutes * 60 / TICK_SECONDS))
        self.warmup_until = int(self.ticks * WARMUP_SHARE) * TICK_SECONDS

    def counting(self):
        return self.now > self.warmup_until

    def run(self, progress=None):
        for tick in range(1, self.ticks + 1):
            self.step(tick * TICK_SECONDS)
            if progress is not None:
                progress(self)
        return self


class RandomBattleSimulation(TickedSimulation):
    """Drives one RandomMatchmaker with simulated traffic and collects what happened.

    The simulation keeps its own record of every waiting squad: a key is enqueued only while it
    is not waiting, and every squad of a formed battle is dequeued before the next tick.
    """

    def __init__(self, matchmaker, config, seed, minutes, rate, population,
                 pairs=RANDOM_DEFAULTS['pairs'], triples=RANDOM_DEFAULTS['triples'],
                 patience=PATIENCE_SECONDS, battle_seconds=BATTLE_SECONDS):
        self.matchmaker = matchmaker
        self.patience = patience
        self.battle_seconds = battle_seconds
        self.queues = sorted(description[0] for description in config)
        self.pools = dict((description[0], list(description[1])) for description in config)
        self.rng = random.Random(seed)
        self._start_clock(minutes)
        self.arrivals = ArrivalProcess(self.rng, rate, pairs, triples)
        self._vehicles = []
        for vehicle_type, weight in VEHICLE_MIX:
            self._vehicles.extend([vehicle_type] * weight)

        self.level = []
        self.recent = []
        self.idle = IdlePool()
        for player in range(population):
            draw = self.rng.random()
            level = 0 if draw < LEVEL_SHARES[0] else \
                1 if draw < LEVEL_SHARES[0] + LEVEL_SHARES[1] else 2
            self.level.append(level)
            self.recent.append([])
            self.idle.add(player, level)

        self.now = 0
        self.next_key = 1
        self.waiting = {}          # key -> Squad
        self.average_wait = dict((queue, AverageWait()) for queue in self.queues)
        self.waiting_players = 0
        self.give_ups = []         # heap of (time, key)
        self.in_battle = []        # heap of (end time, battle number, players)
        self.battles = 0

        # Statistics after the warm-up
        self.waits = []            # per matched player: (wait, level, in a squad)
        self.differences = []      # per battle: team A minus team B per class
        self.penalties = []
        self.layouts = {}          # places per team at each level -> battles
        self.queue_waits = []      # per battle: the queue's average wait when it formed
        self.call_seconds = []
        self.recent_hits = 0       # matched players sent to a map of their own recent list
        self.recent_expected = 0.0  # the same if maps were drawn uniformly from the pool
        self.counted_battles = 0
        self.battles_by_queue = dict((queue, 0) for queue in self.queues)
        self.entries = [0, 0]      # squads, players enqueued
        self.gave_up = [0, 0]      # squads, players
        self.gave_up_by_level = [0] * LEVEL_COUNT  # players
        self.missed_entries = 0    # arrivals with nobody idle to join

    # -- one tick ---------------------------------------------------------------------------

    def step(self, now):
        self.now = now
        self._end_battles(now)
        self._give_up(now)
        for size in self.arrivals.until(now):
            self._join(now, size)
        for queue in self.queues:
            self._form(queue, now)

    def _end_battles(self, now):
        while self.in_battle and self.in_battle[0][0] <= now:
            _, _, players = heapq.heappop(self.in_battle)
            for player in players:
                self.idle.add(player, self.level[player])

    def _give_up(self, now):
        while self.give_ups and self.give_ups[0][0] <= now:
            _, key = heapq.heappop(self.give_ups)
            squad = self.waiting.get(key)
            if squad is None:
                continue  # it went to battle first
            self._leave(squad)
            for player in squad.members:
                self.idle.add(player, squad.level)
            if self.counting():
                self.gave_up[0] += 1
                self.gave_up[1] += len(squad.members)
                self.gave_up_by_level[squad.level] += len(squad.members)

    def _join(self, now, size):
        if not len(self.idle):
            self.missed_entries += 1
            return
        leader, level = self.idle.any(self.rng)
        self.idle.take(leader, level)
        members = [leader] + self.idle.some(self.rng, level, size - 1)
        for player in members[1:]:
            self.idle.take(player, level)
        queue = self.queues[self.rng.randrange(len(self.queues))]
        types = [self.rng.choice(self._vehicles) for _ in members]
        last_maps = [list(self.recent[player]) for player in members]
        key = self.next_key
        self.next_key += 1
        assert key not in self.waiting
        self.matchmaker.enqueue(queue, now, key, level, types, last_maps)
        self.waiting[key] = Squad(key, queue, level, members, types, last_maps, now)
        self.average_wait[queue].add(types, now)
        self.waiting_players += len(members)
        patience = self.rng.randint(*self.patience)
        heapq.heappush(self.give_ups, (now + patience, key))
        if self.counting():
            self.entries[0] += 1
            self.entries[1] += len(members)

    def _leave(self, squad):
        self.matchmaker.dequeue(squad.queue, squad.key)
        del self.waiting[squad.key]
        self.average_wait[squad.queue].remove(squad.types, squad.enqueued)
        self.waiting_players -= len(squad.members)

    def _form(self, queue, now):
        start = time.time()
        map_key, keys_a, keys_b = self.matchmaker.formteams(queue, now)
        seconds = time.time() - start
        counting = self.counting()
        if counting:
            self.call_seconds.append(seconds)
        if not keys_a or not keys_b:
            return
        teams = []
        for keys in (keys_a, keys_b):
            team = []
            for key in keys:
                squad = self.waiting.get(key)
                if squad is None or squad.queue != queue or squad in team:
                    raise SimulationError('formteams(%d) returned squad %d, which is not '
                                          'waiting in that queue' % (queue, key))
                team.append(squad)
            teams.append(team)
        if set(keys_a) & set(keys_b):
            raise SimulationError('formteams(%d) put a squad in both teams' % queue)
        queue_wait = self.average_wait[queue].at(now)
        for squad in teams[0] + teams[1]:
            self._leave(squad)

        self.battles += 1
        players = []
        pool = self.pools[queue]
        for squad in teams[0] + teams[1]:
            for member, recent in zip(squad.members, squad.last_maps):
                if counting:
                    self.waits.append((now - squad.enqueued, squad.level,
                                       len(squad.members) > 1))
                    self.recent_hits += map_key in recent
                    self.recent_expected += len(set(recent).intersection(pool)) / len(pool)
                self.recent[member] = ([map_key] + self.recent[member])[:RECENT_MAPS]
                players.append(member)
        if counting:
            self.counted_battles += 1
            self.battles_by_queue[queue] += 1
            differences, penalty = battle_balance(teams[0], teams[1])
            self.differences.append(differences)
            self.penalties.append(penalty)
            self.queue_waits.append(queue_wait)
            layout = [0] * LEVEL_COUNT
            for squad in teams[0]:
                layout[squad.level] += len(squad.members)
            layout = '-'.join(str(n) for n in layout)
            self.layouts[layout] = self.layouts.get(layout, 0) + 1
        length = self.rng.randint(*self.battle_seconds)
        heapq.heappush(self.in_battle, (now + length, self.battles, players))

    # -- the report -------------------------------------------------------------------------

    def report(self):
        waits = self.waits
        by_level = {}
        for level, name in enumerate(LEVEL_NAMES):
            by_level[name] = summarize([w for w, lvl, _ in waits if lvl == level])
        penalties = sorted(self.penalties)
        classes = {}
        for cls, name in enumerate(CLASS_NAMES):
            classes[name] = distribution(d[cls] for d in self.differences)
        ms = sorted(s * 1000.0 for s in self.call_seconds)
        matched = len(waits)
        longest = max([self.now - s.enqueued for s in self.waiting.values()] or [0])
        return {
            'scenario': 'random',
            'simulated_seconds': self.now,
            'warmup_seconds': self.warmup_until,
            'queues': self.queues,
            'battles': self.counted_battles,
            'battles_by_queue': dict((str(q), n) for q, n in self.battles_by_queue.items()),
            'players_matched': matched,
            'entries': {'squads': self.entries[0], 'players': self.entries[1]},
            'gave_up': {'squads': self.gave_up[0], 'players': self.gave_up[1],
                        'players_by_level': dict(zip(LEVEL_NAMES, self.gave_up_by_level))},
            'missed_entries': self.missed_entries,
            'waiting_at_end': {'squads': len(self.waiting), 'players': self.waiting_players,
                               'longest_wait': longest},
            'wait': {
                'all': summarize([w for w, _, _ in waits]),
                'by_level': by_level,
                'in_squads': summarize([w for w, _, squad in waits if squad]),
                'single': summarize([w for w, _, squad in waits if not squad]),
            },
            'layouts': self.layouts,
            'queue_wait_at_battle': summarize(self.queue_waits),
            'balance': {
                'difference_by_class': classes,
                'penalty': {'mean': sum(penalties) / len(penalties) if penalties else None,
                            'median': percentile(penalties, 50),
                            'max': penalties[-1] if penalties else None},
            },
            'formteams_ms': {
                'calls': len(ms),
                'median': percentile(ms, 50),
                'p99': percentile(ms, 99),
                'max': ms[-1] if ms else None,
                'budget_share': (sum(1 for t in ms if t >= TICK_BUDGET * 1000) / len(ms)
                                 if ms else None),
            },
            'recent_maps': {
                'players': matched,
                'sent_to_recent': self.recent_hits,
                'share': self.recent_hits / matched if matched else None,
                'uniform_share': self.recent_expected / matched if matched else None,
            },
        }


# ---------------------------------------------------------------------------------------------
# Text report

def seconds_text(value):
    if value is None:
        return '-'
    value = int(round(value))
    return '%d s' % value if value < 60 else '%d:%02d' % divmod(value, 60)


def ms_text(value):
    return '-' if value is None else '%.1f ms' % value


def share_text(value):
    return '-' if value is None else '%.1f%%' % (100 * value)


def wait_row(name, summary):
    return '  %-16s %7d %7s %7s %7s %7s' % (
        name, summary['count'], seconds_text(summary['median']), seconds_text(summary['p90']),
        seconds_text(summary['p99']), seconds_text(summary['max']))


def difference_row(name, counts, total):
    cells = []
    for low, high, label in ((None, -3, '<=-3'), (-2, -2, '-2'), (-1, -1, '-1'), (0, 0, '0'),
                             (1, 1, '+1'), (2, 2, '+2'), (3, None, '>=+3')):
        n = sum(c for d, c in counts.items()
                if (low is None or d >= low) and (high is None or d <= high))
        share = 100.0 * n / total
        cells.append('%6s' % ('.' if not n else '<1%' if share < 0.5 else '%.0f%%' % share))
    return '  %-16s%s' % (name, ''.join(cells))


def render_random(report, settings):
    lines = []
    add = lines.append
    battles = report['battles']
    add('Random battles: %g simulated minutes, %g players joining a second, population %d, '
        'seed %d' % (report['simulated_seconds'] / 60, settings['rate'], settings['population'],
                     settings['seed']))
    add('Counted from minute %g on: the first minutes fill the queue and the map histories.' %
        (report['warmup_seconds'] / 60))
    add('')
    by_queue = sorted(report['battles_by_queue'].items())
    add('Battles formed      %d%s' % (battles, '' if len(by_queue) < 2 else ' (%s)' % ', '.join(
        'queue %s: %d' % item for item in by_queue)))
    add('Players matched     %d (%d joined the queue meanwhile)' % (
        report['players_matched'], report['entries']['players']))
    gave_up = report['gave_up']
    add('Gave up waiting     %d players in %d squads%s' % (
        gave_up['players'], gave_up['squads'], '' if not gave_up['players'] else ' (%s)' % (
            ', '.join('%d %s' % (gave_up['players_by_level'][name], name)
                      for name in LEVEL_NAMES))))
    add('Still waiting       %d players at the end, the longest for %s' % (
        report['waiting_at_end']['players'],
        seconds_text(report['waiting_at_end']['longest_wait'])))
    if report['missed_entries']:
        add('Found nobody idle   %d times: raise --population or lower --rate' %
            report['missed_entries'])
    layouts = sorted(report['layouts'].items(), key=lambda item: (-item[1], item[0]))
    add('Team layouts        %s' % ', '.join(
        '%s in %s' % (layout, share_text(n / battles)) for layout, n in layouts))
    add('                    (places per team at the top, middle and bottom level)')
    queue_wait = report['queue_wait_at_battle']
    add('Queue average wait  %s median, %s p90, %s max when a battle formed' % (
        seconds_text(queue_wait['median']), seconds_text(queue_wait['p90']),
        seconds_text(queue_wait['max'])))
    add('                    (it decides which layouts are tried and how much imbalance is '
        'allowed)')
    add('')
    add('Wait until a battle, per player')
    add('  %-16s %7s %7s %7s %7s %7s' % ('', 'players', 'median', 'p90', 'p99', 'max'))
    wait = report['wait']
    add(wait_row('all', wait['all']))
    for name in LEVEL_NAMES:
        add(wait_row(name + ' level', wait['by_level'][name]))
    add(wait_row('in squads', wait['in_squads']))
    add(wait_row('single players', wait['single']))
    add('')
    add('Balance: team A minus team B over the whole battle, share of battles')
    add('  %-16s%6s%6s%6s%6s%6s%6s%6s' % ('', '<=-3', '-2', '-1', '0', '+1', '+2', '>=+3'))
    balance = report['balance']
    for name in CLASS_NAMES:
        add(difference_row(name, balance['difference_by_class'][name], max(battles, 1)))
    penalty = balance['penalty']
    add('  penalty score: mean %s, median %s, max %s (the matchmaker\'s own score; 0 is perfect)'
        % ('-' if penalty['mean'] is None else '%.1f' % penalty['mean'],
           '-' if penalty['median'] is None else penalty['median'],
           '-' if penalty['max'] is None else penalty['max']))
    add('')
    calls = report['formteams_ms']
    add('formteams per call  median %s, p99 %s, max %s over %d calls' % (
        ms_text(calls['median']), ms_text(calls['p99']), ms_text(calls['max']), calls['calls']))
    add('                    %s of the calls reached the %d ms budget' % (
        share_text(calls['budget_share']), TICK_BUDGET * 1000))
    recent = report['recent_maps']
    add('Recent maps         %s of matched players got a map among their last %d' % (
        share_text(recent['share']), RECENT_MAPS))
    add('                    (%s if the map were drawn at random)' %
        share_text(recent['uniform_share']))
    return '\n'.join(lines)


# ---------------------------------------------------------------------------------------------
# The rated scenario: a matchmaker written in Python on tessart.Tree

RATED_DEFAULTS = {
    'minutes': 20,       # well under a second of wall time
    'rate': 6.0,         # players joining the queue per simulated second
    'population': 1500,
}

# Hidden skill of the population: it decides who wins. A player's first rating misses it by a
# normally distributed placement error; every result then moves the rating.
SKILL_MEAN = 1500.0
SKILL_SPREAD = 300.0
PLACEMENT_ERROR = 200.0
# Rating points a team wins in an even match are ELO_K / 2; a rating ELO_SCALE points higher
# means ten to one odds.
ELO_K = 32.0
ELO_SCALE = 400.0
MATCH_SECONDS = (60, 180)
RATED_PATIENCE = (120, 300)
# Upper edges of the bands of seed waits over which the rating gap is reported.
WAIT_BANDS = (10, 30, 60)
# No lower bound for getClosestNode: the nearest rating on either side will do, and the
# matchmaker checks the distance against the seed's tolerance itself.
NO_BOUND = float('-inf')

RATED_DEFAULT_CONFIG = {
    'team_size': 2,          # players per team
    'seeds_per_tick': 8,     # players sampled each tick to build a match around
    'tolerance': 25.0,       # rating points between a seed and an opponent, at first
    'widening': 2.0,         # more rating points for every second the seed has waited
    'max_tolerance': 300.0,
    'reweight_every': 10,    # seconds between raising a waiting player's weight to their wait
}

# Field: (kind, lowest, highest); None leaves that side open.
_RATED_FIELDS = {
    'team_size': (int, 1, 5),
    'seeds_per_tick': (int, 1, 1000),
    'tolerance': (float, 0, None),
    'widening': (float, 0, None),
    'max_tolerance': (float, 0, None),
    'reweight_every': (int, 1, 3600),
}


def validate_rated_config(data):
    """Checks a rated matchmaker's configuration: an object whose fields are those of
    RATED_DEFAULT_CONFIG, each optional. Returns the complete configuration as a dict; raises
    ConfigError naming the field at fault.
    """
    if not isinstance(data, dict):
        raise ConfigError('the configuration must be an object with the fields %s, not %s' %
                          (', '.join(sorted(RATED_DEFAULT_CONFIG)), _shown(data)))
    unknown = sorted(set(data) - set(RATED_DEFAULT_CONFIG))
    if unknown:
        raise ConfigError('unknown field %s; the fields are %s' %
                          (_shown(unknown[0]), ', '.join(sorted(RATED_DEFAULT_CONFIG))))
    config = dict(RATED_DEFAULT_CONFIG)
    for field in sorted(data):
        kind, low, high = _RATED_FIELDS[field]
        value = data[field]
        number = isinstance(value, (int, long, float)) and not isinstance(value, bool)
        if kind is int:
            number = number and not isinstance(value, float)
        # NaN fails both comparisons, so it is refused too.
        if not number or not (low <= value) or (high is not None and not value <= high):
            raise ConfigError('%s must be %s from %s%s, not %s' % (
                field, 'an integer' if kind is int else 'a number', low,
                ' to %s' % high if high is not None else ' up', _shown(value)))
        config[field] = kind(value)
    if config['max_tolerance'] < config['tolerance']:
        raise ConfigError('max_tolerance must not be below tolerance (%g < %g)' %
                          (config['max_tolerance'], config['tolerance']))
    return config


def load_rated_config(path):
    return load_config(path, validate_rated_config)


class Waiting(object):
    """The value of a node of the rating tree: one waiting player, with the rating they joined
    with, when they joined and the weight their node has in the tree."""
    __slots__ = ('player', 'rating', 'since', 'weight')

    def __init__(self, player, rating, since):
        self.player = player
        self.rating = rating
        self.since = since
        self.weight = 1


def split_teams(players):
    """Two teams of equal size from an even number of players with .rating, dealt in snake
    order from the highest rating down (A, B, B, A, A, B, ...) so that the averages come close.
    """
    ordered = sorted(players, key=lambda p: -p.rating)
    teams = ([], [])
    for i, player in enumerate(ordered):
        side = i % 2 if i // 2 % 2 == 0 else 1 - i % 2
        teams[side].append(player)
    return teams


def rating_change(ratings_a, ratings_b, a_won):
    """The points every member of team A wins (team B loses as many): ELO_K times the result
    less the result the team averages predicted."""
    mean_a = sum(ratings_a) / len(ratings_a)
    mean_b = sum(ratings_b) / len(ratings_b)
    expected = 1 / (1 + 10 ** ((mean_b - mean_a) / ELO_SCALE))
    return ELO_K * ((1.0 if a_won else 0.0) - expected)


def wait_band(seconds):
    """The index of the WAIT_BANDS band a wait falls in; the last is open above."""
    for band, edge in enumerate(WAIT_BANDS):
        if seconds < edge:
            return band
    return len(WAIT_BANDS)


def wait_band_names():
    names = []
    low = 0
    for edge in WAIT_BANDS:
        names.append('under %s' % seconds_text(edge) if not low else
                     '%s to %s' % (seconds_text(low), seconds_text(edge)))
        low = edge
    return names + ['%s or more' % seconds_text(low)]


class RatedMatchmaker(object):
    """Matches players of close rating, written in Python on a tessart.Tree.

    Every waiting player is one TreeNode: the key is their rating, the value a Waiting record,
    the weight the seconds they have waited (at least 1). Each tick, formmatches
      1. takes `seeds_per_tick` seeds with `sample`, evenly spread over the total weight, so
         that a player who has waited longer covers more of it and is likelier to be a seed;
      2. takes each seed out of the tree and asks `getClosestNode` for the nearest rating left,
         again and again, until the match is full or the nearest is further from the seed
         than its tolerance, which widens with the seed's wait;
      3. leaves a full match out of the tree, and puts everyone back otherwise.
    A node's weight cannot change while it is in the tree: to raise it to the wait, every
    `reweight_every` seconds the node is taken out and inserted again with the new weight.
    """

    def __init__(self, tessart, config):
        self._new_node = tessart.TreeNode
        self.config = config
        self.tree = tessart.Tree()
        self.nodes = {}          # player -> their node, while waiting
        self._reweights = []     # heap of (time, order, node)
        self._order = 0
        self.calls = dict.fromkeys(('insertByKey', 'removeNode', 'getClosestNode', 'sample'), 0)

    def tolerance(self, wait):
        """Rating points allowed between a seed that has waited `wait` seconds and any other
        player of its match."""
        config = self.config
        return min(config['tolerance'] + config['widening'] * wait, config['max_tolerance'])

    def enqueue(self, player, rating, now):
        """Puts a player who is not waiting into the tree; returns their Waiting record."""
        assert player not in self.nodes
        waiting = Waiting(player, rating, now)
        node = self._new_node((float(rating),), waiting)
        self._insert(node, 1)
        self.nodes[player] = node
        self._schedule_reweight(node, now)
        return waiting

    def dequeue(self, player):
        """Takes a waiting player out, as when they give up."""
        self._remove(self.nodes.pop(player))

    def formmatches(self, now):
        """The matches formed at time `now`, each (seed, team A, team B) as Waiting records;
        their players are no longer waiting."""
        self._reweight(now)
        matches = []
        total = self.tree.size()
        if not total:
            return matches
        self.calls['sample'] += 1
        tried = set()
        # A long wait covers several sample positions in a row: each seed is tried once.
        for seed in self.tree.sample(min(self.config['seeds_per_tick'], total)):
            if seed in tried or self.nodes.get(seed.value.player) is not seed:
                continue  # tried already, or matched as someone else's opponent
            tried.add(seed)
            players = self._gather(seed, now)
            if players:
                matches.append((seed.value,) + split_teams(players))
        return matches

    def _gather(self, seed, now):
        rating = seed.value.rating
        tolerance = self.tolerance(now - seed.value.since)
        key = (float(rating),)
        # Out first, so that the searches find the seed's opponents, not the seed.
        self._remove(seed)
        taken = [seed]
        while len(taken) < 2 * self.config['team_size']:
            self.calls['getClosestNode'] += 1
            node = self.tree.getClosestNode(key, NO_BOUND)
            if node is None or abs(node.value.rating - rating) > tolerance:
                for back in taken:
                    self._insert(back, back.value.weight)
                return None
            self._remove(node)
            taken.append(node)
        for node in taken:
            del self.nodes[node.value.player]
        return [node.value for node in taken]

    def _schedule_reweight(self, node, now):
        self._order += 1
        heapq.heappush(self._reweights, (now + self.config['reweight_every'], self._order, node))

    def _reweight(self, now):
        while self._reweights and self._reweights[0][0] <= now:
            _, _, node = heapq.heappop(self._reweights)
            waiting = node.value
            if self.nodes.get(waiting.player) is not node:
                continue  # matched or gave up since
            self._remove(node)
            self._insert(node, max(1, now - waiting.since))
            self._schedule_reweight(node, now)

    def _insert(self, node, weight):
        self.calls['insertByKey'] += 1
        node.value.weight = weight
        self.tree.insertByKey(node, weight)

    def _remove(self, node):
        self.calls['removeNode'] += 1
        self.tree.removeNode(node)


class RatedSimulation(TickedSimulation):
    """Drives a RatedMatchmaker with players of hidden skill who join one at a time, play their
    match, have their rating updated by its result and join again later.
    """

    COUNTED = 'matches'

    def __init__(self, matchmaker, seed, minutes, rate, population, patience=RATED_PATIENCE,
                 match_seconds=MATCH_SECONDS):
        self.matchmaker = matchmaker
        self.patience = patience
        self.match_seconds = match_seconds
        self.rng = random.Random(seed)
        self._start_clock(minutes)
        self.arrivals = ArrivalProcess(self.rng, rate, 0.0, 0.0)
        self.skill = []
        self.rating = []
        self.idle = IdlePool()   # all in level band 0: the rated queue has no bands
        for player in range(population):
            skill = self.rng.gauss(SKILL_MEAN, SKILL_SPREAD)
            self.skill.append(skill)
            self.rating.append(skill + self.rng.gauss(0, PLACEMENT_ERROR))
            self.idle.add(player, 0)

        self.now = 0
        self.waiting = {}          # player -> Waiting
        self.give_ups = []         # heap of (time, player, Waiting)
        self.in_match = []         # heap of (end time, match number, players)
        self.matches = 0
        self.last_matches = []     # the matches of the latest tick

        # Statistics after the warm-up
        self.waits = []
        self.gaps = []             # per match: (highest minus lowest rating, seed's wait)
        self.team_differences = []  # per match: |team A's mean rating - team B's|
        self.tick_seconds = []     # per tick: wall time spent in the matchmaker
        self.tick_calls = []       # per tick: tree calls
        self.calls = dict((name, 0) for name in matchmaker.calls)
        self.entries = 0
        self.gave_up = 0
        self.missed_entries = 0

    @property
    def waiting_players(self):
        return len(self.waiting)

    def step(self, now):
        self.now = now
        calls_before = dict(self.matchmaker.calls)
        self._spent = 0.0
        self._end_matches(now)
        self._give_up(now)
        for _ in self.arrivals.until(now):
            self._join(now)
        matches = self._timed(self.matchmaker.formmatches, now)
        self.last_matches = matches
        for seed, team_a, team_b in matches:
            self._play(now, seed, (team_a, team_b))
        if self.counting():
            calls = 0
            for name, count in self.matchmaker.calls.items():
                self.calls[name] += count - calls_before[name]
                calls += count - calls_before[name]
            self.tick_calls.append(calls)
            self.tick_seconds.append(self._spent)

    def _timed(self, method, *args):
        started = time.time()
        result = method(*args)
        self._spent += time.time() - started
        return result

    def _end_matches(self, now):
        while self.in_match and self.in_match[0][0] <= now:
            _, _, players = heapq.heappop(self.in_match)
            for player in players:
                self.idle.add(player, 0)

    def _give_up(self, now):
        while self.give_ups and self.give_ups[0][0] <= now:
            _, player, waiting = heapq.heappop(self.give_ups)
            if self.waiting.get(player) is not waiting:
                continue  # matched first
            self._timed(self.matchmaker.dequeue, player)
            del self.waiting[player]
            self.idle.add(player, 0)
            if self.counting():
                self.gave_up += 1

    def _join(self, now):
        if not len(self.idle):
            self.missed_entries += 1
            return
        player, _ = self.idle.any(self.rng)
        self.idle.take(player, 0)
        waiting = self._timed(self.matchmaker.enqueue, player, self.rating[player], now)
        self.waiting[player] = waiting
        heapq.heappush(self.give_ups, (now + self.rng.randint(*self.patience), player, waiting))
        if self.counting():
            self.entries += 1

    def _play(self, now, seed, teams):
        players = teams[0] + teams[1]
        for waiting in players:
            if self.waiting.get(waiting.player) is not waiting:
                raise SimulationError('formmatches returned player %d, who is not waiting' %
                                      waiting.player)
            del self.waiting[waiting.player]
        self.matches += 1
        if self.counting():
            ratings = [w.rating for w in players]
            self.gaps.append((max(ratings) - min(ratings), now - seed.since))
            self.team_differences.append(abs(
                sum(w.rating for w in teams[0]) / len(teams[0]) -
                sum(w.rating for w in teams[1]) / len(teams[1])))
            self.waits.extend(now - waiting.since for waiting in players)
        skill_a = sum(self.skill[w.player] for w in teams[0]) / len(teams[0])
        skill_b = sum(self.skill[w.player] for w in teams[1]) / len(teams[1])
        a_won = self.rng.random() < 1 / (1 + 10 ** ((skill_b - skill_a) / ELO_SCALE))
        change = rating_change([w.rating for w in teams[0]], [w.rating for w in teams[1]], a_won)
        for sign, team in ((1, teams[0]), (-1, teams[1])):
            for waiting in team:
                self.rating[waiting.player] += sign * change
        length = self.rng.randint(*self.match_seconds)
        heapq.heappush(self.in_match, (now + length, self.matches,
                                       [w.player for w in players]))

    def report(self):
        bands = [[] for _ in range(len(WAIT_BANDS) + 1)]
        for gap, wait in self.gaps:
            bands[wait_band(wait)].append(gap)
        ms = sorted(s * 1000.0 for s in self.tick_seconds)
        calls = sorted(self.tick_calls)
        total_calls = sum(calls)
        longest = max([self.now - w.since for w in self.waiting.values()] or [0])
        return {
            'scenario': 'rated',
            'simulated_seconds': self.now,
            'warmup_seconds': self.warmup_until,
            'matches': len(self.gaps),
            'players_matched': len(self.waits),
            'entries': self.entries,
            'gave_up': self.gave_up,
            'missed_entries': self.missed_entries,
            'waiting_at_end': {'players': len(self.waiting), 'longest_wait': longest},
            'wait': summarize(self.waits),
            'rating_gap': {
                'all': summarize([gap for gap, _ in self.gaps]),
                'by_seed_wait': dict(zip(wait_band_names(), [summarize(b) for b in bands])),
            },
            'team_difference': summarize(self.team_differences),
            'tree_calls': {
                'ticks': len(calls),
                'per_tick': summarize(calls),
                'mean_per_tick': dict((name, n / len(calls) if calls else None)
                                      for name, n in self.calls.items()),
            },
            'tick_ms': {
                'median': percentile(ms, 50),
                'p99': percentile(ms, 99),
                'max': ms[-1] if ms else None,
                'per_call_us': sum(ms) * 1000 / total_calls if total_calls else None,
            },
        }


def rating_text(value):
    return '-' if value is None else '%d' % int(round(value))


def gap_row(name, summary):
    return '  %-16s %7d %7s %7s %7s' % (
        name, summary['count'], rating_text(summary['median']), rating_text(summary['p90']),
        rating_text(summary['max']))


def render_rated(report, settings):
    lines = []
    add = lines.append
    config = settings['config']
    add('Rated matches: %g simulated minutes, %g players joining a second, population %d, '
        'seed %d' % (report['simulated_seconds'] / 60, settings['rate'], settings['population'],
                     settings['seed']))
    add('%d against %d; %d seeds a tick; tolerance %g rating points, %g more a second waited, '
        'at most %g' % (config['team_size'], config['team_size'], config['seeds_per_tick'],
                        config['tolerance'], config['widening'], config['max_tolerance']))
    add('Counted from minute %g on: the first minutes fill the queue.' %
        (report['warmup_seconds'] / 60))
    add('')
    add('Matches formed      %d' % report['matches'])
    add('Players matched     %d (%d joined the queue meanwhile)' % (report['players_matched'],
                                                                    report['entries']))
    add('Gave up waiting     %d players' % report['gave_up'])
    add('Still waiting       %d players at the end, the longest for %s' % (
        report['waiting_at_end']['players'],
        seconds_text(report['waiting_at_end']['longest_wait'])))
    if report['missed_entries']:
        add('Found nobody idle   %d times: raise --population or lower --rate' %
            report['missed_entries'])
    add('')
    add('Wait until a match, per player')
    add('  %-16s %7s %7s %7s %7s %7s' % ('', 'players', 'median', 'p90', 'p99', 'max'))
    add(wait_row('all', report['wait']))
    add('')
    add('Rating gap within a match (highest minus lowest rating), by the seed\'s wait')
    add('  %-16s %7s %7s %7s %7s' % ('seed waited', 'matches', 'median', 'p90', 'max'))
    by_wait = report['rating_gap']['by_seed_wait']
    for name in wait_band_names():
        add(gap_row(name, by_wait[name]))
    add(gap_row('all', report['rating_gap']['all']))
    difference = report['team_difference']
    add('Team average gap    %s median, %s p90, %s max (team A\'s mean rating against B\'s)' % (
        rating_text(difference['median']), rating_text(difference['p90']),
        rating_text(difference['max'])))
    add('')
    calls = report['tree_calls']
    mean = calls['mean_per_tick']
    add('Tree calls a tick   median %s, max %s; on average' % (
        '-' if calls['per_tick']['median'] is None else calls['per_tick']['median'],
        '-' if calls['per_tick']['max'] is None else calls['per_tick']['max']))
    add('                    %s' % ', '.join(
        '%.1f %s' % (mean[name], name) for name in
        ('sample', 'getClosestNode', 'removeNode', 'insertByKey') if mean[name] is not None))
    tick = report['tick_ms']
    add('Matchmaker a tick   median %s, p99 %s, max %s; %s a tree call, Python included' % (
        ms_text(tick['median']), ms_text(tick['p99']), ms_text(tick['max']),
        '-' if tick['per_call_us'] is None else '%.1f us' % tick['per_call_us']))
    return '\n'.join(lines)


def run_rated(options, config, make_matchmaker, progress):
    """The rated scenario on a validated configuration. Returns (report, text)."""
    if options.squads:
        raise ConfigError('--squads applies to the random scenario only: rated players join '
                          'alone')
    settings = {
        'seed': options.seed,
        'minutes': options.minutes if options.minutes is not None
        else RATED_DEFAULTS['minutes'],
        'rate': options.rate if options.rate is not None else RATED_DEFAULTS['rate'],
        'population': options.population or RATED_DEFAULTS['population'],
        'config': config,
    }
    simulation = RatedSimulation(make_matchmaker(options.seed, config), options.seed,
                                 settings['minutes'], settings['rate'], settings['population'])
    started = time.time()
    simulation.run(progress)
    report = simulation.report()
    report['settings'] = settings
    report['wall_seconds'] = time.time() - started
    text = render_rated(report, settings)
    text += '\nWall time           %.1f s for the whole run' % report['wall_seconds']
    return report, text


def tessart_matchmaker(seed, config):
    """A RatedMatchmaker on the built tessart module; it draws nothing at random, so the seed
    only drives the traffic."""
    try:
        import tessart
    except ImportError as error:
        raise SimulationError('cannot import tessart (%s): run `make build` and put the build '
                              'folder on PYTHONPATH, or use `make demo`' % error)
    return RatedMatchmaker(tessart, config)


# ---------------------------------------------------------------------------------------------
# Progress on the terminal

class Progress(object):
    """Reports simulated time, waiting players and battles (or what the simulation's COUNTED
    names) so far. On a terminal one line is
    redrawn in place, a few times a second; elsewhere a plain line is written every simulated
    minute, so that logs stay readable.
    """

    def __init__(self, stream):
        self._stream = stream
        self._tty = hasattr(stream, 'isatty') and stream.isatty()
        self._drawn = 0.0
        self._width = 0

    def __call__(self, simulation):
        now = simulation.now
        counted = getattr(simulation, 'COUNTED', 'battles')
        text = 'simulated %s of %s   waiting %4d players   %s %d' % (
            seconds_text(now), seconds_text(simulation.ticks * TICK_SECONDS),
            simulation.waiting_players, counted, getattr(simulation, counted))
        if self._tty:
            wall = time.time()
            if wall - self._drawn < 0.1 and now < simulation.ticks * TICK_SECONDS:
                return
            self._drawn = wall
            self._stream.write('\r' + text.ljust(self._width))
            self._width = len(text)
        elif now % 60 == 0:
            self._stream.write(text + '\n')
        self._stream.flush()

    def finish(self):
        if self._tty and self._width:
            self._stream.write('\r' + ' ' * self._width + '\r')
            self._stream.flush()


# ---------------------------------------------------------------------------------------------
# Scenarios and the command line

def run_random(options, config, make_matchmaker, progress):
    """The random-battle scenario on a validated configuration. Returns (report, text)."""
    try:
        matchmaker = make_matchmaker(options.seed, config)
    except (TypeError, ValueError) as error:
        raise ConfigError('the matchmaker refused the configuration: %s' % error)
    pairs, triples = options.squads or (RANDOM_DEFAULTS['pairs'], RANDOM_DEFAULTS['triples'])
    settings = {
        'seed': options.seed,
        'minutes': options.minutes if options.minutes is not None
        else RANDOM_DEFAULTS['minutes'],
        'rate': options.rate if options.rate is not None else RANDOM_DEFAULTS['rate'],
        'population': options.population or RANDOM_DEFAULTS['population'],
        'pairs': pairs,
        'triples': triples,
    }
    simulation = RandomBattleSimulation(matchmaker, config, options.seed, settings['minutes'],
                                        settings['rate'], settings['population'], pairs,
                                        triples)
    started = time.time()
    simulation.run(progress)
    report = simulation.report()
    report['settings'] = settings
    report['config'] = [list(description) for description in config]
    report['wall_seconds'] = time.time() - started
    text = render_random(report, settings)
    text += '\nWall time           %.1f s for the whole run' % report['wall_seconds']
    return report, text


def kelvane_matchmaker(seed, config):
    try:
        import kelvane
    except ImportError as error:
        raise SimulationError('cannot import kelvane (%s): run `make build` and put the build '
                              'folder on PYTHONPATH, or use `make demo`' % error)
    return kelvane.RandomMatchmaker(seed, config)


# What the command line needs of a scenario: a one-line summary for --help, its built-in
# configuration, load(path) giving a validated configuration from a file (ConfigError if it
# cannot be used), validate(data) doing the same for data already loaded,
# run(options, config, make_matchmaker, progress) giving (report as a dict, report as text),
# and the make_matchmaker(seed, config) that run is given unless the caller brings its own.
Scenario = collections.namedtuple('Scenario',
                                  'summary default_config load validate run make_matchmaker')

SCENARIOS = {
    'random': Scenario('random battles formed by kelvane.RandomMatchmaker from a steady '
                       'stream of players and squads', RANDOM_DEFAULT_CONFIG, load_config,
                       validate_config, run_random, kelvane_matchmaker),
    'rated': Scenario('matches of close rating, formed by a matchmaker written in Python on '
                      'tessart.Tree', RATED_DEFAULT_CONFIG,
                      load_rated_config, validate_rated_config, run_rated, tessart_matchmaker),
}


def _positive(kind):
    def parse(text):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError('%r is not a number' % text)
        if value <= 0:
            raise argparse.ArgumentTypeError('must be above 0, not %s' % text)
        return value
    return parse


def _seed(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError('%r is not an integer' % text)
    if not INT32_MIN <= value <= INT32_MAX:
        raise argparse.ArgumentTypeError('must fit in 32 bits, not %s' % text)
    return value


def _squad_shares(text):
    try:
        pairs, triples = [float(part) for part in text.split(',')]
    except ValueError:
        raise argparse.ArgumentTypeError('%r is not two shares TWO,THREE' % text)
    if pairs < 0 or triples < 0 or pairs + triples > 1:
        raise argparse.ArgumentTypeError('the shares must be at least 0 and add up to at most 1')
    return pairs, triples


def parser():
    scenarios = '\n'.join('  %-8s %s' % (name, SCENARIOS[name].summary)
                          for name in sorted(SCENARIOS))
    result = argparse.ArgumentParser(
        prog='simulate.py',
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description='Simulate matchmaking traffic and report waits, balance and search times.',
        epilog='scenarios:\n' + scenarios + '\n\nExit status: 0 on success, 2 for a bad option '
        'or configuration, 1 when the matchmaker cannot be used.')
    result.add_argument('--scenario', choices=sorted(SCENARIOS), default='random',
                        help='what to simulate (default: random)')
    result.add_argument('--seed', type=_seed, default=1,
                        help='seed of the traffic and of the matchmaker; the same seed gives '
                        'the same run as long as every search ends inside its budget '
                        '(default: 1)')
    result.add_argument('--minutes', type=_positive(float), metavar='M',
                        help='simulated minutes, one tick a second (default: %g, rated %g)' %
                        (RANDOM_DEFAULTS['minutes'], RATED_DEFAULTS['minutes']))
    result.add_argument('--rate', type=_positive(float), metavar='R',
                        help='players joining the queue per simulated second, on average '
                        '(default: %g, rated %g)' % (RANDOM_DEFAULTS['rate'],
                                                     RATED_DEFAULTS['rate']))
    result.add_argument('--population', type=_positive(int), metavar='N',
                        help='players who may join; those not waiting or in battle are idle '
                        '(default: %d, rated %d)' % (RANDOM_DEFAULTS['population'],
                                                     RATED_DEFAULTS['population']))
    result.add_argument('--squads', type=_squad_shares, metavar='TWO,THREE',
                        help='random only: shares of queue entries that are squads of two and '
                        'of three; the rest are single players (default: %g,%g)' %
                        (RANDOM_DEFAULTS['pairs'], RANDOM_DEFAULTS['triples']))
    result.add_argument('--config', metavar='FILE',
                        help='configuration as JSON. random: the queues, in the shape the '
                        'RandomMatchmaker constructor takes, a list of [queueKey, maps, tmbs, '
                        'totalImb, levelImb, maxVehicles]; arrivals are shared evenly among '
                        'the queues. rated: an object with any of the fields %s. See '
                        '--show-config' % ', '.join(sorted(RATED_DEFAULT_CONFIG)))
    result.add_argument('--show-config', action='store_true',
                        help='print the configuration that would be used, as JSON, and exit')
    result.add_argument('--json', metavar='FILE',
                        help='also write the report as JSON to FILE, for scripts')
    result.add_argument('--quiet', action='store_true',
                        help='no progress line; print only the report')
    return result


def main(argv=None, make_matchmaker=None, stdout=None, stderr=None):
    """Runs the command line; returns the exit status. argparse exits with 2 by itself on a bad
    option. make_matchmaker replaces the scenario's own."""
    stdout = stdout or sys.stdout
    stderr = stderr or sys.stderr

    def fail(message, status):
        stderr.write('simulate.py: error: %s\n' % message)
        return status

    options = parser().parse_args(argv)
    scenario = SCENARIOS[options.scenario]
    try:
        config = scenario.load(options.config) if options.config else \
            scenario.validate(scenario.default_config)
    except ConfigError as error:
        return fail(str(error), 2)
    if options.show_config:
        # Ready to edit and pass back with --config: one queue a line, or one field a line.
        if isinstance(config, dict):
            stdout.write(json.dumps(config, indent=2, sort_keys=True, separators=(',', ': '))
                         + '\n')
        else:
            stdout.write('[\n%s\n]\n' % ',\n'.join('  ' + json.dumps(list(description))
                                                   for description in config))
        return 0
    report_file = None
    if options.json:
        # Opened first, so that a path that cannot be written fails before the run, not after.
        try:
            report_file = open(options.json, 'w')
        except IOError as error:
            return fail('cannot write %s: %s' % (options.json, error.strerror or error), 2)
    progress = None if options.quiet else Progress(stderr)
    try:
        try:
            report, text = scenario.run(options, config,
                                        make_matchmaker or scenario.make_matchmaker, progress)
        finally:
            # The progress line goes before anything else is written.
            if progress is not None:
                progress.finish()
    except (ConfigError, SimulationError, KeyboardInterrupt) as error:
        if report_file is not None:
            report_file.close()
        if isinstance(error, KeyboardInterrupt):
            return 130
        return fail(str(error), 2 if isinstance(error, ConfigError) else 1)
    stdout.write(text + '\n')
    if report_file is not None:
        with report_file:
            json.dump(report, report_file, indent=2, sort_keys=True)
            report_file.write('\n')
    return 0

if __name__ == '__main__':
    sys.exit(main())
