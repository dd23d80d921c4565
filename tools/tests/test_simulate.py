"""Tests of the matchmaking simulation's own logic: traffic, statistics, balance scoring, the way
it drives the matchmaker, reproducibility and its handling of bad configuration files; for the
rated scenario, its matchmaker's bookkeeping of the tree and its arithmetic."""

import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import unittest
try:
    from StringIO import StringIO
except ImportError:  # Python 3
    from io import StringIO

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, TOOLS)

import matchsim as simulate  # noqa: E402

SCRIPT = os.path.join(TOOLS, 'simulate.py')
POPULATION = 600

# A queue whose searches end far inside their budget, so that runs repeat exactly: small
# teams, few squads and no imbalance ever allowed at one level.
SMALL_CONFIG = [[1, [1, 2, 3, 4, 5, 6], [[1, 2, 3, 0]], [[0, 5]] * 5, [[0]] * 5,
                 [6, 3, 3, 3, 3]]]


def squad(level, *types):
    return simulate.Squad(0, 1, level, list(range(len(types))), list(types), [], 0)


class PercentileTest(unittest.TestCase):

    def test_nearest_rank(self):
        values = list(range(1, 101))
        self.assertEqual(simulate.percentile(values, 50), 50)
        self.assertEqual(simulate.percentile(values, 90), 90)
        self.assertEqual(simulate.percentile(values, 99), 99)
        self.assertEqual(simulate.percentile(values, 100), 100)
        self.assertEqual(simulate.percentile(values, 0), 1)
        # 0.07 * 100 is 7.000000000000001 in floating point: the rank must still be 7.
        self.assertEqual(simulate.percentile(values, 7), 7)

    def test_small_lists(self):
        self.assertIsNone(simulate.percentile([], 50))
        self.assertEqual(simulate.percentile([4], 1), 4)
        self.assertEqual(simulate.percentile([4], 99), 4)
        # The lower middle of an even count; a value that occurred, never an interpolation.
        self.assertEqual(simulate.percentile([1, 2, 3, 4], 50), 2)
        self.assertEqual(simulate.percentile([1, 2, 3, 4], 51), 3)
        self.assertEqual(simulate.percentile([1, 2, 3, 4], 90), 4)

    def test_summarize_sorts_its_input(self):
        self.assertEqual(simulate.summarize([9, 1, 5, 3, 7, 2, 8, 4, 6, 10]),
                         {'count': 10, 'median': 5, 'p90': 9, 'p99': 10, 'max': 10})
        self.assertEqual(simulate.summarize([]),
                         {'count': 0, 'median': None, 'p90': None, 'p99': None, 'max': None})


class ArrivalProcessTest(unittest.TestCase):

    def test_rate_and_squad_shares(self):
        arrivals = simulate.ArrivalProcess(random.Random(3), 5.0, 0.2, 0.1)
        horizon = 20000
        per_second = [arrivals.until(t) for t in range(1, horizon + 1)]
        sizes = [size for second in per_second for size in second]
        self.assertAlmostEqual(sum(sizes) / float(horizon), 5.0, delta=0.1)
        self.assertAlmostEqual(sizes.count(2) / float(len(sizes)), 0.2, delta=0.01)
        self.assertAlmostEqual(sizes.count(3) / float(len(sizes)), 0.1, delta=0.01)
        self.assertEqual(set(sizes), set([1, 2, 3]))
        # Entries per second are Poisson: the variance equals the mean.
        counts = [len(second) for second in per_second]
        mean = sum(counts) / float(horizon)
        variance = sum((c - mean) ** 2 for c in counts) / horizon
        self.assertAlmostEqual(variance / mean, 1.0, delta=0.05)

    def test_each_entry_is_handed_out_once(self):
        arrivals = simulate.ArrivalProcess(random.Random(1), 2.0, 0.0, 0.0)
        first = arrivals.until(100)
        self.assertEqual(arrivals.until(100), [])
        self.assertEqual(arrivals.until(50), [])
        self.assertTrue(first and set(first) == set([1]))

    def test_same_seed_same_entries(self):
        def entries(seed):
            arrivals = simulate.ArrivalProcess(random.Random(seed), 3.0, 0.1, 0.1)
            return [arrivals.until(t) for t in range(1, 200)]
        self.assertEqual(entries(8), entries(8))
        self.assertNotEqual(entries(8), entries(9))


class DrawsTest(unittest.TestCase):

    @unittest.skipIf(sys.version_info[0] >= 3, "Python 2.7's own draws are the reference")
    def test_python2_draws_from_random_alone(self):
        rng = random.Random(11)
        for seed in range(40):
            ours, theirs = simulate.Draws(seed), random.Random(seed)
            for _ in range(200):
                what = rng.randrange(4)
                if what == 0:
                    stop = rng.choice((1, 2, 7, 1000, 2 ** 40))
                    self.assertEqual(ours.randrange(stop), theirs.randrange(stop))
                elif what == 1:
                    low = rng.randint(-50, 50)
                    high = low + rng.randint(0, 400)
                    self.assertEqual(ours.randint(low, high), theirs.randint(low, high))
                elif what == 2:
                    seq = list(range(rng.randint(1, 30)))
                    self.assertEqual(ours.choice(seq), theirs.choice(seq))
                else:
                    # Both ways of sampling: a shrinking copy up to 21 items, rejection above.
                    seq = list(range(rng.choice((3, 21, 22, 60, 500))))
                    k = rng.randint(0, min(len(seq), 12))
                    self.assertEqual(ours.sample(seq, k), theirs.sample(seq, k))
                self.assertEqual(ours.random(), theirs.random())

    def test_nearest_rounds_halves_away_from_zero(self):
        from decimal import ROUND_HALF_UP, Decimal
        rng = random.Random(5)
        values = [n / 2.0 for n in range(-41, 42)] + [0.49999999999999994, -0.49999999999999994,
                                                       2.5000000000000004, 1e15 + 0.5]
        values += [rng.uniform(-1e6, 1e6) for _ in range(2000)]
        for value in values:
            expected = int(Decimal(value).quantize(Decimal(1), rounding=ROUND_HALF_UP))
            self.assertEqual(simulate.nearest(value), expected, value)


class IdlePoolTest(unittest.TestCase):

    def test_takes_and_draws(self):
        pool = simulate.IdlePool()
        for player in range(10):
            pool.add(player, player % 3)
        pool.take(0, 0)
        pool.take(9, 0)
        self.assertEqual(len(pool), 8)
        rng = random.Random(2)
        drawn = set(pool.any(rng) for _ in range(500))
        self.assertEqual(drawn, set((p, p % 3) for p in range(1, 9)))
        self.assertEqual(sorted(pool.some(rng, 0, 5)), [3, 6])
        self.assertEqual(len(set(pool.some(rng, 1, 2))), 2)


class BalanceTest(unittest.TestCase):

    def test_scores_like_the_matchmaker(self):
        # One level: team A a squad of a scout and a heavy, team B a single scout and a single
        # heavy. Per level 20*2 + 5 + 3 for the squads and 5 + 3 for the single players; over
        # the whole battle 30*2 for the squad players, the classes being level.
        differences, penalty = simulate.battle_balance([squad(1, 6, 3)],
                                                       [squad(1, 6), squad(1, 10)])
        self.assertEqual(differences, [2, 0, 0, 0, 0])
        self.assertEqual(penalty, 56 + 60)

    def test_classless_single_players_cost_nothing(self):
        differences, penalty = simulate.battle_balance([squad(0, 2), squad(0, 1)], [squad(0, 7)])
        self.assertEqual((differences, penalty), ([0, 0, 0, 0, 0], 0))

    def test_level_and_total_differences(self):
        # An SPG more in team A at the bottom level: 10 as a single player, 100 at the level,
        # 200 over the battle. A heavy at each of two levels, one per team: 3 + 10 per level.
        team_a = [squad(2, 5), squad(0, 3)]
        team_b = [squad(1, 11)]
        differences, penalty = simulate.battle_balance(team_a, team_b)
        self.assertEqual(differences, [0, 0, 1, 0, 0])
        self.assertEqual(penalty, 10 + 100 + 200 + 2 * (3 + 10))
        swapped = simulate.battle_balance(team_b, team_a)
        self.assertEqual(swapped, ([0, 0, -1, 0, 0], penalty))

    def test_vehicle_classes(self):
        self.assertEqual([simulate.vehicle_class(t) for t in range(15)],
                         [0, 0, 0, 4, 3, 2, 1, 0, 0, 0, 4, 4, 3, 3, 0])
        self.assertEqual(simulate.vehicle_class(-1), 0)


class CheckingMatchmaker(object):
    """Passes every call to a real matchmaker and fails on calls no server script may make."""

    def __init__(self, inner):
        self.inner = inner
        self.waiting = set()
        self.unclaimed = set()   # squads of the last battle not dequeued yet
        self.battles = 0
        self.left_unformed = 0   # dequeues of squads that no battle took

    def enqueue(self, queue, now, key, level, types, last_maps):
        if (queue, key) in self.waiting:
            raise AssertionError('squad %d enqueued while it is waiting' % key)
        self.waiting.add((queue, key))
        self.inner.enqueue(queue, now, key, level, types, last_maps)

    def dequeue(self, queue, key):
        if (queue, key) in self.unclaimed:
            self.unclaimed.remove((queue, key))
        elif (queue, key) in self.waiting:
            self.left_unformed += 1
        self.waiting.discard((queue, key))
        self.inner.dequeue(queue, key)

    def formteams(self, queue, now):
        if self.unclaimed:
            raise AssertionError('squads %s of a battle were not dequeued' % sorted(self.unclaimed))
        result = self.inner.formteams(queue, now)
        if result[1]:
            self.battles += 1
            self.unclaimed.update((queue, key) for key in result[1] + result[2])
        return result

    def stats(self, queue, now):
        stats = self.inner.stats(queue, now)
        if stats['entries'] != sum(1 for q, _ in self.waiting if q == queue):
            raise AssertionError('stats counts %d entries in queue %d' % (stats['entries'], queue))
        return stats


def small_run(seed, minutes=3, matchmaker=None, **extra):
    import kelvane
    config = simulate.validate_config(SMALL_CONFIG)
    matchmaker = matchmaker or (lambda m: m)
    extra.setdefault('battle_seconds', (30, 90))
    simulation = simulate.RandomBattleSimulation(
        matchmaker(kelvane.RandomMatchmaker(seed, config)), config, seed, minutes, 2.0,
        POPULATION, pairs=0.1, triples=0.0, **extra)
    return simulation.run()


class SimulationTest(unittest.TestCase):

    def test_drives_the_matchmaker_as_a_script_must(self):
        checking = []
        simulation = small_run(5, minutes=4, patience=(20, 60), battle_seconds=(30, 60),
                               matchmaker=lambda m: checking.append(CheckingMatchmaker(m))
                               or checking[0])
        checker = checking[0]
        self.assertGreater(checker.battles, 20)
        self.assertGreater(checker.left_unformed, 0)
        self.assertEqual(checker.battles, simulation.battles)
        self.assertFalse(checker.unclaimed)
        self.assertEqual(checker.waiting,
                         set((s.queue, s.key) for s in simulation.waiting.values()))
        # Players are in exactly one place: idle, waiting or in battle.
        waiting = [p for s in simulation.waiting.values() for p in s.members]
        fighting = [p for _, _, players in simulation.in_battle for p in players]
        self.assertEqual(len(waiting), simulation.waiting_players)
        idle = [p for p in range(POPULATION) if p in simulation.idle._where]
        self.assertEqual(len(idle), len(simulation.idle))
        self.assertEqual(sorted(waiting + fighting + idle), list(range(POPULATION)))

    def test_battles_count_their_players(self):
        report = small_run(2).report()
        self.assertGreater(report['battles'], 0)
        self.assertEqual(report['players_matched'], report['wait']['all']['count'])
        self.assertEqual(report['players_matched'], report['wait']['in_squads']['count'] +
                         report['wait']['single']['count'])
        self.assertEqual(report['players_matched'],
                         sum(s['count'] for s in report['wait']['by_level'].values()))
        self.assertEqual(report['players_matched'], 12 * report['battles'])
        self.assertEqual(report['layouts'], {'1-2-3': report['battles']})
        for counts in report['balance']['difference_by_class'].values():
            self.assertEqual(sum(counts.values()), report['battles'])
        # Every counted call either formed a battle or gave its reason.
        unformed = report['formed_nothing']
        self.assertEqual(unformed['calls'], report['formteams_ms']['calls'] - report['battles'])
        self.assertEqual(sum(unformed['by_reason'].values()), unformed['calls'])
        self.assertGreater(unformed['calls'], 0)

    def test_fixed_seed_is_reproducible(self):
        first, second = small_run(7), small_run(7)
        reports = [first.report(), second.report()]
        if max(first.call_seconds + second.call_seconds) >= simulate.TICK_BUDGET:
            self.skipTest('a search ran out of time on this machine')
        for report in reports:
            del report['formteams_ms']
        self.assertGreater(reports[0]['battles'], 0)
        self.assertEqual(reports[0], reports[1])
        other = small_run(8).report()
        del other['formteams_ms']
        self.assertNotEqual(reports[0], other)


class CommandLineTest(unittest.TestCase):

    def setUp(self):
        self.folder = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.folder)

    def write(self, text, name='config.json'):
        path = os.path.join(self.folder, name)
        with open(path, 'w') as stream:
            stream.write(text)
        return path

    def main(self, *argv, **kwargs):
        out, err = StringIO(), StringIO()
        status = simulate.main(list(argv), stdout=out, stderr=err, **kwargs)
        return status, out.getvalue(), err.getvalue()

    def test_malformed_configurations_name_the_field(self):
        good = SMALL_CONFIG[0]

        def replaced(position, value):
            description = list(good)
            description[position] = value
            return json.dumps([description])

        cases = [
            ('{"queues": []}', 'non-empty list of queue descriptions'),
            ('[]', 'non-empty list of queue descriptions'),
            (json.dumps([good[:5]]), 'queue description 0 must be a list of six items'),
            (replaced(0, '1'), 'queue description 0: queueKey'),
            (replaced(0, 2 ** 31), 'queue description 0: queueKey'),
            (json.dumps([good, good]), 'queue description 1: queueKey 1 is given twice'),
            (replaced(1, []), 'queue 1: maps must be'),
            (replaced(1, [1, 2.5]), 'queue 1: maps item 1'),
            (replaced(2, []), 'queue 1: tmbs must be'),
            (replaced(2, [[3, 5, 7]]), 'queue 1: tmbs item 0 must be'),
            (replaced(2, [[3, 5, 7, 0], [3, 5, 7, -1]]), 'queue 1: tmbs item 1 item 3'),
            (replaced(2, [[0, 0, 0, 5]]), 'queue 1: tmbs item 0 has no places'),
            (replaced(3, [[0]] * 6), 'queue 1: totalImb must be'),
            (replaced(4, [[0], [0], [0, 'x']]), 'queue 1: levelImb item 2 item 1'),
            (replaced(4, {'0': [0]}), 'queue 1: levelImb must be'),
            (replaced(5, [True, 2]), 'queue 1: maxVehicles item 0'),
            (replaced(5, [1, 2, 3, 4, 5, 6]), 'queue 1: maxVehicles must be'),
            ('[[1, [1, 2], ', 'is not valid JSON'),
        ]
        for text, fragment in cases:
            path = self.write(text)
            status, out, err = self.main('--config', path, '--quiet')
            self.assertEqual(status, 2, text)
            self.assertIn(fragment, err, (text, err))
            self.assertIn(path, err)
            self.assertEqual(out, '')
        status, _, err = self.main('--config', os.path.join(self.folder, 'absent.json'))
        self.assertEqual(status, 2)
        self.assertIn('cannot read', err)

    def test_refusal_by_the_matchmaker_is_reported_cleanly(self):
        def refusing(seed, config):
            raise ValueError('queue 1: maps item 0 must be a signed 32-bit int.')
        status, out, err = self.main('--quiet', make_matchmaker=refusing)
        self.assertEqual(status, 2)
        self.assertEqual(err, 'simulate.py: error: the matchmaker refused the configuration: '
                         'queue 1: maps item 0 must be a signed 32-bit int.\n')

    def test_exit_status_without_traceback(self):
        path = self.write(json.dumps([SMALL_CONFIG[0][:4]]))
        for argv, fragment in ((['--config', path], 'must be a list of six items'),
                               (['--rate', '-1'], 'argument --rate: must be above 0'),
                               (['--squads', '0.7,0.5'], 'add up to at most 1')):
            process = subprocess.Popen([sys.executable, SCRIPT, '--quiet'] + argv,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       universal_newlines=True)
            out, err = process.communicate()
            self.assertEqual(process.returncode, 2, argv)
            self.assertNotIn('Traceback', err)
            self.assertIn(fragment, err)
            self.assertEqual(out, '')

    def test_report_and_json(self):
        config = self.write(json.dumps(SMALL_CONFIG))
        report_path = os.path.join(self.folder, 'report.json')
        status, out, err = self.main('--config', config, '--minutes', '2', '--rate', '2',
                                     '--population', '600', '--squads', '0.1,0', '--quiet',
                                     '--json', report_path)
        self.assertEqual((status, err), (0, ''))
        with open(report_path) as stream:
            report = json.load(stream)
        self.assertGreater(report['battles'], 0)
        self.assertEqual(report['config'], SMALL_CONFIG)
        self.assertIn('Battles formed      %d' % report['battles'], out)
        for heading in ('Wait until a battle', 'Balance:', 'penalty score', 'formteams per call',
                        'Recent maps'):
            self.assertIn(heading, out)

    def test_show_config_round_trips(self):
        status, out, _ = self.main('--show-config')
        self.assertEqual(status, 0)
        path = self.write(out)
        status, again, _ = self.main('--show-config', '--config', path)
        self.assertEqual((status, json.loads(again)), (0, json.loads(out)))
        self.assertEqual(simulate.validate_config(json.loads(out)),
                         simulate.validate_config(simulate.RANDOM_DEFAULT_CONFIG))


# A rated matchmaker that widens slowly, so that short runs have give-ups as well as matches.
RATED_SMALL = {'team_size': 2, 'seeds_per_tick': 6, 'tolerance': 15.0, 'widening': 0.5,
               'max_tolerance': 120.0, 'reweight_every': 5}


def rated_matchmaker(**fields):
    config = dict(simulate.RATED_DEFAULT_CONFIG)
    config.update(fields)
    return simulate.tessart_matchmaker(1, simulate.validate_rated_config(config))


def rated_run(seed, minutes=3):
    matchmaker = simulate.tessart_matchmaker(seed, simulate.validate_rated_config(RATED_SMALL))
    return simulate.RatedSimulation(matchmaker, seed, minutes, 4.0, 400, patience=(20, 60))


class Rated(object):
    def __init__(self, rating):
        self.rating = rating


class RatedArithmeticTest(unittest.TestCase):

    def test_tolerance_widens_with_wait_up_to_its_cap(self):
        matchmaker = rated_matchmaker(tolerance=25.0, widening=2.0, max_tolerance=100.0)
        self.assertEqual([matchmaker.tolerance(w) for w in (0, 10, 37, 38, 500)],
                         [25.0, 45.0, 99.0, 100.0, 100.0])

    def test_snake_teams(self):
        teams = simulate.split_teams([Rated(r) for r in (1000, 1030, 1010, 1020)])
        self.assertEqual([[p.rating for p in team] for team in teams],
                         [[1030, 1000], [1020, 1010]])
        teams = simulate.split_teams([Rated(r) for r in range(6)])
        self.assertEqual([[p.rating for p in team] for team in teams], [[5, 2, 1], [4, 3, 0]])
        teams = simulate.split_teams([Rated(7), Rated(9)])
        self.assertEqual([[p.rating for p in team] for team in teams], [[9], [7]])

    def test_rating_change_follows_the_odds(self):
        self.assertEqual(simulate.rating_change([1500.0], [1500.0], True), simulate.ELO_K / 2)
        self.assertEqual(simulate.rating_change([1500.0], [1500.0], False), -simulate.ELO_K / 2)
        # 400 points more are ten to one odds: the favourite wins a eleventh of K.
        self.assertAlmostEqual(simulate.rating_change([1900.0, 1900.0], [1500.0, 1500.0], True),
                               simulate.ELO_K / 11)
        self.assertAlmostEqual(simulate.rating_change([1300.0, 1700.0], [1100.0, 1100.0], False),
                               -simulate.ELO_K * 10 / 11)

    def test_wait_bands(self):
        self.assertEqual([simulate.wait_band(w) for w in (0, 9, 10, 29, 30, 59, 60, 900)],
                         [0, 0, 1, 1, 2, 2, 3, 3])
        self.assertEqual(simulate.wait_band_names(),
                         ['under 10 s', '10 s to 30 s', '30 s to 1:00', '1:00 or more'])

    def test_configuration_fields(self):
        config = simulate.validate_rated_config({'team_size': 1, 'tolerance': 40})
        self.assertEqual(config['team_size'], 1)
        self.assertIs(type(config['tolerance']), float)
        self.assertEqual(config['widening'], simulate.RATED_DEFAULT_CONFIG['widening'])
        for data, fragment in (([], 'must be an object'),
                               ({'teamsize': 2}, 'unknown field "teamsize"'),
                               ({'team_size': 0}, 'team_size must be an integer from 1 to 5'),
                               ({'team_size': 2.0}, 'team_size must be an integer'),
                               ({'seeds_per_tick': True}, 'seeds_per_tick must be'),
                               ({'widening': -1}, 'widening must be a number from 0 up'),
                               ({'tolerance': float('nan')}, 'tolerance must be'),
                               ({'tolerance': 50, 'max_tolerance': 40},
                                'max_tolerance must not be below tolerance')):
            with self.assertRaises(simulate.ConfigError) as caught:
                simulate.validate_rated_config(data)
            self.assertIn(fragment, str(caught.exception))


class RatedMatchmakerTest(unittest.TestCase):

    def test_a_match_of_the_nearest_ratings(self):
        matchmaker = rated_matchmaker(tolerance=50.0, widening=0.0)
        for player, rating in enumerate((1000.0, 1300.0, 1030.0, 1010.0, 1020.0)):
            matchmaker.enqueue(player, rating, 0)
        matches = matchmaker.formmatches(1)
        self.assertEqual(len(matches), 1)
        seed, team_a, team_b = matches[0]
        self.assertEqual(([w.rating for w in team_a], [w.rating for w in team_b]),
                         ([1030.0, 1000.0], [1020.0, 1010.0]))
        self.assertIn(seed, team_a + team_b)
        # The player too far from everyone waits on, with the weight they had.
        self.assertEqual(sorted(matchmaker.nodes), [1])
        self.assertEqual([w.player for w in matchmaker.tree.values()], [1])
        self.assertEqual(matchmaker.tree.size(), 1)
        self.assertEqual(matchmaker.formmatches(2), [])
        self.assertEqual(matchmaker.tree.size(), 1)

    def test_the_wait_decides_when_a_pair_is_close_enough(self):
        # 200 points apart: 25 + 2 a second first covers them at 88 s (87 s give 199).
        matchmaker = rated_matchmaker(team_size=1, tolerance=25.0, widening=2.0)
        matchmaker.enqueue(0, 1000.0, 0)
        matchmaker.enqueue(1, 1200.0, 0)
        formed = [now for now in range(1, 120) if matchmaker.formmatches(now)]
        self.assertEqual(formed, [88])
        self.assertEqual((matchmaker.nodes, matchmaker.tree.size()), ({}, 0))
        # A cap below the distance keeps them apart for good.
        capped = rated_matchmaker(team_size=1, tolerance=25.0, widening=2.0,
                                  max_tolerance=150.0)
        capped.enqueue(0, 1000.0, 0)
        capped.enqueue(1, 1200.0, 0)
        self.assertFalse(any(capped.formmatches(now) for now in range(1, 400)))
        self.assertEqual(sorted(capped.nodes), [0, 1])

    def test_weights_follow_the_wait(self):
        matchmaker = rated_matchmaker(reweight_every=10)
        matchmaker.enqueue(0, 1000.0, 0)
        matchmaker.enqueue(1, 2000.0, 5)
        self.assertEqual(matchmaker.tree.size(), 2)
        matchmaker.formmatches(10)
        self.assertEqual(matchmaker.tree.size(), 10 + 1)
        matchmaker.formmatches(15)
        self.assertEqual(matchmaker.tree.size(), 10 + 10)
        matchmaker.formmatches(20)
        self.assertEqual(matchmaker.tree.size(), 20 + 10)
        matchmaker.dequeue(0)
        self.assertEqual(matchmaker.tree.size(), 10)
        matchmaker.formmatches(30)
        self.assertEqual(matchmaker.tree.size(), 25)
        # Weights survive the searches that find nobody.
        self.assertEqual([w.weight for w in matchmaker.tree.values()], [25])


class RatedSimulationTest(unittest.TestCase):

    def test_the_tree_holds_exactly_the_waiting_players(self):
        simulation = rated_run(4)
        matchmaker = simulation.matchmaker
        tree = matchmaker.tree
        matched = 0
        for tick in range(1, simulation.ticks + 1):
            simulation.step(tick)
            players = [w.player for w in tree.values()]
            self.assertEqual(len(players), len(set(players)))
            self.assertEqual(set(players), set(simulation.waiting))
            self.assertEqual(set(matchmaker.nodes), set(simulation.waiting))
            self.assertEqual(tree.size(), sum(w.weight for w in tree.values()))
            in_matches = []
            for seed, team_a, team_b in simulation.last_matches:
                self.assertEqual((len(team_a), len(team_b)), (2, 2))
                self.assertIn(seed, team_a + team_b)
                tolerance = matchmaker.tolerance(tick - seed.since)
                for waiting in team_a + team_b:
                    self.assertLessEqual(abs(waiting.rating - seed.rating), tolerance)
                in_matches.extend(w.player for w in team_a + team_b)
            self.assertEqual(len(in_matches), len(set(in_matches)))
            self.assertFalse(set(in_matches) & set(players))
            matched += len(in_matches)
        self.assertGreater(simulation.matches, 20)
        self.assertEqual(matched, 4 * simulation.matches)
        self.assertGreater(simulation.gave_up, 0)
        # Every player is idle, waiting or in a match, and only one of them.
        playing = [p for _, _, players in simulation.in_match for p in players]
        idle = [p for p in range(400) if p in simulation.idle._where]
        self.assertEqual(sorted(playing + idle + list(simulation.waiting)), list(range(400)))

    def test_report_counts(self):
        report = rated_run(2).run().report()
        self.assertGreater(report['matches'], 0)
        self.assertEqual(report['players_matched'], 4 * report['matches'])
        self.assertEqual(report['wait']['count'], report['players_matched'])
        self.assertEqual(sum(s['count'] for s in report['rating_gap']['by_seed_wait'].values()),
                         report['matches'])
        self.assertEqual(report['rating_gap']['all']['count'], report['matches'])
        # Each opponent is within the seed's tolerance on its side: the gap at most twice it.
        self.assertLessEqual(report['rating_gap']['all']['max'],
                             2 * RATED_SMALL['max_tolerance'])
        calls = report['tree_calls']
        self.assertEqual(calls['ticks'], 144)
        self.assertLessEqual(calls['mean_per_tick']['sample'], 1.0)

    def test_fixed_seed_is_reproducible(self):
        reports = [rated_run(seed).run().report() for seed in (7, 7, 8)]
        for report in reports:
            del report['tick_ms']
        self.assertGreater(reports[0]['matches'], 0)
        self.assertEqual(reports[0], reports[1])
        self.assertNotEqual(reports[0], reports[2])

    def test_command_line(self):
        folder = tempfile.mkdtemp()
        try:
            config = os.path.join(folder, 'rated.json')
            with open(config, 'w') as stream:
                json.dump(RATED_SMALL, stream)
            report_path = os.path.join(folder, 'report.json')
            out, err = StringIO(), StringIO()
            status = simulate.main(['--scenario', 'rated', '--config', config, '--minutes', '2',
                                    '--quiet', '--json', report_path], stdout=out, stderr=err)
            self.assertEqual((status, err.getvalue()), (0, ''))
            with open(report_path) as stream:
                report = json.load(stream)
            self.assertEqual(report['settings']['config'], RATED_SMALL)
            self.assertIn('Matches formed      %d\n' % report['matches'], out.getvalue())
            for heading in ('Wait until a match', 'Rating gap within a match',
                            'Tree calls a tick', 'Matchmaker a tick'):
                self.assertIn(heading, out.getvalue())

            with open(config, 'w') as stream:
                json.dump({'team_size': 9}, stream)
            for argv, fragment in ((['--config', config], 'team_size must be an integer'),
                                   (['--squads', '0.1,0.1'], '--squads applies to the random')):
                out, err = StringIO(), StringIO()
                status = simulate.main(['--scenario', 'rated', '--quiet'] + argv, stdout=out,
                                       stderr=err)
                self.assertEqual((status, out.getvalue()), (2, ''))
                self.assertIn(fragment, err.getvalue())

            out = StringIO()
            self.assertEqual(simulate.main(['--scenario', 'rated', '--show-config'], stdout=out),
                             0)
            self.assertEqual(json.loads(out.getvalue()), simulate.RATED_DEFAULT_CONFIG)
        finally:
            shutil.rmtree(folder)


class ProgressTest(unittest.TestCase):

    class Simulation(object):
        ticks = 180
        waiting_players = 12
        battles = 3

    def test_plain_lines_off_a_terminal(self):
        stream = StringIO()
        progress = simulate.Progress(stream)
        simulation = self.Simulation()
        for now in range(1, 181):
            simulation.now = now
            progress(simulation)
        progress.finish()
        lines = stream.getvalue().splitlines()
        self.assertEqual(len(lines), 3)
        self.assertNotIn('\r', stream.getvalue())
        self.assertIn('waiting   12 players', lines[0])

    def test_redrawn_in_place_on_a_terminal(self):
        stream = StringIO()
        stream.isatty = lambda: True
        progress = simulate.Progress(stream)
        simulation = self.Simulation()
        simulation.now = 180
        progress(simulation)
        progress.finish()
        text = stream.getvalue()
        self.assertTrue(text.startswith('\rsimulated 3:00 of 3:00'))
        self.assertNotIn('\n', text)
        self.assertTrue(text.endswith('\r'))


if __name__ == '__main__':
    unittest.main()
