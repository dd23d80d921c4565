"""Builds and installs kelvane and tessart into the interpreter that runs this script:

    pip install --no-build-isolation .

The modules are compiled exactly as the CMake build compiles them (RelWithDebInfo, as `make`
configures it): the sources, libraries, compile options and link options of every module are
read from the CMakeLists.txt files, so that there is one list of sources to keep. Only the
interpreter differs: its headers and its extension file name. The type stubs go in beside them
as the stub-only packages kelvane-stubs and tessart-stubs, where type checkers look for them.
"""

import glob
import os
import re
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Command, Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
MODULES = ('kelvane', 'tessart')
VERSION = '1.0'

# ---------------------------------------------------------------------------------------------
# The CMake files, read as far as they declare targets
#
# Understood: set, option, if/elseif/else/endif (NOT, AND, OR, EXISTS and variables),
# add_subdirectory, add_compile_options, add_library, add_python_module, target_compile_options,
# target_link_options, target_link_libraries, target_include_directories and
# set_target_properties. function() bodies are skipped: add_python_module(<name> <sources...>)
# is taken as what it makes, a module with hidden visibility. Everything else (tests, packages,
# custom targets) does not shape a module and is ignored.

_TOKEN = re.compile(r'"((?:[^"\\]|\\.)*)"|([^\s()"#]+)|(\()|(\))|(#[^\n]*)')
_VARIABLE = re.compile(r'\$\{([^}]*)\}')
_FALSE = ('', '0', 'OFF', 'NO', 'FALSE', 'N', 'IGNORE', 'NOTFOUND')


class CMakeError(Exception):
    pass


def _commands(text, path):
    """(line, name, [(argument, quoted)]) for each command of a CMake file."""
    line = 1
    name, args, depth, start = None, None, 0, 0
    pos = 0
    for match in _TOKEN.finditer(text):
        line += text.count('\n', pos, match.start())
        pos = match.start()
        quoted, word, opening, closing, comment = match.groups()
        if comment is not None:
            continue
        if name is None:
            if word is None or not re.match(r'[A-Za-z_][A-Za-z0-9_]*$', word):
                raise CMakeError('%s:%d: cannot read %r' % (path, line, match.group(0)))
            name, args, start = word.lower(), [], line
            continue
        if opening is not None:
            depth += 1
            if depth > 1:
                args.append(('(', False))
        elif closing is not None:
            depth -= 1
            if depth == 0:
                yield start, name, args
                name = None
            else:
                args.append((')', False))
        elif depth == 0:
            raise CMakeError('%s:%d: %s without arguments' % (path, line, name))
        elif quoted is not None:
            args.append((quoted, True))
        else:
            args.append((word, False))
    if name is not None:
        raise CMakeError('%s: unfinished command %s at line %d' % (path, name, start))


def _truthy(value):
    return value.upper() not in _FALSE and not value.upper().endswith('-NOTFOUND')


class _Project(object):
    """The targets of a CMake project, with what the build of a module needs of them."""

    def __init__(self, root):
        self.variables = {}
        self.compile_options = []
        self.targets = {}
        self._root = root
        self._read(root, {'CMAKE_SOURCE_DIR': root})

    def _expand(self, args, variables):
        out = []
        for text, quoted in args:
            whole = _VARIABLE.match(text)
            if not quoted and whole and whole.end() == len(text):
                value = variables.get(whole.group(1), '')
                out.extend(part for part in value.split(';') if part)
            else:
                out.append(_VARIABLE.sub(lambda m: variables.get(m.group(1), ''), text))
        return out

    def _condition(self, args, variables):
        """REQUIRES: no parentheses; AND binds tighter than OR, as in CMake."""
        def term(words):
            negate = False
            while words and words[0] == 'NOT':
                negate, words = not negate, words[1:]
            if len(words) == 2 and words[0] == 'EXISTS':
                value = os.path.exists(words[1])
            elif len(words) == 1:
                word = words[0]
                value = _truthy(variables.get(word, word if word.upper() in
                                              ('ON', 'YES', 'TRUE', 'Y', '1') else ''))
            else:
                raise CMakeError('condition %s' % ' '.join(words))
            return value != negate
        words = self._expand([(a, False) for a, _ in args], variables)
        ors, current = [], []
        for word in words + ['OR']:
            if word == 'OR':
                ors.append(current)
                current = []
            else:
                current.append(word)
        results = []
        for group in ors:
            ands, current = [], []
            for word in group + ['AND']:
                if word == 'AND':
                    ands.append(term(current))
                    current = []
                else:
                    current.append(word)
            results.append(all(ands))
        return any(results)

    def _target(self, name, kind, sources, directory):
        self.targets[name] = {
            'kind': kind, 'dir': directory, 'sources': [os.path.join(directory, s)
                                                        for s in sources],
            'options': [], 'link_options': [], 'links': [], 'includes': [],
            'public_includes': [], 'properties': {},
        }

    def _read(self, directory, inherited):
        path = os.path.join(directory, 'CMakeLists.txt')
        with open(path) as stream:
            text = stream.read()
        variables = dict(self.variables)
        variables.update(inherited)
        variables['CMAKE_CURRENT_SOURCE_DIR'] = directory
        # One entry per open if(): (enclosing block active, a branch taken, this branch active)
        blocks = []
        in_function = 0
        for line, name, raw in _commands(text, path):
            if name in ('function', 'macro'):
                in_function += 1
                continue
            if name in ('endfunction', 'endmacro'):
                in_function -= 1
                continue
            if in_function:
                continue
            active = not blocks or blocks[-1][2]
            if name == 'if':
                taken = active and self._condition(raw, variables)
                blocks.append((active, taken, taken))
                continue
            if name in ('elseif', 'else', 'endif'):
                if not blocks:
                    raise CMakeError('%s:%d: %s without if' % (path, line, name))
                outer, taken, _ = blocks.pop()
                if name == 'endif':
                    continue
                now = outer and not taken and (name == 'else' or
                                               self._condition(raw, variables))
                blocks.append((outer, taken or now, now))
                continue
            if not active:
                continue
            args = self._expand(raw, variables)
            try:
                self._command(name, args, variables, directory)
            except (IndexError, KeyError) as error:
                raise CMakeError('%s:%d: cannot use %s(%s): %s' %
                                 (path, line, name, ' '.join(args), error))
        if blocks:
            raise CMakeError('%s: if() without endif()' % path)
        if directory == self._root:
            self.variables = variables

    def _command(self, name, args, variables, directory):
        targets = self.targets
        if name == 'set':
            variables[args[0]] = ';'.join(a for a in args[1:] if a != 'PARENT_SCOPE')
        elif name == 'option':
            variables.setdefault(args[0], args[2] if len(args) > 2 else 'OFF')
        elif name == 'add_subdirectory':
            self.variables = variables
            self._read(os.path.join(directory, args[0]), variables)
        elif name == 'add_compile_options':
            self.compile_options.extend(args)
        elif name == 'add_library':
            kinds = ('STATIC', 'SHARED', 'MODULE', 'OBJECT')
            if 'IMPORTED' in args or 'ALIAS' in args or 'INTERFACE' in args:
                return
            kind = args[1] if args[1] in kinds else 'STATIC'
            sources = [a for a in args[1:] if a not in kinds + ('EXCLUDE_FROM_ALL',)]
            self._target(args[0], kind, sources, directory)
        elif name == 'add_python_module':
            self._target(args[0], 'MODULE', args[1:], directory)
            targets[args[0]]['properties'].update(
                {'CXX_VISIBILITY_PRESET': 'hidden', 'VISIBILITY_INLINES_HIDDEN': 'ON'})
        elif name in ('target_compile_options', 'target_link_options', 'target_link_libraries',
                      'target_include_directories'):
            target = targets.get(args[0])
            if target is None:
                return  # a test executable or an imported target
            scope = 'PRIVATE'
            for arg in args[1:]:
                if arg in ('PRIVATE', 'PUBLIC', 'INTERFACE'):
                    scope = arg
                    continue
                if arg in ('SYSTEM', 'BEFORE', 'AFTER'):
                    continue
                if name == 'target_include_directories':
                    if scope != 'INTERFACE':
                        target['includes'].append(arg)
                    if scope != 'PRIVATE':
                        target['public_includes'].append(arg)
                elif scope != 'INTERFACE':
                    key = {'target_compile_options': 'options',
                           'target_link_options': 'link_options',
                           'target_link_libraries': 'links'}[name]
                    target[key].append(arg)
        elif name == 'set_target_properties':
            at = args.index('PROPERTIES')
            pairs = args[at + 1:]
            for target in args[:at]:
                if target in targets:
                    targets[target]['properties'].update(zip(pairs[::2], pairs[1::2]))

    def compile_flags(self, name):
        """The options CMake gives the compiler for every source of target `name`, in its order,
        include directories and Python's headers left out."""
        variables = self.variables
        target = self.targets[name]
        properties = target['properties']
        flags = variables.get('CMAKE_CXX_FLAGS_RELWITHDEBINFO', '-O2 -g -DNDEBUG').split()
        if (target['kind'] != 'STATIC' or properties.get('POSITION_INDEPENDENT_CODE') or
                _truthy(variables.get('CMAKE_POSITION_INDEPENDENT_CODE', ''))):
            flags.append('-fPIC')
        if properties.get('CXX_VISIBILITY_PRESET'):
            flags.append('-fvisibility=' + properties['CXX_VISIBILITY_PRESET'])
        if _truthy(properties.get('VISIBILITY_INLINES_HIDDEN', '')):
            flags.append('-fvisibility-inlines-hidden')
        flags += self.compile_options + target['options']
        standard = variables.get('CMAKE_CXX_STANDARD')
        if standard:
            extensions = _truthy(variables.get('CMAKE_CXX_EXTENSIONS', 'ON'))
            flags.append('-std=%s++%s' % ('gnu' if extensions else 'c', standard))
        return flags

    def include_dirs(self, name):
        target = self.targets[name]
        dirs = list(target['includes'])
        for library in target['links']:
            if library in self.targets:
                dirs += self.targets[library]['public_includes']
        return dirs

    def static_libraries(self, name):
        """The libraries of these sources a module links, in order; fails on any other."""
        libraries = []
        for library in self.targets[name]['links']:
            target = self.targets.get(library)
            if target is None or target['kind'] != 'STATIC':
                raise CMakeError('%s links %s, which is not a static library of these sources'
                                 % (name, library))
            libraries.append(library)
        return libraries

    def link_flags(self, name):
        return (['-fPIC'] +
                self.variables.get('CMAKE_CXX_FLAGS_RELWITHDEBINFO', '-O2 -g').split() +
                self.targets[name]['link_options'])


def project():
    return _Project(HERE)


# ---------------------------------------------------------------------------------------------
# The build

def python_include():
    include = sysconfig.get_paths()['include']
    if not os.path.exists(os.path.join(include, 'Python.h')):
        sys.exit('error: no Python.h in %s: install the headers of this interpreter (Debian: '
                 'apt-get install python%d.%d-dev)' % ((include,) + sys.version_info[:2]))
    return include


def _run_all(commands, jobs):
    """Runs the commands, `jobs` at a time; stops at the first that fails."""
    running = []
    pending = list(commands)
    while pending or running:
        while pending and len(running) < jobs:
            command = pending.pop(0)
            print(' '.join(command))
            running.append((command, subprocess.Popen(command)))
        command, process = running.pop(0)
        if process.wait() != 0:
            for _, other in running:
                other.wait()
            sys.exit('error: command failed: %s' % ' '.join(command))


def _jobs():
    try:
        return max(1, int(os.environ.get('JOBS') or os.cpu_count()))
    except (AttributeError, TypeError, ValueError):
        import multiprocessing
        return multiprocessing.cpu_count()


def module_plan(project, name, include, temp, cxx):
    """How module `name` is built: (compile commands, [(archive, its objects)], link command
    without the compiler and output). Objects and archives go under `temp`."""
    compile_commands, archives = [], []

    def compile_all(target, flags, includes):
        objects = []
        for source in project.targets[target]['sources']:
            obj = os.path.join(temp, target, os.path.basename(source) + '.o')
            compile_commands.append(cxx + includes + flags + ['-o', obj, '-c', source])
            objects.append(obj)
        return objects

    for library in project.static_libraries(name):
        objects = compile_all(library, project.compile_flags(library),
                              ['-I' + d for d in project.include_dirs(library)])
        archives.append((os.path.join(temp, 'lib%s.a' % library), objects))
    objects = compile_all(name, project.compile_flags(name),
                          ['-D%s_EXPORTS' % name] +
                          ['-I' + d for d in project.include_dirs(name)] + ['-isystem', include])
    link = project.link_flags(name) + ['-shared'] + objects + [a for a, _ in archives]
    return compile_commands, archives, link


class BuildModules(build_ext):
    """Compiles each module with the commands the CMake build runs, rather than with the
    interpreter's own flags (which would add -O3 and -DNDEBUG)."""

    def build_extensions(self):
        self._project = project()
        self._include = python_include()
        self._cxx = os.environ.get('CXX', 'c++').split()
        self._ar = os.environ.get('AR', 'ar')
        build_ext.build_extensions(self)
        self._copy_stubs()

    def _inputs(self, name):
        """Every file whose change calls for a new build of module `name`."""
        project = self._project
        files = [os.path.abspath(__file__)]
        for target in [name] + project.static_libraries(name):
            directory = project.targets[target]['dir']
            files += project.targets[target]['sources']
            files += glob.glob(os.path.join(directory, '*.h'))
            files += glob.glob(os.path.join(directory, '*.map'))
            files.append(os.path.join(directory, 'CMakeLists.txt'))
        return files + [os.path.join(HERE, 'CMakeLists.txt')]

    def build_extension(self, ext):
        name = ext.name
        output = os.path.abspath(self.get_ext_fullpath(name))
        inputs = self._inputs(name)
        if not self.force and os.path.exists(output) and \
                os.path.getmtime(output) >= max(os.path.getmtime(f) for f in inputs):
            print('%s is up to date' % output)
            return
        temp = os.path.abspath(self.build_temp)
        compile_commands, archives, link = module_plan(self._project, name, self._include, temp,
                                                       self._cxx)
        for directory in set(os.path.dirname(c[c.index('-o') + 1]) for c in compile_commands):
            if not os.path.isdir(directory):
                os.makedirs(directory)
        _run_all(compile_commands, _jobs())
        for archive, objects in archives:
            if os.path.exists(archive):
                os.remove(archive)
            _run_all([[self._ar, 'qc', archive] + objects, [self._ar, 's', archive]], 1)
        if not os.path.isdir(os.path.dirname(output)):
            os.makedirs(os.path.dirname(output))
        _run_all([self._cxx + link[:link.index('-shared') + 1] + ['-o', output] +
                  link[link.index('-shared') + 1:]], 1)
        self._check_exports(name, output)

    def _check_exports(self, name, output):
        # The version scripts decide what a module exports: one written for the other Python
        # would hide this interpreter's init function, and the module would not import.
        init = ('PyInit_' if sys.version_info[0] >= 3 else 'init') + name
        try:
            symbols = subprocess.check_output(['nm', '-D', '--defined-only', output])
        except (OSError, subprocess.CalledProcessError):
            return  # no nm: the import will tell
        if init.encode('ascii') not in [s.split(b'@')[0] for s in symbols.split()]:
            sys.exit('error: %s does not export %s: the CMake files give it link options for '
                     'another Python' % (output, init))

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


class OfflineWheel(Command):
    """A minimal bdist_wheel for interpreters without the wheel package (pyenv's Python 3.11
    and its virtual environments have setuptools only), which pip needs to build offline: the
    built modules and stubs, the metadata, WHEEL and RECORD, for this interpreter only."""

    description = 'build a wheel of the modules for this interpreter'
    user_options = [('dist-dir=', 'd', 'directory to put the wheel in')]

    def initialize_options(self):
        self.dist_dir = None

    def finalize_options(self):
        if self.dist_dir is None:
            self.dist_dir = 'dist'

    def egg2dist(self, egg_info_dir, dist_info_dir):
        """What setuptools' dist_info command asks of bdist_wheel: the metadata as dist-info."""
        if not os.path.isdir(dist_info_dir):
            os.makedirs(dist_info_dir)
        shutil.copyfile(os.path.join(egg_info_dir, 'PKG-INFO'),
                        os.path.join(dist_info_dir, 'METADATA'))

    def run(self):
        import base64
        import hashlib
        import io
        import zipfile
        build = self.get_finalized_command('build')
        self.run_command('build')
        root = build.build_platlib
        version = 'cp%d%d' % sys.version_info[:2]
        platform = re.sub(r'[-.]', '_', sysconfig.get_platform())
        stem = '%s-%s' % (re.sub(r'[^\w\d.]+', '_', self.distribution.get_name()),
                          self.distribution.get_version())
        info = stem + '.dist-info'
        metadata = io.StringIO()
        self.distribution.metadata.write_pkg_file(metadata)
        extra = {
            'METADATA': metadata.getvalue(),
            'WHEEL': 'Wheel-Version: 1.0\nGenerator: setup.py\nRoot-Is-Purelib: false\n'
                     'Tag: %s-%s-%s\n' % (version, version, platform),
        }
        if not os.path.isdir(self.dist_dir):
            os.makedirs(self.dist_dir)
        path = os.path.join(self.dist_dir, '%s-%s-%s-%s.whl' % (stem, version, version,
                                                                  platform))
        records = []

        def add(archive, name, data):
            archive.writestr(name, data)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b'=')
            records.append('%s,sha256=%s,%d' % (name, digest.decode('ascii'), len(data)))

        with zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED) as archive:
            for directory, _, files in sorted(os.walk(root)):
                for name in sorted(files):
                    full = os.path.join(directory, name)
                    with open(full, 'rb') as stream:
                        add(archive, os.path.relpath(full, root).replace(os.sep, '/'),
                            stream.read())
            for name in sorted(extra):
                add(archive, info + '/' + name, extra[name].encode('utf-8'))
            records.append(info + '/RECORD,,')
            archive.writestr(info + '/RECORD', '\n'.join(records) + '\n')
        print('wrote %s' % path)


def commands():
    result = {'build_ext': BuildModules}
    try:
        import wheel  # noqa: F401
    except ImportError:
        result['bdist_wheel'] = OfflineWheel
    return result


def extensions():
    project_ = project()
    return [Extension(name, [os.path.relpath(s, HERE) for s in project_.targets[name]['sources']])
            for name in MODULES]


if __name__ == '__main__':
    os.chdir(HERE)
    setup(
        name='kelvane-tessart',
        version=VERSION,
        description='Random battles matchmaker (kelvane) and a weighted ordered AA tree '
        '(tessart)',
        ext_modules=extensions(),
        cmdclass=commands(),
        zip_safe=False,
    )
