"""The rated scenario: a matchmaker written in Python on tessart.Tree, driven by players of
hidden skill whose ratings move with their results."""

from __future__ import division

import heapq
import time

from .config import INTEGER_TYPES, ConfigError, load_config, shown
from .report import WAIT_BANDS, wait_band, wait_band_names
from .stats import percentile, summarize
from .timeline import Timeline
from .traffic import (BUILD_HINT, ArrivalProcess, Draws, IdlePool, SimulationError,
                      TickedSimulation)

# ---------------------------------------------------------------------------------------------
# The matchmaker and its tuning

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
                          (', '.join(sorted(RATED_DEFAULT_CONFIG)), shown(data)))
    unknown = sorted(set(data) - set(RATED_DEFAULT_CONFIG))
    if unknown:
        raise ConfigError('unknown field %s; the fields are %s' %
                          (shown(unknown[0]), ', '.join(sorted(RATED_DEFAULT_CONFIG))))
    config = dict(RATED_DEFAULT_CONFIG)
    for field in sorted(data):
        kind, low, high = _RATED_FIELDS[field]
        value = data[field]
        number = isinstance(value, INTEGER_TYPES + (float,)) and not isinstance(value, bool)
        if kind is int:
            number = number and not isinstance(value, float)
        # NaN fails both comparisons, so it is refused too.
        if not number or not (low <= value) or (high is not None and not value <= high):
            raise ConfigError('%s must be %s from %s%s, not %s' % (
                field, 'an integer' if kind is int else 'a number', low,
                ' to %s' % high if high is not None else ' up', shown(value)))
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


# ---------------------------------------------------------------------------------------------
# The simulation

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
        self.rng = Draws(seed)
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
        self.give_ups = []         # heap of (time, player, join number, Waiting)
        self._joins = 0
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
        self.timeline = Timeline(('all',))  # the whole run, warm-up included

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
        self.timeline.tick(now, [len(self.waiting)])
        self.timeline.call(now, self._spent)
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
            _, player, _, waiting = heapq.heappop(self.give_ups)
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
        # The join number orders the entries of a player who joined again; Waiting records
        # have no order of their own.
        heapq.heappush(self.give_ups, (now + self.rng.randint(*self.patience), player,
                                       self._joins, waiting))
        self._joins += 1
        self.timeline.join(now, 1)
        if self.counting():
            self.entries += 1

    def _play(self, now, seed, teams):
        players = teams[0] + teams[1]
        for waiting in players:
            if self.waiting.get(waiting.player) is not waiting:
                raise SimulationError('formmatches returned player %d, who is not waiting' %
                                      waiting.player)
            del self.waiting[waiting.player]
            self.timeline.match(now, 0, now - waiting.since)
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


def tessart_matchmaker(seed, config):
    """A RatedMatchmaker on the built tessart module; it draws nothing at random, so the seed
    only drives the traffic."""
    try:
        import tessart
    except ImportError as error:
        raise SimulationError('cannot import tessart (%s): %s' % (error, BUILD_HINT))
    return RatedMatchmaker(tessart, config)
