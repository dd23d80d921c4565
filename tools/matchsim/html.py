"""The report as one self-contained HTML page: the charts of a run (or of a recorded run and a
what-if run on the same axes), the text report beside them, and the settings and configuration.

The page embeds its charting library (vendor/chart.umd.min.js, with its licence) and its data,
once, as JSON; a content security policy keeps it from loading anything, so it opens offline.
After drawing it checks itself (every chart painted, titled, its axes named) and notes the
outcome and any script error on the body element, for the browser test.
"""

from __future__ import division

import io
import json
import os

from .random_battles import CLASS_NAMES, TICK_BUDGET

VENDOR = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'vendor')
NO_BATTLE = 'No battle formed in this run: nothing to draw.'
# Penalty bars: lower edges.
PENALTY_EDGES = (0, 1, 10, 20, 50, 100, 200)


def _histogram_labels(edges, unit):
    labels = ['up to %d %s' % (edges[0], unit)]
    labels += ['%d to %d %s' % (low, high, unit) for low, high in zip(edges, edges[1:])]
    return labels + ['over %d %s' % (edges[-1], unit)]


def _points(xs, ys):
    return [{'x': x, 'y': y} for x, y in zip(xs, ys) if y is not None]


def _chart(id_, title, x, y, kind, datasets, labels=None, stacked=False, empty=None):
    return {'id': id_, 'title': title, 'x': x, 'y': y, 'type': kind, 'datasets': datasets,
            'labels': labels, 'stacked': stacked,
            'empty': empty if empty or any(d['data'] for d in datasets) else
            'Nothing happened in this run that this chart would show.'}


def _dataset(label, data, run, runs, **extra):
    """A dataset; a second run's is dashed and named after its run."""
    name = label if len(runs) == 1 else '%s, %s' % (label, runs[run]) if label else runs[run]
    name = name or 'this run'
    result = {'label': name, 'data': data, 'run': run}
    result.update(extra)
    return result


def random_charts(runs):
    """The charts of random-battle runs: [(name, report, series, penalties)], one or two runs."""
    names = [name for name, _, _, _ in runs]
    battles = any(report['battles'] for _, report, _, _ in runs)
    empty = None if battles else NO_BATTLE
    charts = []
    levels = runs[0][2]['levels']
    datasets = []
    for run, (_, _, series, _) in enumerate(runs):
        for level, name in enumerate(levels):
            datasets.append(_dataset(name, _points(series['waiting']['minute'],
                                                   series['waiting']['players'][level]),
                                     run, names, color=level))
    charts.append(_chart('waiting', 'Players waiting, by level', 'minutes', 'players', 'line',
                         datasets))
    flow = runs[0][2]['flow']
    datasets = [_dataset('joined', _points(flow['minute'], flow['joined']), 0, ['recorded'],
                         color=3)]
    for run, (_, _, series, _) in enumerate(runs):
        datasets.append(_dataset('matched', _points(series['flow']['minute'],
                                                    series['flow']['matched']),
                                 run, names, color=4))
    charts.append(_chart('flow', 'Players joining and matched per minute', 'minutes',
                         'players a minute', 'line', datasets))
    for stat, title in (('median', 'median'), ('p90', '90th percentile')):
        datasets = []
        for run, (_, _, series, _) in enumerate(runs):
            wait = series['wait_by_minute']
            for level, name in enumerate(levels):
                datasets.append(_dataset(name, _points(wait['minute'], wait[stat][level]), run,
                                         names, color=level))
        charts.append(_chart('wait_' + stat, 'Wait until a battle, %s per minute, by level' %
                             title, 'minutes', 'seconds waited', 'line', datasets, empty=empty))
    datasets = [_dataset('', series['wait_histogram']['counts'], run, names, color=run)
                for run, (_, _, series, _) in enumerate(runs)]
    charts.append(_chart('wait_histogram', 'Wait until a battle: how many players waited how long',
                         'wait', 'players', 'bar', datasets,
                         labels=_histogram_labels(runs[0][2]['wait_histogram']['edges'], 's'),
                         empty=empty))
    datasets = [_dataset('', _points(series['calls']['minute'], series['calls']['ms']), run,
                         names, color=run) for run, (_, _, series, _) in enumerate(runs)]
    last = max([p['x'] for d in datasets for p in d['data']] or [0])
    datasets.append({'label': 'the %d ms budget' % (TICK_BUDGET * 1000), 'run': 0, 'color': 5,
                     'line': True, 'data': [{'x': 0, 'y': TICK_BUDGET * 1000},
                                            {'x': last, 'y': TICK_BUDGET * 1000}]})
    charts.append(_chart('calls', 'formteams time per call, with the budget', 'minutes',
                         'milliseconds', 'scatter', datasets))
    reasons = sorted(set(r for _, report, _, _ in runs
                         for r in report['formed_nothing']['by_reason']))
    datasets = [_dataset('', [report['formed_nothing']['by_reason'].get(r, 0) for r in reasons],
                         run, names, color=run) for run, (_, report, _, _) in enumerate(runs)]
    charts.append(_chart('unformed', 'Calls that formed nothing, by reason', 'reason', 'calls',
                         'bar', datasets, labels=reasons,
                         empty=None if reasons else 'Every call formed a battle.'))
    datasets = []
    for run, (_, report, _, _) in enumerate(runs):
        total = max(report['battles'], 1)
        for bucket, test, color in (('team B ahead', lambda d: d < 0, 0),
                                    ('even', lambda d: d == 0, 4),
                                    ('team A ahead', lambda d: d > 0, 1)):
            shares = []
            for name in CLASS_NAMES:
                counts = report['balance']['difference_by_class'][name]
                shares.append(round(100.0 * sum(n for d, n in counts.items()
                                                if test(int(d))) / total, 2))
            datasets.append(_dataset(bucket, shares, run, names, color=color, stack=str(run)))
    charts.append(_chart('balance', 'Balance over the whole battle, per class', 'class',
                         'share of battles (%)', 'bar', datasets, labels=list(CLASS_NAMES),
                         stacked=True, empty=empty))
    datasets = []
    for run, (_, _, _, penalties) in enumerate(runs):
        counts = [0] * len(PENALTY_EDGES)
        for penalty in penalties:
            counts[sum(1 for edge in PENALTY_EDGES[1:] if penalty >= edge)] += 1
        datasets.append(_dataset('', counts, run, names, color=run))
    labels = ['0'] + ['%d to %d' % (low, high - 1) for low, high in
                      zip(PENALTY_EDGES[1:], PENALTY_EDGES[2:])] + ['%d or more' %
                                                                   PENALTY_EDGES[-1]]
    charts.append(_chart('penalty', "The penalty score's distribution (0 is perfect)",
                         'penalty score', 'battles', 'bar', datasets, labels=labels,
                         empty=empty))
    return charts


def rated_charts(report, series):
    """The charts of the rated scenario."""
    names = ['rated']
    empty = None if report['matches'] else 'No match formed in this run: nothing to draw.'
    nobody = None if sum(series['flow']['joined']) else 'Nobody joined in this run.'
    wait = series['wait_by_minute']
    charts = [
        _chart('waiting', 'Players waiting', 'minutes', 'players', 'line',
               [_dataset('waiting', _points(series['waiting']['minute'],
                                            series['waiting']['players'][0]), 0, names,
                         color=0)], empty=nobody),
        _chart('flow', 'Players joining and matched per minute', 'minutes', 'players a minute',
               'line', [_dataset('joined', _points(series['flow']['minute'],
                                                   series['flow']['joined']), 0, names, color=3),
                        _dataset('matched', _points(series['flow']['minute'],
                                                    series['flow']['matched']), 0, names,
                                 color=4)], empty=nobody),
        _chart('wait_by_minute', 'Wait until a match per minute', 'minutes', 'seconds waited',
               'line', [_dataset('median', _points(wait['minute'], wait['median'][0]), 0, names,
                                 color=0),
                        _dataset('90th percentile', _points(wait['minute'], wait['p90'][0]), 0,
                                 names, color=1)], empty=empty),
        _chart('wait_histogram', 'Wait until a match: how many players waited how long', 'wait',
               'players', 'bar', [_dataset('', series['wait_histogram']['counts'], 0, names)],
               labels=_histogram_labels(series['wait_histogram']['edges'], 's'), empty=empty),
    ]
    bands = report['rating_gap']['by_seed_wait']
    names_ = sorted(bands, key=lambda band: list(bands).index(band))
    from .report import wait_band_names
    ordered = [band for band in wait_band_names() if band in bands] or names_
    charts.append(_chart(
        'rating_gap', "Rating gap of a match by its seed's wait", "seed's wait",
        'rating points', 'bar',
        [_dataset(stat, [bands[b][key] for b in ordered], 0, names, color=i)
         for i, (stat, key) in enumerate((('median', 'median'), ('90th percentile', 'p90')))],
        labels=ordered, empty=empty))
    charts.append(_chart('calls', 'Time in the matchmaker per tick', 'minutes', 'milliseconds',
                         'scatter', [_dataset('', _points(series['calls']['minute'],
                                                         series['calls']['ms']), 0, names)]))
    return charts


def _settings_text(settings):
    """One setting a line; a list of queues one queue a line."""
    lines = []
    for name in sorted(settings):
        value = settings[name]
        if isinstance(value, dict):
            lines.append('%s:' % name)
            lines.extend('  %s: %s' % (k, json.dumps(value[k])) for k in sorted(value))
        elif isinstance(value, list) and value and isinstance(value[0], (list, tuple)):
            lines.append('%s:' % name)
            lines.extend('  %s' % json.dumps(list(item)) for item in value)
        else:
            lines.append('%s: %s' % (name, json.dumps(value)))
    return '\n'.join(lines)


def _escape(text):
    return text.replace('&', '&amp;').replace('<', '&lt;').replace('>', '&gt;')


def _read(name):
    with io.open(os.path.join(VENDOR, name), encoding='utf-8') as stream:
        return stream.read()


STYLE = '''
body { font: 14px/1.4 system-ui, sans-serif; margin: 24px; color: #222; }
h1 { font-size: 22px; } h2 { font-size: 16px; margin: 0 0 6px; }
.charts { display: grid; grid-template-columns: repeat(auto-fill, minmax(560px, 1fr));
          gap: 18px; }
.side { margin-top: 24px; }
.note { color: #555; }
.chart { border: 1px solid #ddd; border-radius: 6px; padding: 10px; }
.box { position: relative; height: 300px; }
.empty { height: 300px; display: flex; align-items: center; justify-content: center;
         color: #666; background: #f6f6f6; margin: 0; }
pre { font: 12px/1.35 ui-monospace, monospace; background: #f6f6f6; padding: 10px;
      overflow-x: auto; }
'''

SCRIPT = r'''
(function () {
  var data = JSON.parse(document.getElementById('report-data').textContent);
  var palette = ['#1f77b4', '#d62728', '#2ca02c', '#9467bd', '#ff7f0e', '#7f7f7f'];
  var drawn = [], faults = window.reportErrors;
  data.charts.forEach(function (spec) {
    if (spec.empty) return;
    try {
      var datasets = spec.datasets.map(function (d, i) {
        var color = palette[(d.color === undefined ? i : d.color) % palette.length];
        return {label: d.label, data: d.data, borderColor: color, backgroundColor: color,
                borderDash: d.run ? [6, 4] : [], borderWidth: 2, fill: false, spanGaps: true,
                // Points where lines alone would show too little: a run of a minute or two.
                pointRadius: !d.line && (spec.type === 'scatter' || d.data.length < 3) ? 3 : 0,
                showLine: spec.type !== 'scatter' || !!d.line, stack: d.stack};
      });
      var canvas = document.getElementById(spec.id);
      var chart = new Chart(canvas, {
        type: spec.type, data: {labels: spec.labels || undefined, datasets: datasets},
        options: {animation: false, responsive: true, maintainAspectRatio: false,
          plugins: {title: {display: true, text: spec.title, font: {size: 14}},
                    legend: {display: datasets.length > 1}},
          scales: {
            x: {type: spec.labels ? 'category' : 'linear', stacked: spec.stacked,
                min: spec.labels ? undefined : 0, title: {display: true, text: spec.x}},
            y: {beginAtZero: true, stacked: spec.stacked, title: {display: true, text: spec.y}}}}
      });
      drawn.push([spec, chart, canvas]);
    } catch (error) {
      faults.push(spec.id + ': ' + error);
    }
  });
  // What the browser test reads: every chart painted, with its title and both axes named.
  drawn.forEach(function (entry) {
    var spec = entry[0], chart = entry[1], canvas = entry[2];
    var pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    var painted = 0;
    for (var i = 3; i < pixels.length; i += 4) if (pixels[i]) painted++;
    if (painted < 500) faults.push(spec.id + ': nothing painted');
    // Elements at finite places, and pixels of some colour inside the plot area (the grid and
    // the axes are grey): a chart whose data drew nothing fails both.
    var elements = 0;
    chart.data.datasets.forEach(function (d, i) {
      chart.getDatasetMeta(i).data.forEach(function (el) {
        if (!el.skip && isFinite(el.x) && isFinite(el.y)) elements++;
      });
    });
    if (!elements) faults.push(spec.id + ': no data drawn');
    var area = chart.chartArea, ratio = canvas.width / canvas.clientWidth;
    var plot = canvas.getContext('2d').getImageData(
      Math.floor(area.left * ratio), Math.floor(area.top * ratio),
      Math.max(1, Math.floor((area.right - area.left) * ratio)),
      Math.max(1, Math.floor((area.bottom - area.top) * ratio))).data;
    var coloured = 0;
    for (var j = 0; j < plot.length; j += 4) {
      var r = plot[j], g = plot[j + 1], b = plot[j + 2];
      if (plot[j + 3] > 128 && Math.max(r, g, b) - Math.min(r, g, b) > 60) coloured++;
    }
    if (coloured < 20) faults.push(spec.id + ': no data painted');
    if (!chart.options.plugins.title.text) faults.push(spec.id + ': no title');
    ['x', 'y'].forEach(function (axis) {
      if (!chart.scales[axis] || !chart.scales[axis].options.title.text)
        faults.push(spec.id + ': no ' + axis + ' axis title');
    });
  });
  document.body.setAttribute('data-charts', String(drawn.length));
  document.body.setAttribute('data-empty', String(data.charts.length - drawn.length));
  document.body.setAttribute('data-faults', JSON.stringify(faults));
})();
'''


def _unicode(value):
    # Python 2 hands paths and reports as bytes.
    return value.decode('utf-8', 'replace') if isinstance(value, bytes) else value


def write(path, title, charts, text, settings, note=''):
    """Writes the page to path. charts from random_charts or rated_charts, text the text report,
    settings a JSON-able record of the options and configuration, note a line under the title."""
    title, text, note = _unicode(title), _unicode(text), _unicode(note)
    sections = []
    for chart in charts:
        # A drawn chart carries its title itself; an empty one says why under the title.
        body = ('<h2>%s</h2><p class="empty">%s</p>' % (_escape(chart['title']),
                                                       _escape(chart['empty']))
                if chart['empty'] else
                '<div class="box"><canvas id="%s" role="img" aria-label="%s"></canvas></div>'
                % (chart['id'], _escape(chart['title'])))
        sections.append('<section class="chart">%s</section>' % body)
    payload = json.dumps({'charts': charts}, separators=(',', ':')).replace('</', '<\\/')
    page = u'''<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta http-equiv="Content-Security-Policy"
      content="default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'">
<title>%(title)s</title><style>%(style)s</style>
<script>window.reportErrors = [];
window.addEventListener('error', function (e) { window.reportErrors.push(String(e.message)); });
</script></head>
<body><h1>%(title)s</h1><p class="note">%(note)s</p>
<div class="charts">%(sections)s</div>
<div class="side"><div><h2>The report</h2><pre>%(text)s</pre></div>
<div><h2>Settings and configuration</h2><pre>%(settings)s</pre></div></div>
<script type="application/json" id="report-data">%(payload)s</script>
<script>%(library)s</script>
<script>%(script)s</script>
</body></html>
''' % {'title': _escape(title), 'style': _unicode(STYLE),
       'sections': u'\n'.join(_unicode(section) for section in sections),
       'text': _escape(text), 'settings': _escape(_unicode(_settings_text(settings))),
       'payload': _unicode(payload), 'library': _read('chart.umd.min.js'),
       'script': _unicode(SCRIPT), 'note': _escape(note)}
    with io.open(path, 'w', encoding='utf-8', errors='backslashreplace') as stream:
        stream.write(page)
