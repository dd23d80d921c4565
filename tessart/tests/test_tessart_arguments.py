"""Every call, by position or by keyword, succeeding or failing, leaves the reference counts of its
arguments as they were, less or more only what a tree or node keeps; and 32-bit integer
arguments overflow exactly where the interpreter's own parsing does. Python 2.7 and 3 alike."""

import operator
import sys
import unittest

from tessart import Tree, TreeNode, mergeTrees, weightedClosestNode

try:
    import _testcapi  # the interpreter's own argument parsing, as its own tests call it
except ImportError:
    _testcapi = None

PY2 = sys.version_info[0] == 2
LONG = type(2 ** 64)
Int = type('Int', (int,), {})
INT_MAX, INT_MIN = 2 ** 31 - 1, -2 ** 31
NAN = float('nan')


# Arguments are made at run time, so that no cache shares them: the small ints, interned
# strings, True, False and None of Python 3.12 on are immortal and never show a kept reference.
def num(x):
    return float(repr(x))


def whole(x):  # beyond the small ints
    return int(str(x))


def key(*coords):
    return tuple(num(c) for c in coords)


def flat(*keys):
    """A preinit tuple of those keys, each of weight 1000."""
    return tuple(x for k in keys for x in (key(k), [k], LONG('1000')))


class Untruthful(object):
    def __bool__(self):
        raise ZeroDivisionError
    __nonzero__ = __bool__


def iterate_changing(tree, node):
    for _ in tree:
        tree.removeNode(node)


class World(object):
    """A tree of three nodes of weight 1000, another tree of one node, and a node in none."""

    def __init__(self):
        self.tree, self.other = Tree(), Tree(preinit=flat(9))
        self.nodes = [TreeNode(key(k), [k]) for k in (1, 2, 3)]
        for node in self.nodes:
            self.tree.insertByKey(node, whole(1000))
        self.loose, self.stranger = TreeNode(key(4), [4]), self.other.leftmostNode()


# What is called on a World w, its argument names (' /': by position only), and rows of the
# arguments, the error expected (None: success) and how many references the call keeps (+) or
# gives up (-) per argument.
CASES = [
    ('w.tree.insertByKey', 'node weight', [
        ('w.loose, whole(1000)', None, {'node': 1}), ('w.nodes[0], whole(1000)', ValueError),
        ('w.loose, num(1.5)', TypeError), ('w.loose, whole(2 ** 64)', OverflowError)]),
    ('w.tree.removeNode', 'node', [
        ('w.nodes[1]', None, {'node': -1}), ('w.loose', ValueError),
        ('w.stranger', ValueError), ('[1]', TypeError)]),
    ('w.tree.getClosestNode', 'key firstLowerBound', [
        ('key(2.5), num(0.5)', None), ('key(2.5), [num(0.5)]', TypeError),
        ('(whole(1000),), num(0.5)', TypeError), ('key(NAN), num(0.5)', ValueError)]),
    ('w.tree.sample', 'n', [('whole(300)', None), ('Int(2)', None),
                            ('whole(10 ** 6)', ValueError), ('num(1.5)', TypeError)]),
    ('w.tree.at', 'index', [('whole(1500)', None), ('Int(5)', None),
                            ('whole(2 ** 70)', OverflowError), ('[1]', TypeError)]),
    ('w.tree.lowerBound', 'key', [
        ('key(2.5)', None), ('key(NAN)', ValueError), ('key(1, 2, 3, 4)', TypeError)]),
    ('w.tree.upperBound', 'key', [('key(2.5)', None), ('[whole(1000)]', TypeError)]),
    # Membership never fails: anything but a node of the tree is simply not in it.
    ('operator.contains', 'tree item /', [
        ('w.tree, w.nodes[0]', None), ('w.tree, w.stranger', None), ('w.tree, [1]', None)]),
    ('list', 'tree /', [('w.tree',  None)]),
    ('iterate_changing', 'tree node', [('w.tree, w.nodes[2]', RuntimeError, {'node': -1})]),
    ('Tree', 'interval preinit', [
        ('[1], flat(1, 2)', None), ('[1], flat(2, 1)', ValueError),
        ('[1], (key(1), [1], num(1.5))', ValueError), ('Untruthful(), flat(1)', ZeroDivisionError)]),
    ('TreeNode', 'key value extra', [('key(1), [1]', None), ('key(1), [1], [2]', TypeError)]),
    ('w.loose.__init__', 'key value extra', [
        ('key(1), [1]', None, {'key': 1, 'value': 1}), ('key(1), [1], [2]', TypeError)]),
    # A node of a tree found again, as unpickling does.
    ('TreeNode', 'tree index zeros /', [
        ('w.tree, whole(1500)', None), ('w.tree, whole(10 ** 6)', ValueError),
        ('w.tree, whole(1000), whole(1000)', ValueError)]),
    ('weightedClosestNode', 'queries', [
        ('[(w.tree, key(2.5), num(0.5), num(1.0)), (w.other, key(8), num(0.5), num(2.0))]',
         None),
        ('[(w.tree, key(2.5), Int(0), num(1.0))]', TypeError),
        ('[(w.loose, key(2.5), num(0.5), num(1.0))]', TypeError)]),
    ('mergeTrees', 'trees key leanPrev mergePrev count', [
        ('[w.tree, w.other], key(2.5), [1], [], whole(1000)', None),
        ('[w.tree, w.other], key(2.5), [], [1], whole(-1000)', ValueError),
        ('[w.tree, [1]], key(2.5), [], [1], whole(1000)', TypeError),
        ('[w.tree], key(2.5), [], Untruthful(), whole(1000)', TypeError)]),
]
for walk, start, stop in (('nexts', 0, 2), ('prevs', 2, 0)):
    CASES += [
        ('w.nodes[%d].%s' % (start, walk), 'upto sentinel', [
            ('whole(1000), w.nodes[%d]' % stop, None),
            ('whole(-1000), w.nodes[%d]' % stop, ValueError),
            ('whole(1000), w.stranger', ValueError)]),
        ('w.loose.' + walk, 'upto sentinel', [('whole(1000), w.nodes[0]', ValueError)])]
# Methods without arguments: self keeps its count, and an argument is refused.
for name in 'leftmostNode rightmostNode size asList items keys values shape __reduce__'.split():
    CASES.append(('w.tree.' + name, 'extra', [('', None), ('[1]', TypeError)]))
for name in 'prev next index __reduce__'.split():
    CASES += [('w.nodes[1].' + name, 'extra', [('', None), ('[1]', TypeError)]),
              ('w.loose.' + name, 'extra', [('', ValueError)])]
if '__reduce_ex__' in Tree.__dict__:
    CASES.append(('w.tree.__reduce_ex__', 'protocol /', [
        ('Int(2)', None), ('Int(4)', None), ('num(1.5)', TypeError)]))


def within(value):
    """The items of lists and tuples, to any depth: what calls read out of their arguments. The
    small ints in them are shared with the whole interpreter, whose counts move with anything."""
    for item in value if type(value) in (list, tuple) else ():
        if type(item) is not int or not -5 <= item <= 256:
            yield item
        for inner in within(item):
            yield inner


def error_of(call, *args, **kwargs):
    """The type and message of what the call raises, or None; the result and the error are
    dropped here, so that nothing but the call itself holds on to the arguments."""
    try:
        # f(*args, **{}) would pass an empty dictionary, which takes the methods' parser.
        call(**kwargs) if kwargs else call(*args)
    except Exception:
        kind, error = sys.exc_info()[:2]
        message = kind, str(error)
        del error
        if PY2:
            sys.exc_clear()
        return message
    return None


class ArgumentReferencesTest(unittest.TestCase):

    def test_calls_keep_the_counts_of_their_arguments(self):
        for target, names, rows in CASES:
            names = names.split()
            modes = ('position',) if names[-1] == '/' else ('position', 'keyword')
            for row in rows:
                arguments, error, held = (row + ({},))[:3]
                for mode in modes:
                    scope = {'w': World()}
                    call = eval(target, globals(), scope)
                    values = eval('(%s,)' % arguments if arguments else '()', globals(), scope)
                    named = list(zip(names, values))
                    # Nested items too: queries, trees and preinit tuples hold what is read.
                    watched = [(v, held.get(n, 0)) for n, v in named]
                    watched += [(item, 0) for _, v in named for item in within(v)]
                    watched += [(x, 0) for x in [getattr(call, '__self__', None)]
                                if isinstance(x, (Tree, TreeNode))]
                    before = [sys.getrefcount(x) + delta for x, delta in watched]
                    if mode == 'position':
                        outcome = error_of(call, *values)
                    else:
                        outcome = error_of(call, **dict(named))
                    label = '%s(%s) by %s' % (target, arguments, mode)
                    self.assertEqual(outcome and outcome[0], error, '%s: %r' % (label, outcome))
                    self.assertEqual([sys.getrefcount(x) for x, _ in watched], before, label)


class IntegerBoundsTest(unittest.TestCase):
    # On Python 2.7 "i" converts with these; Python 3 versions word them differently.
    MESSAGES = {1: 'signed integer is greater than maximum',
                -1: 'signed integer is less than minimum'}

    def test_32_bit_arguments_overflow_where_the_parser_does(self):
        tree = Tree(preinit=(key(1), 'a', LONG(1), key(2), 'b', LONG(1)))
        too_many = (ValueError, 'n is either too small or too large.')
        calls = [(lambda n: [node.value for node in tree.sample(n)],
                  {INT_MAX: too_many, INT_MIN: too_many}),
                 (lambda count: mergeTrees([tree], key(0), False, False, count),
                  {INT_MAX: ['a', 'b'], INT_MIN: (ValueError, 'count must not be negative.')})]
        if '__reduce_ex__' in Tree.__dict__:
            calls.append((lambda protocol: tree.__reduce_ex__(protocol)[0],
                          {INT_MAX: Tree, INT_MIN: Tree}))
        values = [INT_MAX, INT_MIN, INT_MAX + 1, INT_MIN - 1, 2 ** 64, -2 ** 64, num(1.5)]
        if PY2:
            values += [LONG(v) for v in values[:4]]
        for call, accepted in calls:
            for value in values:
                try:
                    outcome = call(value)
                except Exception as e:
                    outcome = type(e), str(e)
                if type(value) is not float and INT_MIN <= value <= INT_MAX:
                    self.assertEqual(outcome, accepted[value], value)
                    continue
                if _testcapi:
                    self.assertEqual(outcome, error_of(_testcapi.getargs_i, value), value)
                if type(value) is not float and abs(value) < 2 ** 63:
                    self.assertEqual(outcome[0], OverflowError, value)
                    if PY2:
                        self.assertEqual(outcome[1], self.MESSAGES[(value > 0) - (value < 0)])


if __name__ == '__main__':
    unittest.main()
