"""Tests of the kelvane module: messages, refusals that change nothing, references, exports."""

import ctypes
import gc
import os
import subprocess
import sys
import unittest
import weakref

import kelvane

UNDER_SANITIZER = 'asan' in os.environ.get('LD_PRELOAD', '')
PY2 = sys.version_info[0] == 2
# Python 2's long; Python 3 has int alone.
long = type(2 ** 64)


def description(key=1, maps=None, tmbs=None, totalImb=None, levelImb=None, maxVehicles=None):
    """A valid queue description with the given fields replaced."""
    return (key,
            [10, 11] if maps is None else maps,
            [[2, 2, 2, 0]] if tmbs is None else tmbs,
            [[0]] * 5 if totalImb is None else totalImb,
            [[0]] * 5 if levelImb is None else levelImb,
            [6, 2, 2, 2, 2] if maxVehicles is None else maxVehicles)


def run_script(script):
    """Runs script in a new interpreter that imports the built module; (status, out, err)."""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(kelvane.__file__)))
    child = subprocess.Popen([sys.executable, '-c', script], env=env, universal_newlines=True,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = child.communicate()
    return child.returncode, out, err


def matchmaker(*keys):
    return kelvane.RandomMatchmaker(7, [description(key) for key in keys or (1,)])


class ModuleTest(unittest.TestCase):

    def test_docs_and_names(self):
        self.assertEqual(kelvane.__doc__, 'Random battles matchmaker.')
        self.assertEqual(kelvane.RandomMatchmaker.__doc__, 'Random matchmaker.')
        self.assertEqual(kelvane.RandomMatchmaker.enqueue.__doc__, 'Enqueues squad to the queue.')
        self.assertEqual(kelvane.RandomMatchmaker.dequeue.__doc__,
                         'Dequeues squad from the queue.')
        self.assertEqual(kelvane.RandomMatchmaker.__module__, 'kelvane')
        self.assertEqual(kelvane.RandomMatchmaker.__name__, 'RandomMatchmaker')
        self.assertEqual([n for n in dir(kelvane) if not n.startswith('__')], ['RandomMatchmaker'])

    def test_exports_only_its_init_function_and_does_not_link_libpython(self):
        path = kelvane.__file__
        symbols = subprocess.check_output(['readelf', '--dyn-syms', '-W', path],
                                          universal_newlines=True)
        exported = []
        for line in symbols.splitlines():
            fields = line.split()
            # Num: Value Size Type Bind Vis Ndx Name
            if len(fields) >= 8 and fields[3] == 'FUNC' and fields[6] != 'UND' \
                    and fields[4] in ('GLOBAL', 'WEAK'):
                exported.append(fields[7])
        self.assertEqual(exported, ['initkelvane' if PY2 else 'PyInit_kelvane'])
        dynamic = subprocess.check_output(['readelf', '-d', path], universal_newlines=True)
        needed = [line for line in dynamic.splitlines() if '(NEEDED)' in line]
        self.assertTrue(needed)
        self.assertFalse([line for line in needed if 'libpython' in line])

    def test_example_runs_silently(self):
        script = ('import kelvane; m = kelvane.RandomMatchmaker(7, [(1, [10, 11], '
                  '[[2, 2, 2, 0]], [[0]] * 5, [[0]] * 5, [6, 2, 2, 2, 2])]); '
                  'm.enqueue(1, 100, 42, 0, [6], [[10]]); m.dequeue(1, 42)')
        returncode, out, err = run_script(script)
        self.assertEqual((returncode, out, err), (0, '', ''))


class ConstructorTest(unittest.TestCase):

    def assertRefused(self, config, error, message):
        with self.assertRaises(error) as raised:
            kelvane.RandomMatchmaker(7, config)
        self.assertEqual(str(raised.exception), message)

    def test_empty_configuration_has_no_queues(self):
        m = kelvane.RandomMatchmaker(7, [])
        with self.assertRaises(ValueError) as raised:
            m.enqueue(1, 100, 42, 0, [6], [])
        self.assertEqual(str(raised.exception), 'Unknown queue key.')

    def test_parser_errors(self):
        self.assertRaises(TypeError, kelvane.RandomMatchmaker, 7)
        self.assertRaises(TypeError, kelvane.RandomMatchmaker, 7.5, [])
        self.assertRaises(OverflowError, kelvane.RandomMatchmaker, 2 ** 31, [])
        self.assertRaises(TypeError, kelvane.RandomMatchmaker, 7, [description()[:5]])
        self.assertRaises(TypeError, kelvane.RandomMatchmaker, 7, [('1',) + description()[1:]])
        self.assertRaises(OverflowError, kelvane.RandomMatchmaker, 7,
                          [(2 ** 31,) + description()[1:]])

    def test_configuration_shape(self):
        self.assertRefused((description(),), TypeError,
                           'config must be a list of queue descriptions.')
        self.assertRefused([description(), list(description())], TypeError,
                           'config item 1 must be a tuple of six items.')

    def test_refused_fields(self):
        maps = 'a non-empty list of signed 32-bit ints'
        map_ = 'a signed 32-bit int'
        tmb = 'a list of four non-negative ints below 2**32'
        lists = 'a list of at most five lists'
        timeouts = 'a list of non-negative ints below 2**32'
        caps = 'a list of at most five non-negative ints below 2**31'
        cap = 'a non-negative int below 2**31'
        cases = [
            (dict(maps=(10,)), TypeError, 'maps must be ' + maps),
            (dict(maps=[]), ValueError, 'maps must be ' + maps),
            (dict(maps=[10, '11']), TypeError, 'maps item 1 must be ' + map_),
            (dict(maps=[10, 11.0]), TypeError, 'maps item 1 must be ' + map_),
            (dict(maps=[2 ** 31]), ValueError, 'maps item 0 must be ' + map_),
            (dict(maps=[10, -2 ** 31 - 1]), ValueError, 'maps item 1 must be ' + map_),
            (dict(tmbs={}), TypeError, 'tmbs must be a list of lists'),
            (dict(tmbs=[[2, 2, 2, 0], (2, 2, 2, 0)]), TypeError, 'tmbs item 1 must be ' + tmb),
            (dict(tmbs=[[2, 2, 2]]), TypeError, 'tmbs item 0 must be ' + tmb),
            (dict(tmbs=[[2, 2, 2, 0, 0]]), TypeError, 'tmbs item 0 must be ' + tmb),
            (dict(tmbs=[[2, 2, 2, None]]), TypeError, 'tmbs item 0 must be ' + tmb),
            (dict(tmbs=[[2, 2, 2, 0], [2, -1, 2, 0]]), ValueError, 'tmbs item 1 must be ' + tmb),
            (dict(tmbs=[[2, 2, 2, 2 ** 32]]), ValueError, 'tmbs item 0 must be ' + tmb),
            (dict(maxVehicles=(6,)), TypeError, 'maxVehicles must be ' + caps),
            (dict(maxVehicles=[6] * 6), TypeError, 'maxVehicles must be ' + caps),
            (dict(maxVehicles=[6, '2']), TypeError, 'maxVehicles item 1 must be ' + cap),
            (dict(maxVehicles=[6, -1]), ValueError, 'maxVehicles item 1 must be ' + cap),
            (dict(maxVehicles=[2 ** 31]), ValueError, 'maxVehicles item 0 must be ' + cap),
        ]
        for field in ('totalImb', 'levelImb'):
            cases += [
                ({field: 'x'}, TypeError, field + ' must be ' + lists),
                ({field: [[0]] * 6}, TypeError, field + ' must be ' + lists),
                ({field: [[0], (0,)]}, TypeError, field + ' item 1 must be ' + timeouts),
                ({field: [[0, '1']]}, TypeError, field + ' item 0 must be ' + timeouts),
                ({field: [[], [0, -1]]}, ValueError, field + ' item 1 must be ' + timeouts),
                ({field: [[2 ** 32]]}, ValueError, field + ' item 0 must be ' + timeouts),
            ]
        for fields, error, message in cases:
            # The fault is reported with the key of the queue it belongs to, wherever it stands.
            config = [description(1), description(-3, **fields), description(5)]
            self.assertRefused(config, error, 'queue -3: %s.' % message)

    def test_accepted_values(self):
        longest = 2 ** 32 - 1
        config = [description(1, maps=[2 ** 31 - 1, -2 ** 31, long(5), True, 5],
                              tmbs=[[5, 5, 5, 0], [long(4), 4, 7, 30], [0, 0, 0, longest]],
                              totalImb=[[0, long(10), longest]], levelImb=[],
                              maxVehicles=[6, 2]),
                  description(2, tmbs=[], maxVehicles=[2 ** 31 - 1, 0, 0, 0, long(3)])]
        m = kelvane.RandomMatchmaker(-1, config)
        for queue in (1, 2):
            self.assertIsNone(m.enqueue(queue, 100, 42, 0, [6], []))

    def test_every_description_is_checked_even_when_a_later_one_replaces_it(self):
        self.assertRefused([description(1, maps=[]), description(1)], ValueError,
                           'queue 1: maps must be %s.' % 'a non-empty list of signed 32-bit ints')
        m = kelvane.RandomMatchmaker(7, [description(1, maps=[1]), description(1, maps=[2])])
        self.assertIsNone(m.enqueue(1, 100, 42, 0, [6], [[2]]))

    def test_a_key_that_changes_the_list_while_it_is_read(self):
        config = []

        class Key(object):
            def __int__(self):
                del config[:]
                return 4

            __index__ = __int__

        config += [(Key(),) + description()[1:], description(9)]
        m = kelvane.RandomMatchmaker(7, config)
        self.assertIsNone(m.enqueue(4, 100, 42, 0, [6], [[10]]))
        with self.assertRaises(ValueError) as raised:
            m.enqueue(9, 100, 42, 0, [6], [])
        self.assertEqual(str(raised.exception), 'Unknown queue key.')

    def test_references_of_the_configuration(self):
        good = [description(1), description(2)]
        bad = [description(1), description(2, tmbs=[[2, 2, 2, -1]])]
        for config in (good, bad):
            counts = [sys.getrefcount(config)] + [sys.getrefcount(d) for d in config] + \
                     [sys.getrefcount(field) for d in config for field in d[1:]]
            for _ in range(100):
                try:
                    kelvane.RandomMatchmaker(7, config)
                except ValueError:
                    pass
            after = [sys.getrefcount(config)] + [sys.getrefcount(d) for d in config] + \
                    [sys.getrefcount(field) for d in config for field in d[1:]]
            self.assertEqual(counts, after)


class EnqueueTest(unittest.TestCase):

    def setUp(self):
        self.m = matchmaker(1, 2)

    def assertRefused(self, args, error, message):
        with self.assertRaises(error) as raised:
            self.m.enqueue(*args)
        self.assertEqual(str(raised.exception), message)
        # Nothing was taken in: the squad can still join.
        self.assertIsNone(self.m.enqueue(args[0], 100, 42, 0, [6], []))
        self.m.dequeue(args[0], 42)

    def test_returns_none(self):
        self.assertIsNone(self.m.enqueue(1, 100, 42, 0, [6, 3], [[10, 11], [11]]))
        self.assertIsNone(self.m.dequeue(1, 42))
        self.assertIsNone(self.m.dequeue(1, 42))  # a squad that is not waiting is no error

    def test_refused_arguments(self):
        cases = [
            ((1, 100, 42, 0, [], []), TypeError, 'Invalid argument.'),
            ((1, 100, 42, 0, (6,), []), TypeError, 'Non-list argument.'),
            ((1, 100, 42, 0, [6], ()), TypeError, 'Non-list argument.'),
            ((1, 100, 42, 0, [6], [[10], (11,)]), TypeError, 'Non-list argument.'),
            ((1, 100, 42, 0, [6, 'x'], []), TypeError, 'Non-int item in list.'),
            ((1, 100, 42, 0, [6], [[10, 'x']]), TypeError, 'Non-int item in list.'),
            ((1, 100, 42, 0, [6], [[10, 1.0]]), TypeError, 'Non-int item in list.'),
            ((1, 100, 42, -1, [6], []), ValueError, 'Invalid level.'),
            ((1, 100, 42, 3, [6], []), ValueError, 'Invalid level.'),
        ]
        if PY2:
            cases += [((1, 100, 42, 0, [long(6)], []), TypeError, 'Non-int item in list.'),
                      ((1, 100, 42, 0, [6], [[long(10)]]), TypeError, 'Non-int item in list.')]
        for args, error, message in cases:
            self.assertRefused(args, error, message)

    def test_parser_errors_change_nothing(self):
        for args, error in [((1, 100, 42, 0, [6]), TypeError),
                            ((1, 100, 42.0, 0, [6], []), TypeError),
                            ((1, 100, '42', 0, [6], []), TypeError),
                            ((2 ** 31, 100, 42, 0, [6], []), OverflowError),
                            ((1, 100, 42, 2 ** 31, [6], []), OverflowError)]:
            self.assertRaises(error, self.m.enqueue, *args)
            self.assertIsNone(self.m.enqueue(1, 100, 42, 0, [6], []))
            self.m.dequeue(1, 42)
        self.assertRaises(TypeError, self.m.dequeue, 1)
        self.assertRaises(TypeError, self.m.dequeue, 1, 42.0)

    def test_unknown_queue(self):
        for call in (lambda: self.m.enqueue(3, 100, 42, 0, [6], []),
                     lambda: self.m.dequeue(3, 42)):
            with self.assertRaises(ValueError) as raised:
                call()
            self.assertEqual(str(raised.exception), 'Unknown queue key.')

    def test_accepted_values(self):
        self.assertIsNone(self.m.enqueue(1, 100, 1, 0, [True], []))
        self.assertIsNone(self.m.enqueue(1, 100, 2, 1, [2 ** 40, -7, 13], [[10, True], []]))
        self.assertIsNone(self.m.enqueue(1, 2 ** 64 - 1, 2 ** 64 - 1, 2, [5], [[2 ** 31 - 1]]))
        self.assertIsNone(self.m.enqueue(1, 0, 3, 2, [5] * 40, [[10] * 40] * 40))
        self.assertIsNone(self.m.enqueue(1, 100, 4, 0, [5], [[-2 ** 31]]))
        self.assertIsNone(self.m.enqueue(1, 100, 5, 0, [5], [[2 ** 40, -2 ** 40 - 1]]))
        for key in (1, 2, 2 ** 64 - 1, 3, 4, 5):
            self.assertRaises(ValueError, self.m.enqueue, 1, 100, key, 0, [6], [])
            self.m.dequeue(1, key)
            self.assertIsNone(self.m.enqueue(1, 100, key, 0, [6], []))

    def test_integers_beyond_a_c_long(self):
        # Python 2.7 refuses a long in a list of types or maps; Python 3, which has no plain int,
        # takes any int that fits a C long and refuses a larger one. Neither enqueues anything.
        big = 2 ** 63
        refused = TypeError if PY2 else OverflowError
        for types, last_maps in (([6, big], []), ([-big - 1], []), ([6], [[10], [11, big]]),
                                 ([6], [[-big - 1]]), ([6], [[10, 2 ** 200]])):
            self.assertRefused((1, 100, 42, 0, types, last_maps), refused,
                               'Non-int item in list.' if PY2 else
                               'Python int too large to convert to C long')
        # int() makes a plain int on Python 2 of what fits one.
        lowest, highest = int(-big), int(big - 1)
        self.assertIsNone(self.m.enqueue(1, 100, 1, 0, [highest, lowest, True, False], []))
        self.assertIsNone(self.m.enqueue(1, 100, 2, 0, [6], [[highest, lowest], [False]]))

    def test_a_squad_waits_once_per_queue(self):
        self.m.enqueue(1, 100, 42, 0, [6, 3], [[10]])
        for level, types in ((0, [6, 3]), (1, [6])):
            with self.assertRaises(ValueError) as raised:
                self.m.enqueue(1, 200, 42, level, types, [])
            self.assertEqual(str(raised.exception), 'Squad is already enqueued.')
        # The refusals left the first entry waiting, and a dequeue removes it entirely.
        self.assertRaises(ValueError, self.m.enqueue, 1, 200, 42, 0, [6], [])
        self.assertIsNone(self.m.enqueue(2, 100, 42, 0, [6], []))
        self.m.dequeue(1, 42)
        self.assertIsNone(self.m.enqueue(1, 300, 42, 2, [4, 4, 4], []))
        self.assertRaises(ValueError, self.m.enqueue, 2, 100, 42, 0, [6], [])

    def test_matchmakers_are_independent(self):
        other = matchmaker(1)
        self.m.enqueue(1, 100, 42, 0, [6], [])
        self.assertIsNone(other.enqueue(1, 100, 42, 0, [6], []))
        del other
        self.assertRaises(ValueError, self.m.enqueue, 1, 100, 42, 0, [6], [])

    def test_references_of_arguments_and_results(self):
        types, inner, key = [6, 3], [10, 11], 2 ** 64 - 1
        last_maps = [inner, inner]
        bad_types, bad_maps = [6, 'x'], [inner, (10,)]
        objects = (types, inner, last_maps, bad_types, bad_maps, key, self.m, None)
        before = [sys.getrefcount(o) for o in objects]
        for _ in range(100):
            self.m.enqueue(1, 100, key, 0, types, last_maps)
            for args in ((1, 100, key, 0, types, last_maps), (1, 100, 5, 0, bad_types, []),
                         (1, 100, 5, 0, types, bad_maps), (1, 100, 5, 7, types, last_maps),
                         (9, 100, 5, 0, types, last_maps)):
                self.assertRaises((TypeError, ValueError), self.m.enqueue, *args)
            self.m.dequeue(1, key)
            self.assertRaises(ValueError, self.m.dequeue, 9, key)
        del args
        self.assertEqual(before, [sys.getrefcount(o) for o in objects])

    @unittest.skipIf(UNDER_SANITIZER, 'the sanitizer reports an exhausted address space itself')
    def test_exhausted_memory_is_a_memory_error_and_changes_nothing(self):
        # Each member's maps are copied: a few hundred kilobytes of lists ask for 400 MB.
        script = '\n'.join([
            'import resource, kelvane',
            'm = kelvane.RandomMatchmaker(7, [(1, [10], [[1, 1, 1, 0]], [], [], [])])',
            'size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()',
            'soft, hard = resource.getrlimit(resource.RLIMIT_AS)',
            'maps = [[10] * 10000] * 10000',
            'resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20), hard))',
            'try:',
            '    m.enqueue(1, 100, 42, 0, [6], maps)',
            'except MemoryError:',
            '    print("MemoryError")',
            'resource.setrlimit(resource.RLIMIT_AS, (soft, hard))',
            'm.enqueue(1, 100, 42, 0, [6], maps[:10])',
            'print("enqueued")',
        ])
        returncode, out, err = run_script(script)
        self.assertEqual((returncode, out.split(), err), (0, ['MemoryError', 'enqueued'], ''))

    @unittest.skipIf(UNDER_SANITIZER, 'the sanitizer reports an exhausted address space itself')
    def test_an_object_whose_construction_failed_refuses_calls(self):
        # The configuration is read, then copying it into the matchmaker runs out of memory; the
        # half-built object's __del__ still calls a method.
        script = '\n'.join([
            'import resource, sys, kelvane',
            'class Sub(kelvane.RandomMatchmaker):',
            '    def __del__(self):',
            '        self.formteams(1, 0)',
            'big = [0] * (2 * 10 ** 6)',
            'config = [(1, [4], [[1, 0, 0, 0]], [big] * 5, [big] * 5, [15] * 5)]',
            'size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()',
            'soft, hard = resource.getrlimit(resource.RLIMIT_AS)',
            'resource.setrlimit(resource.RLIMIT_AS, (size + (120 << 20), hard))',
            'try:',
            '    Sub(7, config)',
            'except MemoryError:',
            '    print("MemoryError")',
        ])
        returncode, out, err = run_script(script)
        self.assertEqual((returncode, out.split()), (0, ['MemoryError']))
        self.assertIn('Matchmaker is not initialised.', err)


def singles(m, queue, keys, types=(2,), level=0, time=0):
    """Enqueues one single player per key, cycling through the vehicle types."""
    for i, key in enumerate(keys):
        m.enqueue(queue, time, key, level, [types[i % len(types)]], [])


THIRTY_PLAYERS = '\n'.join([
    'import kelvane',
    'm = kelvane.RandomMatchmaker(SEED, [(1, [3, 5, 8, 13], [[15, 0, 0, 0]], [[0]] * 5, [[0]] * 5,'
    ' [15] * 5)])',
    'types = [2, 1, 6, 5, 4, 3]',
    'for k in range(30):',
    '    m.enqueue(1, 100 + k, 1000 + k, 0, [types[k // 2 % 6]], [[[3, 5, 8, 13][k % 4]]])',
    'print(repr(m.formteams(1, 200)))',
])


class FormteamsTest(unittest.TestCase):

    def run_child(self, script):
        returncode, out, err = run_script(script)
        self.assertEqual((returncode, err), (0, ''))
        return out

    def test_doc(self):
        self.assertEqual(kelvane.RandomMatchmaker.formteams.__doc__,
                         'Attempts to form teams to the random battle.')

    def test_no_battle_is_zero_and_two_empty_tuples(self):
        m = matchmaker(1)
        self.assertEqual(m.formteams(1, 100), (0, (), ()))
        singles(m, 1, [1, 2, 3])  # six are needed for [2, 2, 2, 0]
        self.assertEqual(m.formteams(1, 100), (0, (), ()))

    def test_refused_arguments(self):
        m = matchmaker(1)
        with self.assertRaises(ValueError) as raised:
            m.formteams(2, 100)
        self.assertEqual(str(raised.exception), 'Unknown queue key.')
        self.assertRaises(TypeError, m.formteams, 1)
        self.assertRaises(TypeError, m.formteams, 1, 'now')
        self.assertRaises(TypeError, m.formteams, '1', 100)

    def test_thirty_single_players_form_fifteen_against_fifteen_in_any_process(self):
        out = self.run_child(THIRTY_PLAYERS.replace('SEED', '11'))
        map_, team_a, team_b = eval(out)
        self.assertIn(map_, (3, 5, 8, 13))
        self.assertEqual((len(team_a), len(team_b)), (15, 15))
        self.assertEqual(set(team_a) | set(team_b), set(range(1000, 1030)))
        self.assertEqual(self.run_child(THIRTY_PLAYERS.replace('SEED', '11')), out)
        # The same calls in this process give the same battle, draw for draw.
        namespace = {}
        exec(THIRTY_PLAYERS.replace('SEED', '11').replace('print(repr(', 'result = (('), namespace)
        self.assertEqual(namespace['result'], (map_, team_a, team_b))

    def test_draws_are_the_matchmakers_own(self):
        # Ten maps and pairs left to the second pass: every battle draws twice.
        def battles(disturb):
            m = kelvane.RandomMatchmaker(99, [description(1, maps=list(range(1, 11)),
                                                          tmbs=[[2, 0, 0, 0]])])
            out = []
            for round_ in range(6):
                if disturb:
                    kelvane.RandomMatchmaker(99, [])
                    libc.srand(round_)
                    libc.rand()
                singles(m, 1, range(10 * round_, 10 * round_ + 4), time=round_)
                result = m.formteams(1, round_)
                for key in result[1] + result[2]:
                    m.dequeue(1, key)
                out.append(result)
            return out
        libc = ctypes.CDLL(None)
        quiet = battles(False)
        self.assertEqual(battles(True), quiet)
        self.assertTrue(all(result[1] for result in quiet))

    def test_keys_come_back_unchanged_and_stay_waiting(self):
        m = kelvane.RandomMatchmaker(3, [description(1, maps=[4], tmbs=[[1, 0, 0, 0]])])
        keys = [2 ** 64 - 1, 2 ** 63, 0]
        singles(m, 1, keys[:2])
        map_, team_a, team_b = m.formteams(1, 100)
        self.assertEqual(map_, 4)
        self.assertEqual(sorted(team_a + team_b), sorted(keys[:2]))
        # Nothing was dequeued: the squads still wait.
        with self.assertRaises(ValueError):
            m.enqueue(1, 100, 2 ** 63, 0, [2], [])
        for key in team_a + team_b:
            m.dequeue(1, key)
        self.assertEqual(m.formteams(1, 100), (0, (), ()))

    def test_result_references(self):
        m = kelvane.RandomMatchmaker(3, [description(1, maps=[4], tmbs=[[1, 0, 0, 0]])])
        singles(m, 1, [10 ** 12, 10 ** 12 + 1])
        for _ in range(100):
            result = m.formteams(1, 100)
        self.assertEqual(sys.getrefcount(result), 2)
        for team in result[1:]:
            for item in team:
                self.assertEqual(sys.getrefcount(item), 3)  # its tuple, this name, the argument
            del item
        del team
        self.assertEqual((sys.getrefcount(result[1]), sys.getrefcount(result[2])), (2, 2))

    def test_a_later_description_of_a_queue_replaces_an_earlier_one(self):
        m = kelvane.RandomMatchmaker(3, [description(1, maps=[7], tmbs=[[1, 0, 0, 0]]),
                                         description(1, maps=[9], tmbs=[[1, 0, 0, 0]])])
        singles(m, 1, [1, 2])
        self.assertEqual(m.formteams(1, 100)[0], 9)

    def test_vehicle_types_are_truncated_to_32_bits(self):
        # 2**32 + 5 is an SPG, which a cap of 0 keeps out of every battle; so is any int up to a C
        # long with the same low 32 bits.
        for types, formed in (((2 ** 32 + 5,), False), ((2 ** 32 + 2,), True),
                              ((2 ** 62 + 5,), False), ((int(-2 ** 63 + 2),), True)):
            m = kelvane.RandomMatchmaker(3, [description(1, tmbs=[[1, 0, 0, 0]],
                                                         maxVehicles=[15, 15, 0])])
            singles(m, 1, [1, 2], types=types)
            self.assertEqual(m.formteams(1, 100) != (0, (), ()), formed, types)

    def test_missing_caps_are_zero(self):
        for caps, formed in (([15, 15], False), ([15, 15, 1], True)):
            m = kelvane.RandomMatchmaker(3, [description(1, tmbs=[[1, 0, 0, 0]],
                                                         maxVehicles=caps)])
            singles(m, 1, [1, 2], types=(5,))  # two SPGs
            self.assertEqual(m.formteams(1, 100) != (0, (), ()), formed, caps)

    def test_layouts_wait_for_their_threshold_in_order(self):
        m = kelvane.RandomMatchmaker(3, [description(1, tmbs=[[2, 0, 0, 0], [1, 0, 0, 30]])])
        singles(m, 1, [1, 2])
        self.assertEqual(m.formteams(1, 29), (0, (), ()))
        self.assertEqual(sorted(sum(m.formteams(1, 30)[1:], ())), [1, 2])


class KeyAndTimeRangeTest(unittest.TestCase):
    """Keys and times outside 0 .. 2**64 - 1 are refused, never wrapped onto other squads."""

    OUTSIDE = (-1, -2 ** 63, -2 ** 64, 2 ** 64, 2 ** 64 + 5, 2 ** 100)

    def assertOverflow(self, name, call, *args):
        with self.assertRaises(OverflowError) as raised:
            call(*args)
        self.assertEqual(str(raised.exception), name + ' must be between 0 and 2**64 - 1.')

    def test_every_method_refuses_and_changes_nothing(self):
        m = kelvane.RandomMatchmaker(3, [description(1, maps=[4], tmbs=[[1, 0, 0, 0]])])
        # The squads that the low 64 bits of the refused values would name.
        singles(m, 1, [0, 5, 2 ** 64 - 1], time=50)
        for value in self.OUTSIDE:
            self.assertOverflow('key', m.enqueue, 1, 100, value, 0, [6], [])
            self.assertOverflow('time', m.enqueue, 1, value, 7, 0, [6], [])
            self.assertOverflow('key', m.dequeue, 1, value)
            self.assertOverflow('time', m.formteams, 1, value)
        # Key 7 was never taken in, and the three squads are all still waiting.
        self.assertIsNone(m.enqueue(1, 100, 7, 0, [6], []))
        m.dequeue(1, 7)
        for key in (0, 5, 2 ** 64 - 1):
            self.assertRaises(ValueError, m.enqueue, 1, 100, key, 0, [6], [])
        map_, team_a, team_b = m.formteams(1, 2 ** 64 - 1)
        self.assertEqual(sorted(team_a + team_b), [5, 2 ** 64 - 1])  # the two newest

    def test_types_are_still_checked_before_ranges(self):
        m = matchmaker(1)
        self.assertRaises(TypeError, m.enqueue, 1, 100, 1.0, 0, [6], [])
        self.assertRaises(TypeError, m.dequeue, 1, '1')
        self.assertRaises(TypeError, m.formteams, 1, None)
        self.assertIsNone(m.enqueue(1, True, 0, 0, [6], []))


class SubclassTest(unittest.TestCase):

    def test_subclass_with_its_own_state(self):
        class Named(kelvane.RandomMatchmaker):
            def __new__(cls, name, seed, config):
                return kelvane.RandomMatchmaker.__new__(cls, seed, config)

            def __init__(self, name, seed, config):
                self.name = name

            def join(self, key):
                return self.enqueue(1, 100, key, 0, [6], [])

        m = Named('eu', 7, [description(1)])
        self.assertIsInstance(m, kelvane.RandomMatchmaker)
        self.assertEqual(m.name, 'eu')
        self.assertIsNone(m.join(42))
        self.assertRaises(ValueError, m.join, 42)
        self.assertRaises(ValueError, Named, 'eu', 7, [description(1, maps=[])])

        gone = weakref.ref(m)
        del m
        gc.collect()
        self.assertIsNone(gone())


if __name__ == '__main__':
    unittest.main()
