"""The pip build: installs both modules from a copy of the source tree into a fresh Python 3.11
virtual environment and, under Python 2.7, into a --target folder, with the commands the README
gives, then forms a battle and round-trips a tree with what was installed."""

import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)

import setup  # noqa: E402

# Run by the installed interpreter; prints what it found.
USE = '''
from __future__ import print_function
import os, pickle, sys, kelvane, tessart, matchsim
PLACE = sys.argv[1]
m = kelvane.RandomMatchmaker(3, [(1, [4, 5], [[1, 0, 0, 0]], [[0]] * 5, [[0]] * 5, [5] * 5)])
m.enqueue(1, 0, 10, 0, [2], [])
m.enqueue(1, 0, 11, 0, [2], [])
tree = tessart.Tree()
for i in range(5):
    tree.insertByKey(tessart.TreeNode((float(i),), 'v%d' % i), i + 1)
copy = pickle.loads(pickle.dumps(tree, 2))
print(kelvane.__version__, tessart.__version__,
      kelvane.__file__.startswith(PLACE) and matchsim.__file__.startswith(PLACE) and
      os.path.exists(os.path.join(os.path.dirname(matchsim.__file__), 'vendor',
                                  'chart.umd.min.js')),
      sorted(int(k) for k in m.formteams(1, 5)[1] + m.formteams(1, 5)[2]),
      copy.values() == ['v%d' % i for i in range(5)] and copy.size() == 15)
'''


def source_copy():
    """The files of the source tree, without build folders: what a fresh clone holds."""
    folder = tempfile.mkdtemp()
    try:
        listed = subprocess.check_output(
            ['git', 'ls-files', '--cached', '--others', '--exclude-standard'], cwd=ROOT,
            universal_newlines=True).split('\n')
    except (OSError, subprocess.CalledProcessError):
        shutil.rmtree(folder)
        raise unittest.SkipTest('not a git checkout')
    for name in filter(None, listed):
        source = os.path.join(ROOT, name)
        if os.path.isfile(source):
            target = os.path.join(folder, 'src', name)
            if not os.path.isdir(os.path.dirname(target)):
                os.makedirs(os.path.dirname(target))
            shutil.copy2(source, target)
    return folder


class PackagingTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.folder = source_copy()
        cls.source = os.path.join(cls.folder, 'src')

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def run_checked(self, argv, **kwargs):
        child = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 universal_newlines=True, **kwargs)
        out = child.communicate()[0]
        self.assertEqual(child.returncode, 0, '%s failed:\n%s' % (' '.join(argv), out[-3000:]))
        return out

    def check_use(self, python, place, env=None):
        out = self.run_checked([python, '-c', USE, place], env=env, cwd=self.folder)
        self.assertEqual(out.split(), [setup.version(), setup.version(), 'True', '[10,', '11]',
                                       'True'])

    def test_virtual_environment_of_python_3_11(self):
        pythons = sorted(glob.glob('/root/.pyenv/versions/3.11*/bin/python'))
        python = os.environ.get('PACKAGING_PYTHON3', pythons[-1] if pythons else '')
        if not python:
            self.skipTest('no Python 3.11 (set PACKAGING_PYTHON3)')
        env = os.path.join(self.folder, 'env')
        self.run_checked([python, '-m', 'venv', env])
        pip = [os.path.join(env, 'bin', 'python'), '-m', 'pip']
        with open(os.devnull, 'w') as quiet:
            missing = subprocess.call([pip[0], '-c', 'import wheel'], stderr=quiet)
        if missing:
            wheels = glob.glob('/usr/share/python-wheels/wheel-*.whl')
            if not wheels:
                self.skipTest('no wheel package (Debian: apt-get install python3-wheel-whl)')
            self.run_checked(pip + ['install', wheels[-1]])
        self.run_checked(pip + ['install', '--no-build-isolation', self.source])
        self.check_use(pip[0], os.path.join(env, 'lib'))
        self.assertTrue(glob.glob(os.path.join(env, 'lib', '*', 'site-packages',
                                               'kelvane-stubs', '__init__.pyi')))

    def test_target_folder_of_python_2_7(self):
        python = os.environ.get('PYTHON2_EXECUTABLE', sys.executable)
        target = os.path.join(self.folder, 'target')
        self.run_checked([python, '-m', 'pip', 'install', '--no-build-isolation',
                          '--no-use-pep517', '--target', target, self.source])
        self.check_use(python, target, env=dict(os.environ, PYTHONPATH=target))


if __name__ == '__main__':
    unittest.main()
