"""RandomMatchmaker.stats: compared with a model of the queue kept here over random sequences of
calls, every reason for an empty formation call, and the errors it shares with formteams."""

import random
import sys
import unittest

import kelvane

# Vehicle type -> class: 1 scouts, 2 SPGs, 3 AT-SPGs, 4 heavies, 0 anything else.
CLASS = {6: 1, 5: 2, 4: 3, 12: 3, 13: 3, 3: 4, 10: 4, 11: 4}
SQUAD_PENALTY = (20, 5, 10, 3, 3)
PLAYERS_PENALTY = (0, 5, 10, 3, 3)
LEVEL_PENALTY = (0, 20, 100, 10, 10)
TOTAL_PENALTY = (30, 45, 200, 25, 20)


class Model(object):
    """What a queue holds, recomputed from the calls alone."""

    def __init__(self, tmbs, total, level):
        self.tmbs, self.total, self.level = tmbs, total + [[]] * (5 - len(total)), level
        self.waiting = {}  # key -> (time, level, types)

    def wait(self, now):
        times, counts = [0] * 5, [0] * 5
        for time, _, types in self.waiting.values():
            for t in types:
                times[CLASS.get(t, 0)] += time
                counts[CLASS.get(t, 0)] += 1
        means = [t // n for t, n in zip(times, counts) if n]
        return max(0, now - sum(means) // len(means)) if means else 0

    @staticmethod
    def allowance(thresholds, wait):
        reached = -1
        for threshold in thresholds:
            if wait < threshold:
                break
            reached += 1
        return reached

    def stats(self, now):
        wait = self.wait(now)
        levels = [{'players': 0, 'singles': [0] * 5, 'squads': {}, 'oldest': 0} for _ in range(3)]
        for time, lvl, types in self.waiting.values():
            level = levels[lvl]
            level['players'] += len(types)
            level['oldest'] = max(level['oldest'], now - time)
            if len(types) == 1:
                level['singles'][CLASS.get(types[0], 0)] += 1
            else:
                level['squads'][len(types)] = level['squads'].get(len(types), 0) + 1
        layouts = 0
        while layouts < len(self.tmbs) and wait >= self.tmbs[layouts][3]:
            layouts += 1
        return {'players': sum(len(t) for _, _, t in self.waiting.values()),
                'entries': len(self.waiting), 'levels': levels, 'wait': wait,
                'allowances': {'total': [self.allowance(t, wait) for t in self.total],
                               'level': [self.allowance(t, wait) for t in self.level]},
                'layouts': layouts}

    def penalty(self, team_a, team_b):
        """The score of a battle from its squads: per level and class the player, squad and level
        terms, then the whole-battle term."""
        squads = [[[0] * 5 for _ in range(2)] for _ in range(3)]
        players = [[[0] * 5 for _ in range(2)] for _ in range(3)]
        for side, keys in enumerate((team_a, team_b)):
            for key in keys:
                _, lvl, types = self.waiting[key]
                if len(types) == 1:
                    players[lvl][side][CLASS.get(types[0], 0)] += 1
                    continue
                squads[lvl][side][0] += len(types)
                for t in types:
                    if CLASS.get(t, 0):
                        squads[lvl][side][CLASS[t]] += 1
        score, total = 0, [0] * 5
        for lvl in range(3):
            for i in range(5):
                dp = players[lvl][0][i] - players[lvl][1][i]
                ds = squads[lvl][0][i] - squads[lvl][1][i]
                score += (PLAYERS_PENALTY[i] * abs(dp) + SQUAD_PENALTY[i] * abs(ds) +
                          LEVEL_PENALTY[i] * abs(dp + ds))
                total[i] += ds + (dp if i else 0)
        return score + sum(w * abs(d) for w, d in zip(TOTAL_PENALTY, total))

    def reason(self, stats, tried):
        """The reason a call that formed nothing gives, the budget aside."""
        if tried == 0:
            return 'no layout open yet (average wait %d, first threshold %d)' % (
                stats['wait'], self.tmbs[0][3])
        short = None
        for tmb in self.tmbs[:tried]:
            lacking = [(lvl, stats['levels'][lvl]['players'], 2 * tmb[lvl]) for lvl in range(3)
                       if stats['levels'][lvl]['players'] < 2 * tmb[lvl]]
            if not lacking:
                break
            short = lacking[0]
        else:
            return 'too few players (level %d: %d waiting for %d places)' % short
        names = ('squad players', 'scouts', 'SPGs', 'AT-SPGs', 'heavies')
        for i in range(5):
            if min(stats['allowances']['total'][i], stats['allowances']['level'][i]) < 0:
                return 'no allowance for %s yet' % names[i]
        return 'no balanced split within the allowances'


def thresholds(rng):
    """A class's thresholds: mostly reached at once, sometimes never, sometimes out of order."""
    if rng.random() < 0.02:
        return []
    return [rng.choice((0, 0, 0, 0, 6))] + [rng.choice((0, 0, 5, 10, 30))
                                             for _ in range(rng.randint(0, 3))]


class StatsModelTest(unittest.TestCase):

    def test_stats_follow_the_model_and_change_nothing(self):
        rng = random.Random(5)
        types = list(range(14)) + [99] + [2] * 8
        for trial in range(40):
            tmbs = [[rng.randint(0, 2), rng.randint(0, 2), rng.randint(1, 2), rng.choice((0, 8))]
                    for _ in range(rng.randint(1, 3))]
            total = [thresholds(rng) for _ in range(rng.choice((4, 5, 5, 5, 5, 5)))]
            level = [thresholds(rng) for _ in range(5)]
            config = [(1, list(range(1, 7)), tmbs, total, level,
                       [rng.randint(2, 9) for _ in range(5)])]
            observed, twin = kelvane.RandomMatchmaker(trial, config), \
                kelvane.RandomMatchmaker(trial, config)
            model = Model(tmbs, total, level)
            self.assertIsNone(observed.stats(1, 0)['last'])
            now, key = 0, 0
            for step in range(120):
                now += rng.randint(0, 4)
                action = rng.random()
                if action < 0.55:
                    key += 1
                    squad = [rng.choice(types) for _ in range(rng.choice((1, 1, 1, 2, 3)))]
                    lvl = rng.randint(0, 2)
                    for m in (observed, twin):
                        m.enqueue(1, now, key, lvl, squad, [])
                    model.waiting[key] = (now, lvl, squad)
                elif action < 0.7:
                    gone = rng.randint(1, key + 3)
                    for m in (observed, twin):
                        m.dequeue(1, gone)
                    model.waiting.pop(gone, None)
                else:
                    before = model.stats(now)
                    result = observed.formteams(1, now)
                    last = observed.stats(1, now)['last']
                    twins = twin.formteams(1, now)
                    if last['budget'] or twin.stats(1, now)['last']['budget']:
                        self.skipTest('a search ran out of time on this machine')
                    self.assertEqual(twins, result)
                    self.assertEqual(last['time'], now)
                    if result[1]:
                        self.assertEqual(last['formed'], last['tried'] - 1)
                        self.assertLessEqual(last['tried'], before['layouts'])
                        self.assertEqual(last['penalty'], model.penalty(result[1], result[2]))
                        self.assertIsNone(last['reason'])
                        if rng.random() < 0.8:
                            for gone in result[1] + result[2]:
                                for m in (observed, twin):
                                    m.dequeue(1, gone)
                                del model.waiting[gone]
                    else:
                        self.assertEqual((last['formed'], last['penalty']), (None, None))
                        self.assertEqual(last['tried'], before['layouts'])
                        self.assertEqual(last['reason'], model.reason(before, last['tried']))
                probe = now + rng.randint(0, 50)
                stats = observed.stats(1, probe)
                del stats['last']
                self.assertEqual(stats, model.stats(probe), 'trial %d step %d' % (trial, step))


class StatsReasonTest(unittest.TestCase):

    def reason(self, tmbs, players, totalImb=None):
        m = kelvane.RandomMatchmaker(1, [(1, [1], tmbs, totalImb or [[0]] * 5, [[0]] * 5,
                                          [15] * 5)])
        for key, vehicle in enumerate(players):
            m.enqueue(1, 0, key, 0, [vehicle], [])
        self.assertEqual(m.formteams(1, 4), (0, (), ()))
        return m.stats(1, 4)['last']['reason']

    def test_each_reason(self):
        self.assertEqual(self.reason([[1, 0, 0, 50]], [2, 2]),
                         'no layout open yet (average wait 4, first threshold 50)')
        self.assertEqual(self.reason([], [2, 2]),
                         'no layout open yet (average wait 4, no layout configured)')
        self.assertEqual(self.reason([[2, 0, 0, 0]], [2, 2, 2]),
                         'too few players (level 0: 3 waiting for 4 places)')
        # Fewer than five lists: the AT-SPGs and heavies have no threshold.
        self.assertEqual(self.reason([[1, 0, 0, 0]], [2, 2], [[0]] * 3),
                         'no allowance for AT-SPGs yet')
        self.assertEqual(self.reason([[1, 0, 0, 0]], [2, 6]),
                         'no balanced split within the allowances')


class StatsArgumentsTest(unittest.TestCase):

    def test_errors_are_those_of_formteams(self):
        m = kelvane.RandomMatchmaker(1, [(1, [1], [], [], [], [])])
        for args in ((2, 0), (1,), (1, 'now'), ('1', 0), (1, -1), (1, 2 ** 64), ()):
            with self.assertRaises(Exception) as formteams:
                m.formteams(*args)
            with self.assertRaises(Exception) as stats:
                m.stats(*args)
            self.assertEqual((type(stats.exception), str(stats.exception)),
                             (type(formteams.exception), str(formteams.exception)))
        self.assertEqual(m.stats(1, 2 ** 64 - 1)['wait'], 0)

    def test_results_are_new_and_counted_once(self):
        m = kelvane.RandomMatchmaker(1, [(1, [1], [[1, 0, 0, 0]], [[0]] * 5, [[0]] * 5, [9] * 5)])
        m.enqueue(1, 0, 1, 0, [2], [])
        m.formteams(1, 1)
        none = sys.getrefcount(None)
        for _ in range(100):
            stats = m.stats(1, 5)
            self.assertEqual(sys.getrefcount(stats), 2)
            self.assertEqual(sys.getrefcount(stats['last']), 2)
        del stats
        self.assertEqual(sys.getrefcount(None), none)
        self.assertIsNot(m.stats(1, 5), m.stats(1, 5))


if __name__ == '__main__':
    unittest.main()
