"""Configuration files: the error they raise, JSON loading and the checks both scenarios
share."""

import json
import sys

INTEGER_TYPES = (int,) if sys.version_info[0] >= 3 else (int, long)  # noqa: F821


class ConfigError(Exception):
    """A configuration that cannot be used; the message names the field at fault."""


INT32_MIN, INT32_MAX, UINT32_MAX = -2 ** 31, 2 ** 31 - 1, 2 ** 32 - 1


def is_int(value, low, high):
    # JSON true and false load as bool, a subclass of int; they are no counts.
    return (isinstance(value, INTEGER_TYPES) and not isinstance(value, bool) and
            low <= value <= high)


def shown(value):
    text = json.dumps(value)
    return text if len(text) <= 40 else text[:37] + '...'


def int_list(value, where, low, high, form, max_items=None, min_items=0):
    if not isinstance(value, list) or len(value) < min_items or (
            max_items is not None and len(value) > max_items):
        raise ConfigError('%s must be %s, not %s' % (where, form, shown(value)))
    for i, item in enumerate(value):
        if not is_int(item, low, high):
            raise ConfigError('%s item %d must be an integer from %d to %d, not %s' %
                              (where, i, low, high, shown(item)))


def load_config(path, validate):
    """The configuration of a JSON file, checked by `validate`; ConfigError if it cannot be
    used."""
    try:
        with open(path) as stream:
            data = json.load(stream)
    except IOError as error:
        raise ConfigError('cannot read %s: %s' % (path, error.strerror or error))
    except ValueError as error:
        raise ConfigError('%s is not valid JSON: %s' % (path, error))
    try:
        return validate(data)
    except ConfigError as error:
        raise ConfigError('%s: %s' % (path, error))
