"""Statistics of the reports: nearest-rank percentiles, summaries, counts, rounding."""

from __future__ import division

import math


def nearest(value):
    """The integer nearest to a number, halves away from zero: what Python 2's round gives, so
    that reports round alike under both interpreters (Python 3 rounds halves to even)."""
    size = abs(value)
    whole = math.floor(size)
    # Exact: below 1 it is size itself, above it the two lie within a factor of two.
    if size - whole >= 0.5:
        whole += 1
    return int(whole) if value >= 0 else -int(whole)


def percentile(sorted_values, p):
    """The nearest-rank p-th percentile of an ascending list: the smallest value that at least p
    per cent of the values do not exceed. None for an empty list.

    REQUIRES: p an integer from 0 to 100. The rank is computed in integers, so that 7 % of 100
    values is the 7th value and not the 8th that 0.07 * 100 in floating point would give.
    """
    if not sorted_values:
        return None
    if p <= 0:
        return sorted_values[0]
    rank = (p * len(sorted_values) + 99) // 100
    return sorted_values[min(rank, len(sorted_values)) - 1]


def summarize(values):
    """Count, median, 90th and 99th percentile and maximum of a list of numbers."""
    ordered = sorted(values)
    return {
        'count': len(ordered),
        'median': percentile(ordered, 50),
        'p90': percentile(ordered, 90),
        'p99': percentile(ordered, 99),
        'max': ordered[-1] if ordered else None,
    }


def distribution(values):
    """How often each value occurs, as {value: count}."""
    counts = {}
    for value in values:
        counts[value] = counts.get(value, 0) + 1
    return counts
