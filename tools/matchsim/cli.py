"""The command line: options, the scenarios table, and running a scenario into its report."""

from __future__ import division

import argparse
import collections
import json
import sys
import time

from .config import INT32_MAX, INT32_MIN, ConfigError
from .recording import RecordingMatchmaker
from .random_battles import (RANDOM_DEFAULT_CONFIG, RANDOM_DEFAULTS, RandomBattleSimulation,
                             default_traffic, load_traffic,
                             kelvane_matchmaker, load_random_config, validate_config)
from .rated import (RATED_DEFAULT_CONFIG, RATED_DEFAULTS, RatedSimulation, load_rated_config,
                    tessart_matchmaker, validate_rated_config)
from .report import Progress, render_random, render_rated
from .traffic import SimulationError


def _write_page(path, html, text, charts, settings, warmup):
    note = ('The charts over time and the wait distribution show the whole run; the rest, as the '
            'report, counts from minute %g on.' % (warmup / 60))
    try:
        html.write(path, text.split('\n')[0], charts, text, settings, note)
    except (IOError, OSError) as error:
        raise ConfigError('cannot write %s: %s' % (path, getattr(error, 'strerror', None) or
                                                   error))


def run_random(options, config, make_matchmaker, progress):
    """The random-battle scenario on a validated configuration. Returns (report, text)."""
    try:
        if options.record:
            matchmaker = RecordingMatchmaker(options.seed, config, options.record,
                                             make_matchmaker)
            if matchmaker.error is not None:
                raise ConfigError('cannot record to %s: %s' % (options.record,
                                                               matchmaker.error))
        else:
            matchmaker = make_matchmaker(options.seed, config)
    except (TypeError, ValueError) as error:
        raise ConfigError('the matchmaker refused the configuration: %s' % error)
    # The traffic file, if any; options given on the command line win over it.
    traffic = load_traffic(options.traffic) if options.traffic else default_traffic()
    pairs, triples = options.squads or traffic['squads']
    settings = {
        'seed': options.seed,
        'minutes': options.minutes if options.minutes is not None
        else RANDOM_DEFAULTS['minutes'],
        'rate': options.rate if options.rate is not None else traffic['rate'],
        'population': options.population or traffic['population'],
        'pairs': pairs,
        'triples': triples,
    }
    simulation = RandomBattleSimulation(
        matchmaker, config, options.seed, settings['minutes'], settings['rate'],
        settings['population'], pairs, triples, patience=tuple(traffic['patience']),
        battle_seconds=tuple(traffic['battle_seconds']), level_shares=traffic['level_shares'],
        vehicle_mix=[[tuple(item) for item in traffic['vehicle_mix'][name]]
                     for name in ('top', 'middle', 'bottom')])
    started = time.time()
    simulation.run(progress)
    if options.record:
        matchmaker.close()
    report = simulation.report()
    report['settings'] = settings
    report['config'] = [list(description) for description in config]
    report['wall_seconds'] = time.time() - started
    text = render_random(report, settings)
    text += '\nWall time           %.1f s for the whole run' % report['wall_seconds']
    if options.html:
        from . import html
        _write_page(options.html, html, text, html.random_charts(
            [('run', report, simulation.timeline.series(), simulation.penalties)]),
            {'settings': settings, 'config': report['config']}, simulation.warmup_until)
    return report, text


def run_rated(options, config, make_matchmaker, progress):
    """The rated scenario on a validated configuration. Returns (report, text)."""
    if options.squads:
        raise ConfigError('--squads applies to the random scenario only: rated players join '
                          'alone')
    settings = {
        'seed': options.seed,
        'minutes': options.minutes if options.minutes is not None
        else RATED_DEFAULTS['minutes'],
        'rate': options.rate if options.rate is not None else RATED_DEFAULTS['rate'],
        'population': options.population or RATED_DEFAULTS['population'],
        'config': config,
    }
    simulation = RatedSimulation(make_matchmaker(options.seed, config), options.seed,
                                 settings['minutes'], settings['rate'], settings['population'])
    started = time.time()
    simulation.run(progress)
    report = simulation.report()
    report['settings'] = settings
    report['wall_seconds'] = time.time() - started
    text = render_rated(report, settings)
    text += '\nWall time           %.1f s for the whole run' % report['wall_seconds']
    if options.html:
        from . import html
        _write_page(options.html, html, text,
                    html.rated_charts(report, simulation.timeline.series()), settings,
                    simulation.warmup_until)
    return report, text


# What the command line needs of a scenario: a one-line summary for --help, its built-in
# configuration, load(path) giving a validated configuration from a file (ConfigError if it
# cannot be used), validate(data) doing the same for data already loaded,
# run(options, config, make_matchmaker, progress) giving (report as a dict, report as text),
# and the make_matchmaker(seed, config) that run is given unless the caller brings its own.
Scenario = collections.namedtuple('Scenario',
                                  'summary default_config load validate run make_matchmaker')

SCENARIOS = {
    'random': Scenario('random battles formed by kelvane.RandomMatchmaker from a steady '
                       'stream of players and squads', RANDOM_DEFAULT_CONFIG, load_random_config,
                       validate_config, run_random, kelvane_matchmaker),
    'rated': Scenario('matches of close rating, formed by a matchmaker written in Python on '
                      'tessart.Tree', RATED_DEFAULT_CONFIG,
                      load_rated_config, validate_rated_config, run_rated, tessart_matchmaker),
}


def _positive(kind):
    def parse(text):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError('%r is not a number' % text)
        if not 0 < value < float('inf'):  # NaN fails both
            raise argparse.ArgumentTypeError('must be above 0 and finite, not %s' % text)
        return value
    return parse


def seed_option(text):
    """--seed: a signed 32-bit integer, as the RandomMatchmaker constructor takes it."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError('%r is not an integer' % text)
    if not INT32_MIN <= value <= INT32_MAX:
        raise argparse.ArgumentTypeError('must fit in 32 bits, not %s' % text)
    return value


def _squad_shares(text):
    try:
        pairs, triples = [float(part) for part in text.split(',')]
    except ValueError:
        raise argparse.ArgumentTypeError('%r is not two shares TWO,THREE' % text)
    if pairs < 0 or triples < 0 or pairs + triples > 1:
        raise argparse.ArgumentTypeError('the shares must be at least 0 and add up to at most 1')
    return pairs, triples


def parser():
    scenarios = '\n'.join('  %-8s %s' % (name, SCENARIOS[name].summary)
                          for name in sorted(SCENARIOS))
    result = argparse.ArgumentParser(
        prog='simulate.py',
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description='Simulate matchmaking traffic and report waits, balance and search times.',
        epilog='scenarios:\n' + scenarios + '\n\nExit status: 0 on success, 2 for a bad option '
        'or configuration, 1 when the matchmaker cannot be used.')
    result.add_argument('--scenario', choices=sorted(SCENARIOS), default='random',
                        help='what to simulate (default: random)')
    result.add_argument('--seed', type=seed_option, default=1,
                        help='seed of the traffic and of the matchmaker; the same seed gives '
                        'the same run as long as every search ends inside its budget '
                        '(default: 1)')
    result.add_argument('--minutes', type=_positive(float), metavar='M',
                        help='simulated minutes, one tick a second (default: %g, rated %g)' %
                        (RANDOM_DEFAULTS['minutes'], RATED_DEFAULTS['minutes']))
    result.add_argument('--rate', type=_positive(float), metavar='R',
                        help='players joining the queue per simulated second, on average '
                        '(default: %g, rated %g)' % (RANDOM_DEFAULTS['rate'],
                                                     RATED_DEFAULTS['rate']))
    result.add_argument('--population', type=_positive(int), metavar='N',
                        help='players who may join; those not waiting or in battle are idle '
                        '(default: %d, rated %d)' % (RANDOM_DEFAULTS['population'],
                                                     RATED_DEFAULTS['population']))
    result.add_argument('--squads', type=_squad_shares, metavar='TWO,THREE',
                        help='random only: shares of queue entries that are squads of two and '
                        'of three; the rest are single players (default: %g,%g)' %
                        (RANDOM_DEFAULTS['pairs'], RANDOM_DEFAULTS['triples']))
    result.add_argument('--config', metavar='FILE',
                        help='configuration as JSON. random: the queues, in the shape the '
                        'RandomMatchmaker constructor takes, a list of [queueKey, maps, tmbs, '
                        'totalImb, levelImb, maxVehicles]; arrivals are shared evenly among '
                        'the queues. rated: an object with any of the fields %s. See '
                        '--show-config' % ', '.join(sorted(RATED_DEFAULT_CONFIG)))
    result.add_argument('--traffic', metavar='FILE',
                        help='random only: the traffic as JSON (rate, population, level '
                        'shares, squad shares, vehicle mix per level, patience and battle '
                        'length ranges); --rate, --population and --squads win over it. See '
                        '--show-traffic')
    result.add_argument('--show-traffic', action='store_true',
                        help='print the built-in traffic in the form --traffic reads, and exit')
    result.add_argument('--show-config', action='store_true',
                        help='print the configuration that would be used, as JSON, and exit')
    result.add_argument('--json', metavar='FILE',
                        help='also write the report as JSON to FILE, for scripts')
    result.add_argument('--html', metavar='FILE',
                        help='also write the report with its charts as one HTML page to FILE, '
                        'which opens offline in any browser')
    result.add_argument('--record', metavar='LOG',
                        help='random only: record every matchmaker call to LOG (gzip when it '
                        'ends in .gz), for tools/replay.py')
    result.add_argument('--quiet', action='store_true',
                        help='no progress line; print only the report')
    return result


def main(argv=None, make_matchmaker=None, stdout=None, stderr=None):
    """Runs the command line; returns the exit status. argparse exits with 2 by itself on a bad
    option. make_matchmaker replaces the scenario's own."""
    stdout = stdout or sys.stdout
    stderr = stderr or sys.stderr

    def fail(message, status):
        stderr.write('simulate.py: error: %s\n' % message)
        return status

    options = parser().parse_args(argv)
    scenario = SCENARIOS[options.scenario]
    try:
        config = scenario.load(options.config) if options.config else \
            scenario.validate(scenario.default_config)
    except ConfigError as error:
        return fail(str(error), 2)
    if options.scenario != 'random' and (options.record or options.traffic):
        return fail('--record and --traffic are options of the random scenario', 2)
    if options.show_traffic:
        # Ready to edit and pass back with --traffic: one field a line, one level a line.
        traffic = default_traffic()
        fields = []
        for field in sorted(traffic):
            if field == 'vehicle_mix':
                value = '{\n%s\n  }' % ',\n'.join(
                    '    "%s": %s' % (name, json.dumps(traffic[field][name]))
                    for name in ('top', 'middle', 'bottom'))
            else:
                value = json.dumps(traffic[field])
            fields.append('  "%s": %s' % (field, value))
        stdout.write('{\n%s\n}\n' % ',\n'.join(fields))
        return 0
    if options.traffic:
        # Checked before the run, like the configuration.
        try:
            load_traffic(options.traffic)
        except ConfigError as error:
            return fail(str(error), 2)
    if options.show_config:
        # Ready to edit and pass back with --config: one queue a line, or one field a line.
        if isinstance(config, dict):
            stdout.write(json.dumps(config, indent=2, sort_keys=True, separators=(',', ': '))
                         + '\n')
        else:
            stdout.write('[\n%s\n]\n' % ',\n'.join('  ' + json.dumps(list(description))
                                                   for description in config))
        return 0
    report_file = None
    if options.json:
        # Opened first, so that a path that cannot be written fails before the run, not after.
        try:
            report_file = open(options.json, 'w')
        except IOError as error:
            return fail('cannot write %s: %s' % (options.json, error.strerror or error), 2)
    progress = None if options.quiet else Progress(stderr)
    try:
        try:
            report, text = scenario.run(options, config,
                                        make_matchmaker or scenario.make_matchmaker, progress)
        finally:
            # The progress line goes before anything else is written.
            if progress is not None:
                progress.finish()
    except (ConfigError, SimulationError, KeyboardInterrupt) as error:
        if report_file is not None:
            report_file.close()
        if isinstance(error, KeyboardInterrupt):
            return 130
        return fail(str(error), 2 if isinstance(error, ConfigError) else 1)
    stdout.write(text + '\n')
    if report_file is not None:
        with report_file:
            # Python 2's separators, which Python 3 changed where lines are indented.
            json.dump(report, report_file, indent=2, sort_keys=True, separators=(', ', ': '))
            report_file.write('\n')
    return 0
