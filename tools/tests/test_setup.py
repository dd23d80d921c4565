"""The pip build (setup.py) against the CMake build: the same sources, compile commands and link
options for every module, read from the CMake files rather than kept twice."""

import json
import os
import re
import shlex
import shutil
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)

import setup  # noqa: E402

BUILD = os.environ.get('CMAKE_BUILD_DIR', os.path.join(ROOT, 'build'))


def normalized(argv):
    """A compile or link command without the compiler, its inputs and outputs, and with the
    interpreter's headers as a placeholder: what must agree between the two builds."""
    flags, skip = [], False
    for i, arg in enumerate(argv[1:], 1):
        if skip:
            skip = False
        elif arg in ('-o', '-c'):
            skip = True
        elif argv[i - 1] == '-isystem':
            flags.append('PYTHON')
        elif not arg.endswith(('.o', '.a', '.cpp')):
            flags.append(arg)
    return flags


class CMakeBuildTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.project = setup.project()
        with open(os.path.join(BUILD, 'compile_commands.json')) as stream:
            entries = json.load(stream)
        cls.cmake = {}   # target -> {source: normalized flags}
        for entry in entries:
            argv = shlex.split(entry['command'])
            target = re.search(r'CMakeFiles/([^/]+)\.dir/', argv[argv.index('-o') + 1]).group(1)
            cls.cmake.setdefault(target, {})[os.path.realpath(entry['file'])] = normalized(argv)

    def test_compile_commands(self):
        for name in setup.MODULES:
            commands, archives, _ = setup.module_plan(self.project, name, '/py', '/tmp/x',
                                                      ['c++'])
            ours = {}
            for argv in commands:
                target = os.path.basename(os.path.dirname(argv[argv.index('-o') + 1]))
                ours.setdefault(target, {})[os.path.realpath(argv[-1])] = normalized(argv)
            self.assertEqual(sorted(ours), sorted([name] + [os.path.basename(a)[3:-2]
                                                            for a, _ in archives]))
            for target, sources in ours.items():
                self.assertEqual(sources, self.cmake[target], target)

    def test_link_options(self):
        for name in setup.MODULES:
            path = os.path.join(BUILD, name, 'CMakeFiles', name + '.dir', 'link.txt')
            if not os.path.exists(path):
                self.skipTest('no link.txt: not a Makefile build')
            with open(path) as stream:
                cmake = normalized(shlex.split(stream.read()))
            _, _, link = setup.module_plan(self.project, name, '/py', '/tmp/x', ['c++'])
            self.assertEqual(normalized(['c++'] + link), cmake, name)
            self.assertTrue(any('--version-script' in arg for arg in cmake), name)


class ReaderTest(unittest.TestCase):

    def test_conditions_functions_and_quoting(self):
        text = '''
# add_library(commented_out STATIC gone.cpp)
option(FEATURE "a (parenthesised) doc" OFF)
set(FLAGS -fa "-fb")
function(helper name)
  add_library(${name} STATIC inside_function.cpp)
endfunction()
if(FEATURE)
  add_library(lib STATIC wrong.cpp)
elseif(NOT FEATURE AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/CMakeLists.txt)
  add_library(lib STATIC
    one.cpp  # a comment
    two.cpp)
  if(UNSET_VARIABLE)
    target_compile_options(lib PRIVATE -fwrong)
  else()
    target_compile_options(lib PRIVATE ${FLAGS} -fc)
  endif()
else()
  add_library(lib STATIC wrong_too.cpp)
endif()
add_python_module(mod "mod.cpp")
target_link_libraries(mod PRIVATE lib)
'''
        directory = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, directory)
        with open(os.path.join(directory, 'CMakeLists.txt'), 'w') as stream:
            stream.write(text)
        project = setup._Project(directory)
        self.assertEqual(sorted(project.targets), ['lib', 'mod'])
        self.assertEqual([os.path.basename(s) for s in project.targets['lib']['sources']],
                         ['one.cpp', 'two.cpp'])
        self.assertEqual(project.targets['lib']['options'], ['-fa', '-fb', '-fc'])
        self.assertEqual(project.static_libraries('mod'), ['lib'])
        self.assertIn('-fvisibility=hidden', project.compile_flags('mod'))


if __name__ == '__main__':
    unittest.main()
