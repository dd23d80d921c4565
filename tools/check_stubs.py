#!/usr/bin/env python3
"""Checks the type stubs kelvane/kelvane.pyi and tessart/tessart.pyi against the modules built
for the interpreter that runs this script, with mypy's stubtest:

    python3 tools/check_stubs.py BUILD_DIR

The modules are built into BUILD_DIR by setup.py, as pip builds them (through CMake). Where mypy is missing or
the modules cannot be built for this interpreter, the check says why and exits with 77 (CTest's
skip), after checking the stubs with mypy alone where it can.
"""

import os
import subprocess
import sys
import sysconfig

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULES = ('kelvane', 'tessart')
SKIP = 77


def skip(reason):
    print('SKIPPED: %s' % reason)
    sys.exit(SKIP)


def main(build_dir):
    try:
        import mypy.stubtest  # noqa: F401
    except ImportError:
        skip('mypy is not installed for %s (Debian: apt-get install -y mypy)' % sys.executable)
    stubs = [os.path.join(ROOT, name, name + '.pyi') for name in MODULES]
    env = dict(os.environ, MYPYPATH=os.pathsep.join(os.path.dirname(s) for s in stubs))
    if not os.path.isdir(build_dir):
        os.makedirs(build_dir)
    # The stubs on their own, which needs no build.
    if subprocess.call([sys.executable, '-m', 'mypy', '--strict'] + stubs, cwd=build_dir):
        return 1
    if not os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h')):
        skip('no headers for %s (Debian: apt-get install -y python3-dev)' % sys.executable)
    try:
        import setuptools  # noqa: F401
    except ImportError:
        skip('setuptools is not installed for %s (Debian: apt-get install -y '
             'python3-setuptools)' % sys.executable)
    lib = os.path.join(build_dir, 'lib')
    if subprocess.call([sys.executable, os.path.join(ROOT, 'setup.py'), '-q', 'build_ext',
                        '--build-lib', lib, '--build-temp', os.path.join(build_dir, 'temp')],
                       cwd=ROOT):
        return 1
    env['PYTHONPATH'] = lib
    return subprocess.call([sys.executable, '-m', 'mypy.stubtest'] + list(MODULES),
                           cwd=build_dir, env=env)


if __name__ == '__main__':
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(os.path.abspath(sys.argv[1])))
