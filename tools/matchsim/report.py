"""The reports as text, and the progress line while a simulation runs."""

from __future__ import division

import time

from .random_battles import CLASS_NAMES, LEVEL_NAMES, RECENT_MAPS, TICK_BUDGET
from .stats import nearest
from .traffic import TICK_SECONDS

# ---------------------------------------------------------------------------------------------
# Units and table rows

def seconds_text(value):
    if value is None:
        return '-'
    value = nearest(value)
    return '%d s' % value if value < 60 else '%d:%02d' % divmod(value, 60)


def ms_text(value):
    return '-' if value is None else '%.1f ms' % value


def share_text(value):
    return '-' if value is None else '%.1f%%' % (100 * value)


def wait_row(name, summary):
    return '  %-16s %7d %7s %7s %7s %7s' % (
        name, summary['count'], seconds_text(summary['median']), seconds_text(summary['p90']),
        seconds_text(summary['p99']), seconds_text(summary['max']))


def difference_row(name, counts, total):
    cells = []
    for low, high, label in ((None, -3, '<=-3'), (-2, -2, '-2'), (-1, -1, '-1'), (0, 0, '0'),
                             (1, 1, '+1'), (2, 2, '+2'), (3, None, '>=+3')):
        n = sum(c for d, c in counts.items()
                if (low is None or d >= low) and (high is None or d <= high))
        share = 100.0 * n / total
        cells.append('%6s' % ('.' if not n else '<1%' if share < 0.5 else '%.0f%%' % share))
    return '  %-16s%s' % (name, ''.join(cells))


# ---------------------------------------------------------------------------------------------
# The random-battle report

def render_random(report, settings):
    lines = []
    add = lines.append
    battles = report['battles']
    add('Random battles: %g simulated minutes, %g players joining a second, population %d, '
        'seed %d' % (report['simulated_seconds'] / 60, settings['rate'], settings['population'],
                     settings['seed']))
    add('Counted from minute %g on: the first minutes fill the queue and the map histories.' %
        (report['warmup_seconds'] / 60))
    add('')
    by_queue = sorted(report['battles_by_queue'].items())
    add('Battles formed      %d%s' % (battles, '' if len(by_queue) < 2 else ' (%s)' % ', '.join(
        'queue %s: %d' % item for item in by_queue)))
    add('Players matched     %d (%d joined the queue meanwhile)' % (
        report['players_matched'], report['entries']['players']))
    gave_up = report['gave_up']
    add('Gave up waiting     %d players in %d squads%s' % (
        gave_up['players'], gave_up['squads'], '' if not gave_up['players'] else ' (%s)' % (
            ', '.join('%d %s' % (gave_up['players_by_level'][name], name)
                      for name in LEVEL_NAMES))))
    add('Still waiting       %d players at the end, the longest for %s' % (
        report['waiting_at_end']['players'],
        seconds_text(report['waiting_at_end']['longest_wait'])))
    if report['missed_entries']:
        add('Found nobody idle   %d times: raise --population or lower --rate' %
            report['missed_entries'])
    layouts = sorted(report['layouts'].items(), key=lambda item: (-item[1], item[0]))
    add('Team layouts        %s' % ', '.join(
        '%s in %s' % (layout, share_text(n / battles)) for layout, n in layouts))
    add('                    (places per team at the top, middle and bottom level)')
    queue_wait = report['queue_wait_at_battle']
    add('Queue average wait  %s median, %s p90, %s max when a battle formed' % (
        seconds_text(queue_wait['median']), seconds_text(queue_wait['p90']),
        seconds_text(queue_wait['max'])))
    add('                    (it decides which layouts are tried and how much imbalance is '
        'allowed)')
    add('')
    add('Wait until a battle, per player')
    add('  %-16s %7s %7s %7s %7s %7s' % ('', 'players', 'median', 'p90', 'p99', 'max'))
    wait = report['wait']
    add(wait_row('all', wait['all']))
    for name in LEVEL_NAMES:
        add(wait_row(name + ' level', wait['by_level'][name]))
    add(wait_row('in squads', wait['in_squads']))
    add(wait_row('single players', wait['single']))
    add('')
    add('Balance: team A minus team B over the whole battle, share of battles')
    add('  %-16s%6s%6s%6s%6s%6s%6s%6s' % ('', '<=-3', '-2', '-1', '0', '+1', '+2', '>=+3'))
    balance = report['balance']
    for name in CLASS_NAMES:
        add(difference_row(name, balance['difference_by_class'][name], max(battles, 1)))
    penalty = balance['penalty']
    add('  penalty score: mean %s, median %s, max %s (the matchmaker\'s own score; 0 is perfect)'
        % ('-' if penalty['mean'] is None else '%.1f' % penalty['mean'],
           '-' if penalty['median'] is None else penalty['median'],
           '-' if penalty['max'] is None else penalty['max']))
    add('')
    calls = report['formteams_ms']
    add('formteams per call  median %s, p99 %s, max %s over %d calls' % (
        ms_text(calls['median']), ms_text(calls['p99']), ms_text(calls['max']), calls['calls']))
    add('                    %s of the calls reached the %d ms budget' % (
        share_text(calls['budget_share']), TICK_BUDGET * 1000))
    unformed = report['formed_nothing']
    reasons = sorted(unformed['by_reason'].items(), key=lambda item: (-item[1], item[0]))
    add('Formed nothing      %d calls%s' % (unformed['calls'], ': ' + ', '.join(
        '%d %s' % (n, reason) for reason, n in reasons) if reasons else ''))
    recent = report['recent_maps']
    add('Recent maps         %s of matched players got a map among their last %d' % (
        share_text(recent['share']), RECENT_MAPS))
    add('                    (%s if the map were drawn at random)' %
        share_text(recent['uniform_share']))
    return '\n'.join(lines)


# ---------------------------------------------------------------------------------------------
# The rated report

# Upper edges of the bands of seed waits over which the rating gap is reported.
WAIT_BANDS = (10, 30, 60)


def wait_band(seconds):
    """The index of the WAIT_BANDS band a wait falls in; the last is open above."""
    for band, edge in enumerate(WAIT_BANDS):
        if seconds < edge:
            return band
    return len(WAIT_BANDS)


def wait_band_names():
    names = []
    low = 0
    for edge in WAIT_BANDS:
        names.append('under %s' % seconds_text(edge) if not low else
                     '%s to %s' % (seconds_text(low), seconds_text(edge)))
        low = edge
    return names + ['%s or more' % seconds_text(low)]


def rating_text(value):
    return '-' if value is None else '%d' % nearest(value)


def gap_row(name, summary):
    return '  %-16s %7d %7s %7s %7s' % (
        name, summary['count'], rating_text(summary['median']), rating_text(summary['p90']),
        rating_text(summary['max']))


def render_rated(report, settings):
    lines = []
    add = lines.append
    config = settings['config']
    add('Rated matches: %g simulated minutes, %g players joining a second, population %d, '
        'seed %d' % (report['simulated_seconds'] / 60, settings['rate'], settings['population'],
                     settings['seed']))
    add('%d against %d; %d seeds a tick; tolerance %g rating points, %g more a second waited, '
        'at most %g' % (config['team_size'], config['team_size'], config['seeds_per_tick'],
                        config['tolerance'], config['widening'], config['max_tolerance']))
    add('Counted from minute %g on: the first minutes fill the queue.' %
        (report['warmup_seconds'] / 60))
    add('')
    add('Matches formed      %d' % report['matches'])
    add('Players matched     %d (%d joined the queue meanwhile)' % (report['players_matched'],
                                                                    report['entries']))
    add('Gave up waiting     %d players' % report['gave_up'])
    add('Still waiting       %d players at the end, the longest for %s' % (
        report['waiting_at_end']['players'],
        seconds_text(report['waiting_at_end']['longest_wait'])))
    if report['missed_entries']:
        add('Found nobody idle   %d times: raise --population or lower --rate' %
            report['missed_entries'])
    add('')
    add('Wait until a match, per player')
    add('  %-16s %7s %7s %7s %7s %7s' % ('', 'players', 'median', 'p90', 'p99', 'max'))
    add(wait_row('all', report['wait']))
    add('')
    add('Rating gap within a match (highest minus lowest rating), by the seed\'s wait')
    add('  %-16s %7s %7s %7s %7s' % ('seed waited', 'matches', 'median', 'p90', 'max'))
    by_wait = report['rating_gap']['by_seed_wait']
    for name in wait_band_names():
        add(gap_row(name, by_wait[name]))
    add(gap_row('all', report['rating_gap']['all']))
    difference = report['team_difference']
    add('Team average gap    %s median, %s p90, %s max (team A\'s mean rating against B\'s)' % (
        rating_text(difference['median']), rating_text(difference['p90']),
        rating_text(difference['max'])))
    add('')
    calls = report['tree_calls']
    mean = calls['mean_per_tick']
    add('Tree calls a tick   median %s, max %s; on average' % (
        '-' if calls['per_tick']['median'] is None else calls['per_tick']['median'],
        '-' if calls['per_tick']['max'] is None else calls['per_tick']['max']))
    add('                    %s' % ', '.join(
        '%.1f %s' % (mean[name], name) for name in
        ('sample', 'getClosestNode', 'removeNode', 'insertByKey') if mean[name] is not None))
    tick = report['tick_ms']
    add('Matchmaker a tick   median %s, p99 %s, max %s; %s a tree call, Python included' % (
        ms_text(tick['median']), ms_text(tick['p99']), ms_text(tick['max']),
        '-' if tick['per_call_us'] is None else '%.1f us' % tick['per_call_us']))
    return '\n'.join(lines)


# ---------------------------------------------------------------------------------------------
# Progress on the terminal

class Progress(object):
    """Reports simulated time, waiting players and battles (or what the simulation's COUNTED
    names) so far. On a terminal one line is
    redrawn in place, a few times a second; elsewhere a plain line is written every simulated
    minute, so that logs stay readable.
    """

    def __init__(self, stream):
        self._stream = stream
        self._tty = hasattr(stream, 'isatty') and stream.isatty()
        self._drawn = 0.0
        self._width = 0

    def __call__(self, simulation):
        now = simulation.now
        counted = getattr(simulation, 'COUNTED', 'battles')
        text = 'simulated %s of %s   waiting %4d players   %s %d' % (
            seconds_text(now), seconds_text(simulation.ticks * TICK_SECONDS),
            simulation.waiting_players, counted, getattr(simulation, counted))
        if self._tty:
            wall = time.time()
            if wall - self._drawn < 0.1 and now < simulation.ticks * TICK_SECONDS:
                return
            self._drawn = wall
            self._stream.write('\r' + text.ljust(self._width))
            self._width = len(text)
        elif now % 60 == 0:
            self._stream.write(text + '\n')
        self._stream.flush()

    def finish(self):
        if self._tty and self._width:
            self._stream.write('\r' + ' ' * self._width + '\r')
            self._stream.flush()
