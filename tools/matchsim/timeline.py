"""What a run did over time, for the charts of the HTML report: who waited, who joined and who was
matched, how long they had waited, and how long each call to the matchmaker took.

Every run feeds one Timeline as it goes (the simulations and the replays alike); series() turns
it into the plain lists the report page draws, aggregated per minute where a per-call series
would only weigh the page down.
"""

from __future__ import division

from .stats import percentile

# At most this many points of a series over time: beyond, each point is the worst of a bucket
# (the slowest call, the most players waiting).
MAX_POINTS = 2000
# Upper edges, in seconds, of the bars of the wait distribution.
WAIT_EDGES = (5, 10, 20, 30, 45, 60, 90, 120, 180, 240, 300, 450, 600)


def _thinned(points, merge):
    """At most about MAX_POINTS points: each bucket of consecutive points merged into one."""
    if len(points) <= MAX_POINTS:
        return points
    size = -(-len(points) // MAX_POINTS)
    return [merge(points[i:i + size]) for i in range(0, len(points), size)]


class Timeline(object):

    def __init__(self, levels):
        self.levels = levels        # the level names, or one name for a queue without bands
        self.waiting = []           # (seconds, players waiting at each level)
        self.joined = {}            # minute -> players
        self.matched = {}           # minute -> players
        self.waits = []             # (seconds, level, wait) per matched player
        self.calls = []             # (seconds, milliseconds) per call

    def tick(self, now, waiting):
        # One point a time: the latest count of the tick stands.
        if self.waiting and self.waiting[-1][0] == now:
            self.waiting.pop()
        self.waiting.append((now, list(waiting)))

    @staticmethod
    def _minute(now):
        # Minute m holds the times after 60 m up to 60 (m + 1): ticks start at 1.
        return max(int((now - 1) // 60), 0)

    def join(self, now, players):
        minute = self._minute(now)
        self.joined[minute] = self.joined.get(minute, 0) + players

    def match(self, now, level, wait):
        minute = self._minute(now)
        self.matched[minute] = self.matched.get(minute, 0) + 1
        self.waits.append((now, level, wait))

    def call(self, now, seconds):
        self.calls.append((now, seconds * 1000.0))

    def series(self):
        """Plain lists: minutes on every time axis."""
        last = max([t for t, _ in self.waiting] + [t for t, _ in self.calls] +
                   [t for t, _, _ in self.waits] + [60 * m + 60 for m in self.joined] + [0])
        minutes = list(range(self._minute(last) + 1))
        by_minute = [[[] for _ in self.levels] for _ in minutes]
        for now, level, wait in self.waits:
            by_minute[min(self._minute(now), len(minutes) - 1)][level].append(wait)
        for cell in by_minute:
            for waits in cell:
                waits.sort()
        counts = [0] * (len(WAIT_EDGES) + 1)
        for _, _, wait in self.waits:
            counts[sum(1 for edge in WAIT_EDGES if wait > edge)] += 1
        calls = _thinned(self.calls, lambda bucket: max(bucket, key=lambda c: c[1]))
        waiting = _thinned(self.waiting, lambda bucket: (bucket[-1][0], [
            max(w[level] for _, w in bucket) for level in range(len(self.levels))]))
        # A minute's counts are drawn at its end, on the same axis as the series over time.
        ends = [m + 1 for m in minutes]
        return {
            'levels': list(self.levels),
            'waiting': {'minute': [round(t / 60, 3) for t, _ in waiting],
                        'players': [[w[level] for _, w in waiting]
                                    for level in range(len(self.levels))]},
            'flow': {'minute': ends, 'joined': [self.joined.get(m, 0) for m in minutes],
                     'matched': [self.matched.get(m, 0) for m in minutes]},
            'wait_by_minute': {
                'minute': ends,
                'median': [[percentile(cell[level], 50) for cell in by_minute]
                           for level in range(len(self.levels))],
                'p90': [[percentile(cell[level], 90) for cell in by_minute]
                        for level in range(len(self.levels))]},
            'wait_histogram': {'edges': list(WAIT_EDGES), 'counts': counts},
            'calls': {'minute': [round(t / 60, 3) for t, _ in calls],
                      'ms': [round(ms, 3) for _, ms in calls]},
        }
