"""The random-battle scenario: simulated traffic driving one kelvane.RandomMatchmaker, the
balance of its battles scored as the matchmaker scores its candidates, and its queue
configuration."""

from __future__ import division

import heapq
import time

from .config import (INT32_MAX, INT32_MIN, INTEGER_TYPES, UINT32_MAX, ConfigError, int_list,
                     is_int, load_config, shown)
from .stats import distribution, percentile, summarize
from .timeline import Timeline
from .traffic import (BUILD_HINT, LEVEL_COUNT, ArrivalProcess, Draws, IdlePool, SimulationError,
                      TickedSimulation)

# ---------------------------------------------------------------------------------------------
# What the matchmaker works with

CLASS_NAMES = ('squad players', 'scouts', 'SPGs', 'AT-SPGs', 'heavies')
LEVEL_NAMES = ('top', 'middle', 'bottom')
CLASS_COUNT = 5

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
# The queue configuration

QUEUE_FIELDS = ('queueKey', 'maps', 'tmbs', 'totalImb', 'levelImb', 'maxVehicles')


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
                              (index, ', '.join(QUEUE_FIELDS), shown(description)))
        key, maps, tmbs, total, level, caps = description
        if not is_int(key, INT32_MIN, INT32_MAX):
            raise ConfigError('queue description %d: queueKey must be a 32-bit integer, not %s'
                              % (index, shown(key)))
        if key in seen:
            raise ConfigError('queue description %d: queueKey %d is given twice' % (index, key))
        seen.add(key)
        name = 'queue %d: ' % key
        int_list(maps, name + 'maps', INT32_MIN, INT32_MAX, 'a non-empty list of map keys',
                  min_items=1)
        if not isinstance(tmbs, list) or not tmbs:
            raise ConfigError(name + 'tmbs must be a non-empty list of team layouts '
                              '[top, mid, bottom, wait], not %s' % shown(tmbs))
        for i, tmb in enumerate(tmbs):
            where = name + 'tmbs item %d' % i
            int_list(tmb, where, 0, UINT32_MAX, 'a list of four non-negative integers '
                      '[top, mid, bottom, wait]', max_items=4, min_items=4)
            if sum(tmb[:3]) == 0:
                raise ConfigError(where + ' has no places at any level')
        for field, lists in (('totalImb', total), ('levelImb', level)):
            if not isinstance(lists, list) or len(lists) > CLASS_COUNT:
                raise ConfigError('%s%s must be a list of at most five lists of wait times, '
                                  'one per class, not %s' % (name, field, shown(lists)))
            for i, timeouts in enumerate(lists):
                int_list(timeouts, '%s%s item %d' % (name, field, i), 0, UINT32_MAX,
                          'a list of non-negative wait times')
        int_list(caps, name + 'maxVehicles', 0, INT32_MAX,
                  'a list of at most five non-negative caps', max_items=CLASS_COUNT)
        queues.append((key, list(maps), [list(t) for t in tmbs], [list(t) for t in total],
                       [list(t) for t in level], list(caps)))
    return queues


def load_random_config(path):
    return load_config(path, validate_config)


# ---------------------------------------------------------------------------------------------
# The simulation

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

# One queue with ten maps. Three 15-a-side layouts: 3-5-7 always, 4-5-6 as well once the
# queue's average wait reaches 20 s, 2-5-8 from 40 s. The whole-battle allowances widen from 10 s
# on; the per-level ones stay 0 for minutes, because a wider level allowance lets a battle be
# uneven at every level, which players notice more than a few seconds more of waiting.
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


# ---------------------------------------------------------------------------------------------
# The traffic: who joins, with what, how patient, for how long

TRAFFIC_FIELDS = ('rate', 'population', 'level_shares', 'squads', 'vehicle_mix', 'patience',
                  'battle_seconds')


def default_traffic():
    """Today's built-in traffic, in the form --traffic reads."""
    return {
        'rate': RANDOM_DEFAULTS['rate'],
        'population': RANDOM_DEFAULTS['population'],
        'level_shares': list(LEVEL_SHARES),
        'squads': [RANDOM_DEFAULTS['pairs'], RANDOM_DEFAULTS['triples']],
        'vehicle_mix': dict((name, [list(item) for item in VEHICLE_MIX])
                            for name in ('top', 'middle', 'bottom')),
        'patience': list(PATIENCE_SECONDS),
        'battle_seconds': list(BATTLE_SECONDS),
    }


def _number(value):
    return isinstance(value, (float,) + INTEGER_TYPES) and not isinstance(value, bool)


def _shares(value, where, count):
    if not isinstance(value, list) or len(value) != count or not all(
            _number(v) and 0 <= v <= 1 for v in value):
        raise ConfigError('%s must be a list of %d shares from 0 to 1, not %s' %
                          (where, count, shown(value)))


def _seconds_range(value, where):
    if not isinstance(value, list) or len(value) != 2 or not all(
            is_int(v, 0, INT32_MAX) for v in value) or value[0] > value[1]:
        raise ConfigError('%s must be [least, most] whole seconds, not %s' % (where, shown(value)))


def validate_traffic(data):
    """Checks a traffic description: every field of default_traffic(), each named when it is
    missing or malformed."""
    if not isinstance(data, dict):
        raise ConfigError('the traffic must be a JSON object with the fields %s' %
                          ', '.join(TRAFFIC_FIELDS))
    for field in TRAFFIC_FIELDS:
        if field not in data:
            raise ConfigError('traffic field %s is missing' % field)
    unknown = sorted(set(data) - set(TRAFFIC_FIELDS))
    if unknown:
        raise ConfigError('unknown traffic field %s' % unknown[0])
    if not _number(data['rate']) or not 0 < data['rate'] < float('inf'):
        raise ConfigError('rate must be a number above 0, not %s' % shown(data['rate']))
    if not is_int(data['population'], 1, INT32_MAX):
        raise ConfigError('population must be a whole number above 0, not %s' %
                          shown(data['population']))
    _shares(data['level_shares'], 'level_shares', LEVEL_COUNT)
    if abs(sum(data['level_shares']) - 1) > 1e-9:
        raise ConfigError('level_shares must add up to 1, not %s' % sum(data['level_shares']))
    _shares(data['squads'], 'squads', 2)
    if sum(data['squads']) > 1:
        raise ConfigError('squads (the shares of squads of two and three) must add up to at '
                          'most 1')
    mix = data['vehicle_mix']
    if not isinstance(mix, dict) or sorted(mix) != sorted(('top', 'middle', 'bottom')):
        raise ConfigError('vehicle_mix must be an object with the fields top, middle and '
                          'bottom, not %s' % shown(mix))
    for name in ('top', 'middle', 'bottom'):
        where = 'vehicle_mix.%s' % name
        if not isinstance(mix[name], list) or not mix[name]:
            raise ConfigError('%s must be a non-empty list of [vehicle type, weight], not %s' %
                              (where, shown(mix[name])))
        for i, item in enumerate(mix[name]):
            if not isinstance(item, list) or len(item) != 2 or not is_int(
                    item[0], INT32_MIN, INT32_MAX) or not is_int(item[1], 1, 10 ** 6):
                raise ConfigError('%s item %d must be [vehicle type, weight from 1], not %s' %
                                  (where, i, shown(item)))
    _seconds_range(data['patience'], 'patience')
    _seconds_range(data['battle_seconds'], 'battle_seconds')
    return data


def load_traffic(path):
    return load_config(path, validate_traffic)


class RandomBattleSimulation(TickedSimulation):
    """Drives one RandomMatchmaker with simulated traffic and collects what happened.

    The simulation keeps its own record of every waiting squad: a key is enqueued only while it
    is not waiting, and every squad of a formed battle is dequeued before the next tick. What the
    queues hold and the average wait they reckon with are the matchmaker's own, read from its
    stats.
    """

    def __init__(self, matchmaker, config, seed, minutes, rate, population,
                 pairs=RANDOM_DEFAULTS['pairs'], triples=RANDOM_DEFAULTS['triples'],
                 patience=PATIENCE_SECONDS, battle_seconds=BATTLE_SECONDS,
                 level_shares=LEVEL_SHARES, vehicle_mix=(VEHICLE_MIX,) * LEVEL_COUNT):
        self.matchmaker = matchmaker
        self.patience = patience
        self.battle_seconds = battle_seconds
        self.queues = sorted(description[0] for description in config)
        self.pools = dict((description[0], list(description[1])) for description in config)
        self.rng = Draws(seed)
        self._start_clock(minutes)
        self.arrivals = ArrivalProcess(self.rng, rate, pairs, triples)
        # Per level, each vehicle type as often as its weight says.
        self._vehicles = [[vehicle_type for vehicle_type, weight in mix for _ in range(weight)]
                          for mix in vehicle_mix]

        self.level = []
        self.recent = []
        self.idle = IdlePool()
        for player in range(population):
            draw = self.rng.random()
            level = 0 if draw < level_shares[0] else \
                1 if draw < level_shares[0] + level_shares[1] else 2
            self.level.append(level)
            self.recent.append([])
            self.idle.add(player, level)

        self.now = 0
        self.next_key = 1
        self.waiting = {}          # key -> Squad
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
        self.unformed = {}         # calls that formed nothing, by reason
        self.timeline = Timeline(LEVEL_NAMES)  # the whole run, warm-up included
        self.recent_hits = 0       # matched players sent to a map of their own recent list
        self.recent_expected = 0.0  # the same if maps were drawn uniformly from the pool
        self.counted_battles = 0
        self.battles_by_queue = dict((queue, 0) for queue in self.queues)
        self.entries = [0, 0]      # squads, players enqueued
        self.gave_up = [0, 0]      # squads, players
        self.gave_up_by_level = [0] * LEVEL_COUNT  # players
        self.missed_entries = 0    # arrivals with nobody idle to join

    @property
    def waiting_players(self):
        return sum(self.matchmaker.stats(queue, self.now)['players'] for queue in self.queues)

    # -- one tick ---------------------------------------------------------------------------

    def step(self, now):
        self.now = now
        self._end_battles(now)
        self._give_up(now)
        for size in self.arrivals.until(now):
            self._join(now, size)
        for queue in self.queues:
            self._form(queue, now)
        waiting = [0] * LEVEL_COUNT
        for queue in self.queues:
            for level, held in enumerate(self.matchmaker.stats(queue, now)['levels']):
                waiting[level] += held['players']
        self.timeline.tick(now, waiting)

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
        types = [self.rng.choice(self._vehicles[level]) for _ in members]
        last_maps = [list(self.recent[player]) for player in members]
        key = self.next_key
        self.next_key += 1
        assert key not in self.waiting
        self.matchmaker.enqueue(queue, now, key, level, types, last_maps)
        self.waiting[key] = Squad(key, queue, level, members, types, last_maps, now)
        self.timeline.join(now, len(members))
        patience = self.rng.randint(*self.patience)
        heapq.heappush(self.give_ups, (now + patience, key))
        if self.counting():
            self.entries[0] += 1
            self.entries[1] += len(members)

    def _leave(self, squad):
        self.matchmaker.dequeue(squad.queue, squad.key)
        del self.waiting[squad.key]

    def _form(self, queue, now):
        start = time.time()
        map_key, keys_a, keys_b = self.matchmaker.formteams(queue, now)
        seconds = time.time() - start
        self.timeline.call(now, seconds)
        counting = self.counting()
        if counting:
            self.call_seconds.append(seconds)
        if not keys_a or not keys_b:
            if counting:
                # The kind of reason, without the figures in brackets.
                reason = self.matchmaker.stats(queue, now)['last']['reason'].split(' (')[0]
                self.unformed[reason] = self.unformed.get(reason, 0) + 1
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
        # The wait the call itself reckoned with: the same squads at the same time.
        queue_wait = self.matchmaker.stats(queue, now)['wait']
        for squad in teams[0] + teams[1]:
            self._leave(squad)

        self.battles += 1
        players = []
        pool = self.pools[queue]
        for squad in teams[0] + teams[1]:
            for member, recent in zip(squad.members, squad.last_maps):
                self.timeline.match(now, squad.level, now - squad.enqueued)
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
        stats = [self.matchmaker.stats(queue, self.now) for queue in self.queues]
        longest = max([level['oldest'] for queue in stats for level in queue['levels']] or [0])
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
            'waiting_at_end': {'squads': sum(queue['entries'] for queue in stats),
                               'players': sum(queue['players'] for queue in stats),
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
            'formed_nothing': {'calls': sum(self.unformed.values()),
                               'by_reason': dict(self.unformed)},
            'recent_maps': {
                'players': matched,
                'sent_to_recent': self.recent_hits,
                'share': self.recent_hits / matched if matched else None,
                'uniform_share': self.recent_expected / matched if matched else None,
            },
        }


def kelvane_matchmaker(seed, config):
    try:
        import kelvane
    except ImportError as error:
        raise SimulationError('cannot import kelvane (%s): %s' % (error, BUILD_HINT))
    return kelvane.RandomMatchmaker(seed, config)
