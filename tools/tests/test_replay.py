"""Recording and replay: a recorded simulation replays exactly under both interpreters, an edited
result is caught at its call, a what-if run with the recorded configuration forms the recorded
battles, bad logs give one clear line, a failing write leaves matchmaking working, and traffic
files are checked field by field."""

import gzip
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import warnings
try:
    from StringIO import StringIO
except ImportError:  # Python 3
    from io import StringIO

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, TOOLS)

import kelvane  # noqa: E402
import matchsim  # noqa: E402
from matchsim import recording, replay  # noqa: E402

SMALL_CONFIG = [[1, [1, 2, 3, 4, 5, 6], [[1, 2, 3, 0]], [[0, 5]] * 5, [[0]] * 5,
                 [6, 3, 3, 3, 3]]]


def run(main, argv):
    out, err = StringIO(), StringIO()
    status = main(argv, stdout=out, stderr=err)
    return status, out.getvalue(), err.getvalue()


class ReplayTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp()
        cls.config = os.path.join(cls.folder, 'config.json')
        with open(cls.config, 'w') as stream:
            json.dump(SMALL_CONFIG, stream)
        cls.log = os.path.join(cls.folder, 'run.log.gz')
        status, _, err = run(matchsim.main, ['--quiet', '--minutes', '4', '--rate', '3',
                                             '--config', cls.config, '--record', cls.log])
        assert status == 0, err
        cls.header, cls.calls = recording.read_log(cls.log)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def write(self, name, lines, opener=open):
        path = os.path.join(self.folder, name)
        with opener(path, 'wt') as stream:
            stream.write(''.join(lines))
        return path

    def plain_lines(self):
        with gzip.open(self.log, 'rt') as stream:
            return stream.readlines()

    def test_replays_exactly_under_both_interpreters(self):
        formed = [c for _, c in self.calls if c['call'] == 'formteams' and c['teamA']]
        self.assertGreater(len(formed), 20)
        self.assertEqual(self.header['kelvane'], kelvane.__version__)
        status, out, err = run(replay.main, [self.log])
        self.assertEqual((status, err), (0, ''))
        self.assertTrue(re.search(r'(?m)^battles formed +%d$' % len(formed), out), out)
        for python, modules in (('PYTHON2_EXECUTABLE', 'PYTHON2_MODULES'),
                                ('PYTHON3_EXECUTABLE', 'PYTHON3_MODULES')):
            if python not in os.environ:
                continue
            env = dict(os.environ, PYTHONPATH=os.environ[modules])
            child = subprocess.Popen([os.environ[python], os.path.join(TOOLS, 'replay.py'),
                                      self.log], env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, universal_newlines=True)
            self.assertEqual(child.communicate(), (out, ''), python)

    def test_an_edited_result_is_caught_at_its_call(self):
        lines = self.plain_lines()
        index = next(i for i, line in enumerate(lines[1:], 1)
                     if '"teamA":[' in line and '"teamA":[]' not in line)
        record = json.loads(lines[index])
        record['teamA'], record['teamB'] = record['teamB'], record['teamA']
        lines[index] = json.dumps(record) + '\n'
        status, _, err = run(replay.main, [self.write('edited.log', lines)])
        self.assertEqual(status, 1)
        self.assertIn('call %d (line %d): formteams(1, %d)' % (index, index + 1, record['time']),
                      err)

    def test_what_if_with_the_recorded_configuration_forms_the_recorded_battles(self):
        make = replay.kelvane_matchmaker
        recorded = replay.exact(self.header, self.calls, make)
        same = replay.what_if(self.header, self.calls, make, None, None)
        self.assertEqual(same.pop('skipped'), {'enqueues_of_waiting_keys': 0,
                                               'dequeues_of_gone_keys': 0})
        for report in (recorded, same):
            del report['formteams_ms']
        self.assertEqual(same, recorded)
        wider = json.loads(json.dumps(SMALL_CONFIG))
        wider[0][4] = [[0, 5]] * 5
        status, out, err = run(replay.main, [self.log, '--config', self.write(
            'wider.json', [json.dumps(wider)]), '--seed', '9', '--json',
            os.path.join(self.folder, 'what-if.json')])
        self.assertEqual((status, err), (0, ''))
        self.assertIn('recorded', out)
        with open(os.path.join(self.folder, 'what-if.json')) as stream:
            both = json.load(stream)
        self.assertEqual(sorted(both), ['recorded', 'what_if'])

    def test_bad_logs_give_one_clear_line(self):
        lines = self.plain_lines()
        header = json.loads(lines[0])
        cases = {
            'missing.log': None,
            'cut.log': lines[:5] + [lines[5].rstrip('\n')],
            'corrupt.log': lines[:3] + ['{"call": "enqueue", \n'] + lines[4:],
            'version.log': [json.dumps(dict(header, version=99)) + '\n'] + lines[1:],
            'config.log': [json.dumps(SMALL_CONFIG) + '\n'],
            'field.log': lines[:2] + ['{"call": "dequeue", "queue": 1}\n'],
            'empty.log': [],
            'call.log': lines[:1] + ['{"call": [1]}\n'],
        }
        expected = {'missing.log': ':', 'cut.log': ':6: the line is cut off',
                    'corrupt.log': ':4: not JSON', 'version.log': ':1: log format version 99',
                    'config.log': ':1: not a JSON object', 'empty.log': ':1: empty',
                    'field.log': ':3: dequeue needs "key" as an integer',
                    'call.log': ':2: unknown call [1]'}
        for name, content in sorted(cases.items()):
            path = os.path.join(self.folder, name)
            if content is not None:
                self.write(name, content)
            status, out, err = run(replay.main, [path])
            self.assertEqual((status, out), (2, ''), name)
            self.assertEqual(err.count('\n'), 1, err)
            self.assertIn(path + expected[name], err)
        with open(self.log, 'rb') as stream:
            data = stream.read()
        truncated = os.path.join(self.folder, 'truncated.log.gz')
        with open(truncated, 'wb') as stream:
            stream.write(data[:len(data) // 2])
        status, _, err = run(replay.main, [truncated])
        self.assertEqual((status, err.count('\n')), (2, 1))
        self.assertIn(truncated + ':', err)

    def test_a_failing_write_stops_the_recording_not_the_matchmaking(self):
        config = [tuple(d) for d in SMALL_CONFIG]
        path = os.path.join(self.folder, 'failing.log')
        plain = kelvane.RandomMatchmaker(4, config)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter('always')
            recorder = matchsim.RecordingMatchmaker(4, config, path)
            recorder._stream.close()  # as a full disk or a closed file would fail it
            for m in (plain, recorder):
                for key in range(12):
                    m.enqueue(1, key, key, key % 3, [2], [])
            self.assertEqual(recorder.formteams(1, 20), plain.formteams(1, 20))
            recorder.dequeue(1, 3)
            recorder.close()
        self.assertEqual(len(caught), 1)
        self.assertIsInstance(recorder.error, ValueError)
        self.assertEqual(recorder.stats(1, 20)['entries'], 11)


class ScriptsTest(unittest.TestCase):
    """What a script may do that a simulation does not: call formteams again before it dequeues,
    and let a squad wait in two queues, dequeuing it from the other when one matches it."""

    def test_repeated_battles_and_squads_in_two_queues(self):
        config = [(q, [1], [[1, 0, 0, 0]], [[0]] * 5, [[0]] * 5, [5] * 5) for q in (1, 2)]
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        path = os.path.join(folder, 'script.log')
        with matchsim.RecordingMatchmaker(1, config, path) as m:
            for key in (10, 11):
                for queue in (1, 2):
                    m.enqueue(queue, 0, key, 0, [2], [])
            first = m.formteams(1, 5)
            self.assertEqual(m.formteams(1, 6), first)  # nobody dequeued yet
            for key in first[1] + first[2]:
                m.dequeue(1, key)
                m.dequeue(2, key)
            m.enqueue(2, 7, 12, 0, [2], [])
            m.dequeue(2, 12)  # gave up
        header, calls = recording.read_log(path)
        report = replay.exact(header, calls, replay.kelvane_matchmaker)
        self.assertEqual((report['battles'], report['gave_up']['squads']), (2, 1))
        self.assertEqual(report['waiting_at_end'], 0)
        changed = replay.what_if(header, calls, replay.kelvane_matchmaker, None, 3)
        self.assertEqual(changed['skipped'], {'enqueues_of_waiting_keys': 0,
                                              'dequeues_of_gone_keys': 0})
        # The what-if run dequeues a battle's squads at once: the repeated call finds nobody.
        self.assertEqual((changed['battles'], changed['gave_up']['squads'],
                          changed['waiting_at_end']), (1, 1, 0))


class TrafficTest(unittest.TestCase):

    def test_fields_are_checked_and_the_defaults_change_nothing(self):
        default = matchsim.random_battles.default_traffic()
        for field, value, message in (
                ('rate', 0, 'rate must be a number above 0'),
                ('rate', float('nan'), 'rate must be a number above 0'),
                ('level_shares', [0.5, 0.5], 'level_shares must be a list of 3 shares'),
                ('squads', [0.7, 0.6], 'squads (the shares'),
                ('patience', [600, 150], 'patience must be [least, most]'),
                ('vehicle_mix', dict(default['vehicle_mix'], top=[[2, 0]]),
                 'vehicle_mix.top item 0 must be'),
                ('population', None, 'traffic field population is missing')):
            data = dict(default, **{field: value})
            if value is None:
                del data[field]
            with self.assertRaises(matchsim.ConfigError) as raised:
                matchsim.random_battles.validate_traffic(data)
            self.assertIn(message, str(raised.exception))
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        path = os.path.join(folder, 'traffic.json')
        status, shown, _ = run(matchsim.main, ['--show-traffic'])
        with open(path, 'w') as stream:
            stream.write(shown)
        reports = []
        for extra in ([], ['--traffic', path]):
            report = os.path.join(folder, 'report.json')
            self.assertEqual(run(matchsim.main, ['--quiet', '--minutes', '2', '--json', report]
                                 + extra)[0], 0)
            with open(report) as stream:
                reports.append(json.load(stream))
            for volatile in ('formteams_ms', 'wall_seconds'):
                del reports[-1][volatile]
        self.assertEqual(reports[0], reports[1])


if __name__ == '__main__':
    unittest.main()
