"""Recording a server's matchmaker: every call as one JSON line, for exact replay and what-if runs.

The log, format version 1. One JSON object a line, UTF-8, gzip-compressed when the file name
ends in ".gz". The first line is the header:

    {"format": "matchsim-log", "version": 1, "kelvane": "1.0", "seed": 7, "config": [...]}

"kelvane" is the version of the module that recorded, "seed" and "config" the arguments of the
RandomMatchmaker constructor (the queue descriptions as lists). Then one line per call that the
matchmaker took, in the order of the calls (a call it refused changed nothing and is left out):

    {"call": "enqueue", "queue": 1, "time": 120, "key": 42, "level": 0, "types": [2, 6],
     "lastMaps": [[3, 5], []]}
    {"call": "dequeue", "queue": 1, "key": 42}
    {"call": "formteams", "queue": 1, "time": 121, "map": 5, "teamA": [42], "teamB": [43],
     "seconds": 0.000151}

"map", "teamA" and "teamB" are what formteams returned ((0, [], []) when nothing formed) and
"seconds" its wall time. Readers ignore fields they do not know; a new version number means a
change that old readers cannot follow.
"""

from __future__ import division

import gzip
import io
import json
import time
import warnings
import zlib

from .config import INTEGER_TYPES

FORMAT = 'matchsim-log'
VERSION = 1


def open_log(path, mode):
    """A stream on path, through gzip when the name ends in .gz: text to read ('r'), bytes to
    write ('w'), which costs Python 2 a third of the text layer's time."""
    if path.endswith('.gz'):
        binary = gzip.open(path, mode + 'b')
        if mode == 'w':
            return binary
        # Python 2's gzip file has no read1, which the text layer reads with.
        return io.TextIOWrapper(io.BufferedReader(binary), encoding='utf-8')
    if mode == 'w':
        return io.open(path, 'wb')
    return io.open(path, mode, encoding='utf-8')


# Made once: json.dumps with options of its own builds an encoder on every call. Keys are left
# in dict order: sorting them makes Python 2 encode in Python rather than in C, ten times slower.
_ENCODER = json.JSONEncoder(separators=(',', ':'))


def _line(record):
    """One log line as bytes: ASCII JSON (json escapes anything else) and the newline."""
    text = _ENCODER.encode(record) + '\n'
    return text if isinstance(text, bytes) else text.encode('ascii')


class RecordingMatchmaker(object):
    """Takes the place of kelvane.RandomMatchmaker(seed, config) in a server script: the same
    methods, each forwarded to a real matchmaker, and every call it takes written to the log at
    path. Recording changes no battle. A write that fails (disk full, file closed) stops the
    recording, never the matchmaking: the calls go on, one warning is issued and the error is
    kept in `error`. close() (or a with block) ends the log."""

    def __init__(self, seed, config, path, make_matchmaker=None):
        if make_matchmaker is None:
            import kelvane
            make_matchmaker = kelvane.RandomMatchmaker
        self._inner = make_matchmaker(seed, config)
        self.path = path
        self.error = None
        self._stream = None
        try:
            import kelvane
            version = getattr(kelvane, '__version__', None)
        except ImportError:
            version = None
        header = {'format': FORMAT, 'version': VERSION, 'kelvane': version, 'seed': seed,
                  'config': [list(description) for description in config]}
        try:
            self._stream = open_log(path, 'w')
        except (IOError, OSError) as error:
            self._stop(error, stacklevel=3)
        self._write(header)

    def _stop(self, error, stacklevel=4):
        # The warning names the script's line: _stop, _write, the method, its caller.
        self.error = error
        warnings.warn('recording to %s stopped: %s' % (self.path, error), RuntimeWarning,
                      stacklevel)
        stream, self._stream = self._stream, None
        if stream is not None:
            try:
                stream.close()
            except (IOError, OSError, ValueError):
                pass

    def _write(self, record):
        if self._stream is None:
            return
        try:
            self._stream.write(_line(record))
        except (IOError, OSError, ValueError) as error:
            self._stop(error)

    def enqueue(self, queue, time_, key, level, types, lastMaps):
        self._inner.enqueue(queue, time_, key, level, types, lastMaps)
        self._write({'call': 'enqueue', 'queue': queue, 'time': time_, 'key': key,
                     'level': level, 'types': list(types),
                     'lastMaps': [list(maps) for maps in lastMaps]})

    def dequeue(self, queue, key):
        self._inner.dequeue(queue, key)
        self._write({'call': 'dequeue', 'queue': queue, 'key': key})

    def formteams(self, queue, time_):
        start = time.time()
        result = self._inner.formteams(queue, time_)
        seconds = time.time() - start
        self._write({'call': 'formteams', 'queue': queue, 'time': time_, 'map': result[0],
                     'teamA': list(result[1]), 'teamB': list(result[2]),
                     'seconds': round(seconds, 7)})
        return result

    def stats(self, queue, time_):
        # Changes nothing, so it is not recorded.
        return self._inner.stats(queue, time_)

    def flush(self):
        if self._stream is not None:
            try:
                self._stream.flush()
            except (IOError, OSError, ValueError) as error:
                self._stop(error)

    def close(self):
        """Ends the log; the matchmaker goes on working."""
        if self._stream is not None:
            stream, self._stream = self._stream, None
            try:
                stream.close()
            except (IOError, OSError, ValueError) as error:
                self.error = error
                warnings.warn('recording to %s stopped: %s' % (self.path, error),
                              RuntimeWarning, 2)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


class LogError(Exception):
    """A log that cannot be read: the message says where and what."""


def read_log(path):
    """(header, calls) of the log at path: calls as (line number, record). LogError for a log
    that is missing, truncated, corrupt, of another version or no log at all."""
    try:
        stream = open_log(path, 'r')
    except (IOError, OSError) as error:
        raise LogError('%s: cannot read: %s' % (path, getattr(error, 'strerror', None) or error))
    calls = []
    header = None
    number = 0
    try:
        with stream:
            for number, text in enumerate(stream, 1):
                if not text.endswith(u'\n'):
                    raise LogError('%s:%d: the line is cut off (a truncated log)' % (path, number))
                try:
                    record = json.loads(text)
                except (ValueError, RuntimeError) as error:  # RuntimeError: nested too deep
                    raise LogError('%s:%d: not JSON: %s' % (path, number, error))
                if not isinstance(record, dict):
                    raise LogError('%s:%d: not a JSON object' % (path, number))
                if header is None:
                    header = _check_header(path, record)
                else:
                    calls.append((number, _check_call(path, number, record)))
    except (IOError, OSError, EOFError, UnicodeDecodeError, zlib.error) as error:
        raise LogError('%s:%d: cannot read on: %s' % (path, number + 1, error))
    if header is None:
        raise LogError('%s:1: empty, not a matchmaker log' % path)
    return header, calls


def _check_header(path, record):
    if record.get('format') != FORMAT:
        raise LogError('%s:1: not a matchmaker log (no "format": "%s" header)' % (path, FORMAT))
    if record.get('version') != VERSION:
        raise LogError('%s:1: log format version %s; this reader knows version %d' %
                       (path, json.dumps(record.get('version')), VERSION))
    if not _is(record.get('seed'), 'an integer') or not _is(record.get('config'), 'a list'):
        raise LogError('%s:1: the header needs an integer "seed" and a list "config"' % path)
    return record


# The fields of each call and what each must be.
_FIELDS = {
    'enqueue': (('queue', 'an integer'), ('time', 'an integer'), ('key', 'an integer'),
                ('level', 'an integer'), ('types', 'a list'), ('lastMaps', 'a list')),
    'dequeue': (('queue', 'an integer'), ('key', 'an integer')),
    'formteams': (('queue', 'an integer'), ('time', 'an integer'), ('map', 'an integer'),
                  ('teamA', 'a list'), ('teamB', 'a list'), ('seconds', 'a number')),
}


def _is(value, form):
    if isinstance(value, bool):
        return False
    if form == 'an integer':
        return isinstance(value, INTEGER_TYPES)
    if form == 'a number':
        return isinstance(value, INTEGER_TYPES + (float,))
    return isinstance(value, list)


def _check_call(path, number, record):
    call = record.get('call')
    fields = _FIELDS.get(call) if isinstance(call, type(u'')) or isinstance(call, str) else None
    if fields is None:
        raise LogError('%s:%d: unknown call %s' % (path, number,
                                                   json.dumps(record.get('call'))))
    for name, form in fields:
        if not _is(record.get(name), form):
            raise LogError('%s:%d: %s needs "%s" as %s' % (path, number, record['call'], name,
                                                            form))
    return record
