"""Replaying a recorded log: exactly, checking every battle, or with another configuration or
seed on the same traffic (what-if), with the report of each run.

    python -m matchsim replay LOG [--config Q.json] [--seed S] [--json FILE]

Exact replay builds a matchmaker from the log's header and makes every recorded call in order;
the first formteams result that differs from the recorded one ends it with exit status 1. A
what-if run replays the arrivals, the departures that followed no battle (players who gave up)
and the formteams ticks at their recorded times; the battles the new matchmaker forms dequeue
their squads at once, as a script does. Status 2: a log or configuration that cannot be used.
"""

from __future__ import division

import argparse
import json
import sys

from .cli import seed_option
from .config import ConfigError
from .random_battles import CLASS_NAMES, LEVEL_NAMES, Squad, battle_balance, load_random_config
from .recording import LogError, read_log
from .stats import distribution, percentile, summarize
from .timeline import Timeline


class Divergence(Exception):
    """A replayed formteams result that differs from the recorded one."""


class Tally(object):
    """What one run did, from its calls and battles alone."""

    def __init__(self):
        self.waiting = {}           # (queue, key) -> Squad
        self.known = {}             # (queue, key) -> Squad, the latest enqueued, gone or not
        self.queues_of = {}         # key -> the queues it waits in
        self.enqueued = [0, 0]      # entries, players
        self.levels = [0] * 3       # players enqueued per level
        self.sizes = {}             # squad size -> entries
        self.vehicles = [dict() for _ in range(3)]  # per level: vehicle type -> players
        self.first = self.last = None
        self.now = None             # the latest time of any call: dequeues carry none
        self.waits = []             # per matched player: (wait, level, in a squad)
        self.gave_up = []           # per squad that left unmatched: its wait
        self.differences, self.penalties, self.queue_waits = [], [], []
        self.layouts = {}
        self.call_seconds = []
        self.unformed = {}
        self.at_budget = 0
        self.recent = [0, 0]        # matched players, sent to one of their recent maps
        self.waiting_by_level = [0] * 3  # players
        self.timeline = Timeline(LEVEL_NAMES)

    def enqueue(self, record):
        types = record['types']
        squad = Squad(record['key'], record['queue'], record['level'], list(range(len(types))),
                      types, record['lastMaps'], record['time'])
        self.waiting[(squad.queue, squad.key)] = squad
        self.known[(squad.queue, squad.key)] = squad
        self.queues_of.setdefault(squad.key, set()).add(squad.queue)
        self.enqueued[0] += 1
        self.enqueued[1] += len(types)
        self.timeline.join(record['time'], len(types))
        if 0 <= squad.level < 3:
            self.waiting_by_level[squad.level] += len(types)
            self.levels[squad.level] += len(types)
            for vehicle in types:
                mix = self.vehicles[squad.level]
                mix[vehicle] = mix.get(vehicle, 0) + 1
        self.sizes[len(types)] = self.sizes.get(len(types), 0) + 1
        self.first = record['time'] if self.first is None else self.first
        self.last = self.now = record['time']

    def leave(self, queue, key, now):
        """A dequeue; now is the time of a give-up, None for a squad that went to battle."""
        squad = self.waiting.pop((queue, key), None)
        if squad is None:
            return
        if 0 <= squad.level < 3:
            self.waiting_by_level[squad.level] -= len(squad.types)
        queues = self.queues_of[key]
        queues.discard(queue)
        if not queues:
            del self.queues_of[key]
        if now is not None:
            self.gave_up.append(now - squad.enqueued)

    def matched(self, key):
        """Takes a squad of a battle out of every queue it waits in; those queues, sorted."""
        queues = sorted(self.queues_of.get(key, ()))
        for queue in queues:
            self.leave(queue, key, None)
        return queues

    def formteams(self, queue, now, result, seconds, stats):
        self.now = now
        self.call_seconds.append(seconds)
        self.timeline.call(now, seconds)
        last = stats['last'] if stats else None
        if last is not None and last['budget']:
            self.at_budget += 1
        map_key, team_a, team_b = result
        if not team_a or not team_b:
            if last is not None and last['reason']:
                reason = last['reason'].split(' (')[0]
                self.unformed[reason] = self.unformed.get(reason, 0) + 1
            return
        # Looked up among all squads: a script may call formteams again before it dequeues.
        teams = [[self.known[(queue, key)] for key in keys] for keys in (team_a, team_b)]
        for squad in teams[0] + teams[1]:
            for recent in squad.last_maps or [[]] * len(squad.types):
                self.recent[0] += 1
                self.recent[1] += map_key in recent
            for _ in squad.types:
                self.waits.append((now - squad.enqueued, squad.level, len(squad.types) > 1))
                if 0 <= squad.level < 3:
                    self.timeline.match(now, squad.level, now - squad.enqueued)
        differences, penalty = battle_balance(teams[0], teams[1])
        self.differences.append(differences)
        self.penalties.append(penalty)
        if stats:
            self.queue_waits.append(stats['wait'])
        layout = [0] * 3
        for squad in teams[0]:
            layout[squad.level] += len(squad.types)
        layout = '-'.join(str(n) for n in layout)
        self.layouts[layout] = self.layouts.get(layout, 0) + 1

    def report(self):
        waits = self.waits
        ms = sorted(s * 1000.0 for s in self.call_seconds)
        penalties = sorted(self.penalties)
        span = (self.last - self.first) if self.first is not None else 0
        return {
            'battles': len(self.penalties),
            'players_matched': len(waits),
            'entries': {'squads': self.enqueued[0], 'players': self.enqueued[1]},
            'gave_up': {'squads': len(self.gave_up), 'wait': summarize(self.gave_up)},
            'waiting_at_end': len(self.waiting),
            'wait': dict([('all', summarize([w for w, _, _ in waits]))] + [
                (name, summarize([w for w, lvl, _ in waits if lvl == level]))
                for level, name in enumerate(LEVEL_NAMES)]),
            'layouts': self.layouts,
            'balance': {
                'difference_by_class': dict((name, distribution(d[cls] for d in self.differences))
                                            for cls, name in enumerate(CLASS_NAMES)),
                'penalty': {'mean': sum(penalties) / len(penalties) if penalties else None,
                            'median': percentile(penalties, 50),
                            'max': penalties[-1] if penalties else None}},
            'formteams_ms': {'calls': len(ms), 'median': percentile(ms, 50),
                             'p99': percentile(ms, 99), 'max': ms[-1] if ms else None,
                             'at_budget': self.at_budget},
            'formed_nothing': {'calls': sum(self.unformed.values()),
                               'by_reason': dict(self.unformed)},
            'recent_maps_share': self.recent[1] / self.recent[0] if self.recent[0] else None,
            # What the traffic looked like: the figures --traffic asks for.
            'traffic': {
                'seconds': span,
                'players_per_second': self.enqueued[1] / span if span else None,
                'level_shares': [n / self.enqueued[1] if self.enqueued[1] else None
                                 for n in self.levels],
                'squad_sizes': dict((str(k), v) for k, v in sorted(self.sizes.items())),
                'vehicles_by_level': dict(
                    (name, dict((str(t), n) for t, n in sorted(mix.items())))
                    for name, mix in zip(LEVEL_NAMES, self.vehicles)),
                'patience_seen': summarize(self.gave_up),
            },
        }


def _queues(config):
    """The constructor's configuration: each queue description a tuple."""
    return [tuple(description) for description in config]


def exact(header, calls, make_matchmaker, tally=None):
    """Replays every call; the report of the run (tally, if given, is filled). Divergence at the
    first formteams result that differs from the recorded one."""
    matchmaker = make_matchmaker(header['seed'], _queues(header['config']))
    tally = Tally() if tally is None else tally
    claimed = set()  # squads of recorded battles, dequeued by the script after them
    for index, (number, record) in enumerate(calls, 1):
        call = record['call']
        if call == 'enqueue':
            matchmaker.enqueue(record['queue'], record['time'], record['key'], record['level'],
                               record['types'], record['lastMaps'])
            tally.enqueue(record)
        elif call == 'dequeue':
            matchmaker.dequeue(record['queue'], record['key'])
            battle = (record['queue'], record['key']) in claimed
            claimed.discard((record['queue'], record['key']))
            tally.leave(record['queue'], record['key'], None if battle else tally.now)
        else:
            got = matchmaker.formteams(record['queue'], record['time'])
            recorded = (record['map'], record['teamA'], record['teamB'])
            if (got[0], list(got[1]), list(got[2])) != recorded:
                raise Divergence('call %d (line %d): formteams(%d, %d) formed %s; the log has %s'
                                 % (index, number, record['queue'], record['time'],
                                    json.dumps([got[0], list(got[1]), list(got[2])]),
                                    json.dumps(list(recorded))))
            tally.formteams(record['queue'], record['time'], got, record['seconds'],
                            matchmaker.stats(record['queue'], record['time']))
            # A battle's squads leave the tally now, from every queue they wait in; the script's
            # dequeues follow.
            for key in got[1] + got[2]:
                claimed.update((queue, key) for queue in tally.matched(key))
            tally.timeline.tick(record['time'], tally.waiting_by_level)
    return tally.report()


def what_if(header, calls, make_matchmaker, config, seed, tally=None):
    """The same traffic with another configuration or seed; its report and counts of the
    recorded calls that no longer applied (tally, if given, is filled)."""
    import time
    matchmaker = make_matchmaker(header['seed'] if seed is None else seed,
                                 _queues(header['config'] if config is None else config))
    tally = Tally() if tally is None else tally
    # What the recorded run held, to tell its give-ups from the dequeues after its battles.
    recorded = Tally()
    claimed = set()
    skipped = {'enqueues_of_waiting_keys': 0, 'dequeues_of_gone_keys': 0}
    for number, record in calls:
        call = record['call']
        where = (record['queue'], record.get('key'))
        if call == 'enqueue':
            recorded.enqueue(record)
            claimed.discard(where)
            if where in tally.waiting:
                skipped['enqueues_of_waiting_keys'] += 1
                continue
            matchmaker.enqueue(record['queue'], record['time'], record['key'], record['level'],
                               record['types'], record['lastMaps'])
            tally.enqueue(record)
        elif call == 'dequeue':
            recorded.leave(*where, now=None)
            if where in claimed:  # followed a recorded battle
                claimed.discard(where)
                continue
            if where not in tally.waiting:
                skipped['dequeues_of_gone_keys'] += 1
                continue
            matchmaker.dequeue(*where)
            tally.leave(record['queue'], record['key'], tally.now)
        else:
            for key in record['teamA'] + record['teamB']:
                claimed.update((queue, key) for queue in recorded.matched(key))
            start = time.time()
            got = matchmaker.formteams(record['queue'], record['time'])
            seconds = time.time() - start
            tally.formteams(record['queue'], record['time'], got, seconds,
                            matchmaker.stats(record['queue'], record['time']))
            # As a script does: out of every queue the squads wait in.
            for key in got[1] + got[2]:
                for queue in tally.matched(key):
                    matchmaker.dequeue(queue, key)
            tally.timeline.tick(record['time'], tally.waiting_by_level)
    report = tally.report()
    report['skipped'] = skipped
    return report


# ---------------------------------------------------------------------------------------------
# The report as text

def _waits(summary):
    from .report import seconds_text
    return '%s / %s / %s / %s' % tuple(seconds_text(summary[k])
                                       for k in ('median', 'p90', 'p99', 'max'))


def _rows(report, reasons=None):
    """(label, text) rows of one run's report; a row for each of reasons (all of its own by
    default), so that two runs' rows line up."""
    from .report import ms_text, share_text
    battles = report['battles']
    rows = [('battles formed', '%d' % battles),
            ('players matched', '%d of %d who joined' % (report['players_matched'],
                                                       report['entries']['players'])),
            ('gave up', '%d squads' % report['gave_up']['squads']),
            ('still waiting', '%d squads' % report['waiting_at_end'])]
    for name in ('all',) + LEVEL_NAMES:
        rows.append(('wait, %s' % (name if name == 'all' else name + ' level'),
                     _waits(report['wait'][name])))
    layouts = sorted(report['layouts'].items(), key=lambda item: (-item[1], item[0]))
    rows.append(('layouts', ', '.join('%s %s' % (layout, share_text(n / battles))
                                      for layout, n in layouts) or '-'))
    for name in CLASS_NAMES:
        counts = report['balance']['difference_by_class'][name]
        even = counts.get(0, 0) / battles if battles else None
        rows.append(('even %s' % name, share_text(even)))
    penalty = report['balance']['penalty']
    rows.append(('penalty', 'mean %s, median %s, max %s' % (
        '-' if penalty['mean'] is None else '%.1f' % penalty['mean'],
        '-' if penalty['median'] is None else penalty['median'],
        '-' if penalty['max'] is None else penalty['max'])))
    calls = report['formteams_ms']
    rows.append(('formteams', 'median %s, p99 %s, max %s' % (
        ms_text(calls['median']), ms_text(calls['p99']), ms_text(calls['max']))))
    rows.append(('calls at the budget', '%d of %d' % (calls['at_budget'], calls['calls'])))
    unformed = report['formed_nothing']
    rows.append(('formed nothing', '%d calls' % unformed['calls']))
    for reason in _reasons(report) if reasons is None else reasons:
        rows.append(('  ' + reason, '%d' % unformed['by_reason'].get(reason, 0)))
    return rows


def _reasons(*reports):
    """The reasons for calls that formed nothing in any of the reports, the most common first."""
    counts = {}
    for report in reports:
        for reason, n in report['formed_nothing']['by_reason'].items():
            counts[reason] = counts.get(reason, 0) + n
    return sorted(counts, key=lambda reason: (-counts[reason], reason))


def render(report, title):
    from .report import seconds_text, share_text
    lines = [title, '']
    lines.extend('%-44s %s' % row for row in _rows(report))
    traffic = report['traffic']
    lines += ['', 'Traffic (what --traffic asks for, estimated from the log)',
              '%-44s %s' % ('players a second', '-' if traffic['players_per_second'] is None
                            else '%.2f over %s' % (traffic['players_per_second'],
                                                    seconds_text(traffic['seconds']))),
              '%-44s %s' % ('level shares', ', '.join(
                  '%s %s' % (name, share_text(share))
                  for name, share in zip(LEVEL_NAMES, traffic['level_shares']))),
              '%-44s %s' % ('entries by size', ', '.join(
                  '%s: %d' % item for item in sorted(traffic['squad_sizes'].items()))),
              '%-44s %s' % ('gave up after', _waits(traffic['patience_seen']))]
    for name in LEVEL_NAMES:
        mix = traffic['vehicles_by_level'][name]
        lines.append('%-44s %s' % ('vehicle types, %s' % name, ', '.join(
            '%s: %d' % item for item in sorted(mix.items(), key=lambda i: int(i[0]))) or '-'))
    return '\n'.join(lines)


def render_side_by_side(recorded, changed, title):
    reasons = _reasons(recorded, changed)
    lines = [title, '', '%-44s %-40s %s' % ('', 'recorded', 'what-if')]
    for (label, left), (_, right) in zip(_rows(recorded, reasons), _rows(changed, reasons)):
        lines.append('%-44s %-40s %s' % (label, left, right))
    skipped = changed['skipped']
    lines += ['', 'Recorded calls that no longer applied: %d enqueues of squads still waiting, '
              '%d dequeues of squads already gone' % (skipped['enqueues_of_waiting_keys'],
                                                      skipped['dequeues_of_gone_keys'])]
    return '\n'.join(lines)


# ---------------------------------------------------------------------------------------------
# The command line

def parser(prog='replay'):
    result = argparse.ArgumentParser(
        prog=prog, description='Replay a recorded matchmaker log exactly, or try another '
        'configuration or seed on its traffic, and report both runs.',
        epilog='Exit status: 0 on success, 1 when an exact replay diverges from the log, 2 for '
        'a log, option or configuration that cannot be used.')
    result.add_argument('log', metavar='LOG', help='a log written by RecordingMatchmaker')
    result.add_argument('--config', metavar='FILE',
                        help='what-if: the queues as JSON, in the shape the simulation\'s '
                        '--config takes')
    result.add_argument('--seed', type=seed_option, help='what-if: another seed')
    result.add_argument('--json', metavar='FILE', help='also write the report as JSON to FILE')
    result.add_argument('--html', metavar='FILE',
                        help='also write the report with its charts as one HTML page to FILE')
    return result


def kelvane_matchmaker(seed, config):
    import kelvane
    return kelvane.RandomMatchmaker(seed, config)


def main(argv=None, stdout=None, stderr=None, make_matchmaker=None, prog='replay'):
    stdout = stdout or sys.stdout
    stderr = stderr or sys.stderr
    make_matchmaker = make_matchmaker or kelvane_matchmaker

    def fail(message, status):
        stderr.write('%s: error: %s\n' % (prog, message))
        return status

    options = parser(prog).parse_args(argv)
    try:
        config = load_random_config(options.config) if options.config else None
        header, calls = read_log(options.log)
    except (ConfigError, LogError) as error:
        return fail(str(error), 2)
    report_file = None
    if options.json:
        try:
            report_file = open(options.json, 'w')
        except IOError as error:
            return fail('cannot write %s: %s' % (options.json, error.strerror or error), 2)
    tallies = [Tally(), Tally()]
    try:
        recorded = exact(header, calls, make_matchmaker, tallies[0])
        report = {'recorded': recorded}
        title = 'Replay of %s: %d calls, seed %d' % (options.log, len(calls), header['seed'])
        if config is None and options.seed is None:
            text = render(recorded, title + ', every battle as recorded')
        else:
            report['what_if'] = what_if(header, calls, make_matchmaker, config, options.seed,
                                        tallies[1])
            changes = [part for part in (options.config and 'with ' + options.config,
                                         options.seed is not None and 'seed %d' % options.seed)
                       if part]
            text = render_side_by_side(recorded, report['what_if'],
                                       '%s, what-if %s' % (title, ', '.join(changes)))
    except (Divergence, TypeError, ValueError, OverflowError, KeyError) as error:
        if report_file is not None:
            report_file.close()
        if isinstance(error, Divergence):
            return fail('%s: %s' % (options.log, error), 1)
        if isinstance(error, KeyError):
            return fail('%s: the log names a squad it never enqueued: %s' % (options.log, error),
                        2)
        # The matchmaker refused the header's configuration or a recorded call.
        return fail('%s: the matchmaker refused what the log holds: %s' % (options.log, error), 2)
    if options.html:
        from . import html
        runs = [('recorded', recorded, tallies[0].timeline.series(), tallies[0].penalties)]
        if 'what_if' in report:
            runs.append(('what-if', report['what_if'], tallies[1].timeline.series(),
                         tallies[1].penalties))
        try:
            html.write(options.html, text.split('\n')[0], html.random_charts(runs), text,
                       {'log': options.log, 'seed': header['seed'], 'config': header['config'],
                        'what_if': {'config': config, 'seed': options.seed}})
        except (IOError, OSError) as error:
            return fail('cannot write %s: %s' % (options.html, error), 2)
    stdout.write(text + '\n')
    if report_file is not None:
        with report_file:
            json.dump(report, report_file, indent=2, sort_keys=True, separators=(', ', ': '))
            report_file.write('\n')
    return 0
