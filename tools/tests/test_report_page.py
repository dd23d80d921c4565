"""The HTML report in a real browser: the pages of a short simulation of both scenarios, of a
replay and of a what-if run, and of a run that formed nothing, opened in headless Chromium. A
page must raise no script error and draw every chart it has data for (painted, titled, both
axes named: the page checks itself and notes it on its body); a screenshot of each goes to
REPORT_SCREENSHOTS (the build folder under CTest)."""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
try:
    from StringIO import StringIO
except ImportError:  # Python 3
    from io import StringIO

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, TOOLS)

import matchsim  # noqa: E402
import matchsim.html  # noqa: E402
from matchsim import replay  # noqa: E402


def find_browser():
    for name in ('chromium', 'chromium-browser', 'google-chrome'):
        for folder in os.environ.get('PATH', '').split(os.pathsep):
            path = os.path.join(folder, name)
            if os.access(path, os.X_OK):
                return path
    return None


BROWSER = find_browser()
# Seconds a page may take in the browser before the test gives up on it.
TIMEOUT = 120
FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--hide-scrollbars',
         '--virtual-time-budget=10000']


@unittest.skipIf(BROWSER is None, 'no Chromium on the PATH (Debian: apt-get install chromium)')
class ReportPageTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp()
        cls.shots = os.environ.get('REPORT_SCREENSHOTS', cls.folder)
        if not os.path.isdir(cls.shots):
            os.makedirs(cls.shots)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def path(self, name):
        return os.path.join(self.folder, name)

    def run_main(self, main, argv):
        out, err = StringIO(), StringIO()
        self.assertEqual(main(argv, stdout=out, stderr=err), 0, err.getvalue())

    def open_page(self, name, charts):
        """Opens the page in the browser: (drawn, empty) charts; saves a screenshot."""
        page = self.path(name)
        size = os.path.getsize(page)
        self.assertLess(size, 1 << 20)
        with open(page) as stream:
            text = stream.read()
        # Nothing from the network: no address outside the library's own comments.
        self.assertFalse(re.search(r'(src|href)\s*=\s*["\']?(https?:)?//', text), name)
        shot = os.path.join(self.shots, name.replace('.html', '.png'))
        # The browser is no program of ours: the sanitizer run's preloaded runtime would only
        # stall it.
        env = dict((k, v) for k, v in os.environ.items()
                   if k not in ('LD_PRELOAD', 'ASAN_OPTIONS'))
        with open(os.devnull, 'w') as quiet:
            child = subprocess.Popen(
                [BROWSER] + FLAGS + ['--window-size=1400,2400', '--screenshot=' + shot,
                                     '--dump-dom', 'file://' + page],
                stdout=subprocess.PIPE, stderr=quiet, env=env, universal_newlines=True)
            timer = threading.Timer(TIMEOUT, child.kill)
            timer.start()
            try:
                dom = child.communicate()[0]
            finally:
                timer.cancel()
        self.assertEqual(child.returncode, 0, 'the browser failed or took over %d s' % TIMEOUT)
        self.assertTrue(os.path.getsize(shot) > 10000, shot)
        body = re.search(r'<body data-charts="(\d+)" data-empty="(\d+)" data-faults="([^"]*)"',
                         dom)
        self.assertTrue(body, 'the page script did not finish: %s' % name)
        faults = json.loads(body.group(3).replace('&quot;', '"'))
        self.assertEqual(faults, [], name)
        drawn, empty = int(body.group(1)), int(body.group(2))
        self.assertEqual(drawn + empty, charts, name)
        return drawn, empty

    def test_simulation_replay_and_what_if_pages(self):
        log = self.path('run.log')
        self.run_main(matchsim.main, ['--quiet', '--minutes', '3', '--record', log, '--html',
                                      self.path('report-simulation.html')])
        self.assertEqual(self.open_page('report-simulation.html', 9), (9, 0))
        self.run_main(matchsim.main, ['--quiet', '--minutes', '3', '--scenario', 'rated',
                                      '--html', self.path('report-rated.html')])
        self.assertEqual(self.open_page('report-rated.html', 6), (6, 0))
        self.run_main(replay.main, [log, '--html', self.path('report-replay.html')])
        self.assertEqual(self.open_page('report-replay.html', 9), (9, 0))
        self.run_main(replay.main, [log, '--seed', '4', '--html',
                                    self.path('report-what-if.html')])
        self.assertEqual(self.open_page('report-what-if.html', 9), (9, 0))

    def test_a_run_that_forms_nothing_says_so(self):
        config = self.path('never.json')
        with open(config, 'w') as stream:
            json.dump([[1, [1], [[40, 40, 40, 0]], [[0]] * 5, [[0]] * 5, [15] * 5]], stream)
        self.run_main(matchsim.main, ['--quiet', '--minutes', '1', '--config', config, '--html',
                                      self.path('report-nothing.html')])
        drawn, empty = self.open_page('report-nothing.html', 9)
        self.assertEqual(empty, 5)  # waits, balance and penalties have nothing to show
        with open(self.path('report-nothing.html')) as stream:
            self.assertIn('No battle formed in this run: nothing to draw.', stream.read())


class ChartDataTest(unittest.TestCase):
    """What the charts are given adds up to what the runs did, browser or not."""

    def test_series_add_up(self):
        import kelvane
        config = matchsim.validate_config(matchsim.RANDOM_DEFAULT_CONFIG)
        run = matchsim.RandomBattleSimulation(kelvane.RandomMatchmaker(3, config), config, 3,
                                              4, 10.0, 3000).run()
        series = run.timeline.series()
        matched = len(run.timeline.waits)
        self.assertEqual(matched, 30 * run.battles)
        self.assertEqual(sum(series['flow']['matched']), matched)
        self.assertEqual(sum(series['wait_histogram']['counts']), matched)
        self.assertEqual(series['flow']['minute'][-1], 4)
        self.assertEqual(series['waiting']['minute'][-1], 4)
        charts = dict((c['id'], c) for c in matchsim.html.random_charts(
            [('run', run.report(), series, run.penalties)]))
        self.assertEqual(sum(charts['penalty']['datasets'][0]['data']), len(run.penalties))
        balance = charts['balance']['datasets']
        for cls in range(5):
            self.assertAlmostEqual(sum(d['data'][cls] for d in balance), 100.0, places=1)


if __name__ == '__main__':
    unittest.main()
