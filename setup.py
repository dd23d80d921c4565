"""Builds and installs kelvane and tessart into the interpreter that runs this script:

    pip install --no-build-isolation .

CMake builds the two modules, configured for this interpreter alone (-DMODULE_PYTHON: its
headers and its extension file name, no tests, no Python 2.7, no GoogleTest), exactly as `make`
builds them; this script only copies them where setuptools expects them. The type stubs go in
beside them as the stub-only packages kelvane-stubs and tessart-stubs, where type checkers look
for them, and the package matchsim (simulation, recording and replay) beside them. The version
is the CMake project's.
"""

import multiprocessing
import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
MODULES = ('kelvane', 'tessart')


def version():
    """The VERSION of the project() call in CMakeLists.txt."""
    with open(os.path.join(HERE, 'CMakeLists.txt')) as stream:
        found = re.search(r'^project\(\w+ VERSION ([0-9.]+)', stream.read(), re.M)
    if not found:
        sys.exit('error: CMakeLists.txt names no project VERSION')
    return found.group(1)


class CMakeBuild(build_ext):
    """Configures and builds the modules with CMake for sys.executable."""

    def build_extensions(self):
        cmake = os.environ.get('CMAKE', 'cmake')
        build = os.path.abspath(os.path.join(self.build_temp, 'cmake'))
        configure = [cmake, '-S', HERE, '-B', build, '-DCMAKE_BUILD_TYPE=RelWithDebInfo',
                     '-DMODULE_PYTHON=' + sys.executable]
        # A build folder configured for another copy of the tree (Python 2.7's pip builds in a
        # copy of it) is refused by CMake: start it afresh.
        cache = os.path.join(build, 'CMakeCache.txt')
        if os.path.exists(cache):
            with open(cache) as stream:
                home = re.search(r'^CMAKE_HOME_DIRECTORY:INTERNAL=(.*)$', stream.read(), re.M)
            if not home or os.path.realpath(home.group(1)) != os.path.realpath(HERE):
                shutil.rmtree(build)
        compile_ = [cmake, '--build', build, '-j', str(multiprocessing.cpu_count()), '--target']
        try:
            subprocess.check_call(configure)
            subprocess.check_call(compile_ + list(MODULES))
        except OSError as error:
            sys.exit('error: cannot run %s (%s): install CMake 3.18 or newer (Debian: apt-get '
                     'install cmake) or name it in the CMAKE environment variable'
                     % (cmake, error))
        except subprocess.CalledProcessError as error:
            sys.exit('error: %s failed with status %d' % (' '.join(error.cmd), error.returncode))
        for ext in self.extensions:
            target = os.path.abspath(self.get_ext_fullpath(ext.name))
            # CMake names the module as this interpreter does: <name><extension suffix>.
            built = os.path.join(build, os.path.basename(target))
            if not os.path.exists(built):
                sys.exit('error: CMake built no %s' % built)
            if not os.path.isdir(os.path.dirname(target)):
                os.makedirs(os.path.dirname(target))
            shutil.copyfile(built, target)
        self._copy_stubs()

    def _copy_stubs(self):
        # Stub-only packages: a single-file module carries no stubs that checkers would find.
        if self.inplace:
            return
        for name in MODULES:
            package = os.path.join(self.build_lib, name + '-stubs')
            if not os.path.isdir(package):
                os.makedirs(package)
            shutil.copyfile(os.path.join(HERE, name, name + '.pyi'),
                            os.path.join(package, '__init__.pyi'))


if __name__ == '__main__':
    os.chdir(HERE)
    setup(
        name='kelvane-tessart',
        version=version(),
        description='Random battles matchmaker (kelvane) and a weighted ordered AA tree '
        '(tessart)',
        ext_modules=[Extension(name, sources=[]) for name in MODULES],
        # The simulation, the recorder and the replay, pure Python: python -m matchsim.
        packages=['matchsim'],
        package_dir={'': 'tools'},
        # The charting library the HTML report embeds, with its licence.
        package_data={'matchsim': ['vendor/*']},
        cmdclass={'build_ext': CMakeBuild},
        # Apart from the CMake build folder that make uses.
        options={'build': {'build_base': os.path.join('build', 'pip')}},
        zip_safe=False,
    )
