"""Tests of tessart's short cuts and integer limits: plain nodes, tuples and floats are read in
place, anything that merely looks like them goes the generic way with the same results and
errors; integer arguments never wrap; calls that run script code release what they hold.
Written for Python 2.7 and 3 alike."""

import gc
import os
import random
import subprocess
import sys
import unittest
import weakref

import tessart
from tessart import Tree, TreeNode, mergeTrees

UNDER_SANITIZER = 'asan' in os.environ.get('LD_PRELOAD', '')
TOP = 2 ** 64 - 1


class Node(TreeNode):
    pass


class KeyTuple(tuple):
    pass


class Coordinate(float):
    pass


class Shifted(tuple):
    """A tuple whose sequence protocol says something other than its items."""

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i != 0:
            raise IndexError(i)
        return tuple.__getitem__(self, 0) + 100.0


class Action(object):
    """An integer, or a key sequence, that runs `action` when it is converted or read."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __int__(self):
        self.action()
        return self.value

    __index__ = __int__

    def __len__(self):
        return len(self.value)

    def __getitem__(self, i):
        if i == 0:
            self.action()
        return self.value[i]


def error_of(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except Exception as e:
        return type(e), str(e)
    return None


def flat(keys):
    """A preinit tuple of weight 1 a key, with the key's number as the value."""
    return tuple(x for k in keys for x in ((float(k),), int(k) if k == k else k, long_(1)))


def live_lists():
    gc.collect()
    return sum(1 for o in gc.get_objects() if type(o) is list)


class GenericPathsTest(unittest.TestCase):

    def test_lookalikes_give_the_results_and_errors_of_plain_objects(self):
        # The same changes to a tree of plain nodes with tuple keys and int weights, and to one
        # of subclass nodes with keys that are tuple subclasses, lists or other sequences and
        # weights that are longs or int subclasses.
        rng = random.Random(7)
        plain, other = Tree(), Tree()
        wrappers = [KeyTuple, list, lambda k: Action(k, lambda: None)]
        for i in range(400):
            key = tuple(float(rng.randrange(50)) for _ in range(rng.randrange(1, 4)))
            weight = rng.randrange(1, 5)
            plain.insertByKey(TreeNode(key, i), weight)
            node = Node(wrappers[i % 3](key), i)
            other.insertByKey(node, [weight, long_(weight), Int(weight)][i % 3])
            if i % 7 == 0:
                position = rng.randrange(plain.size())
                plain.removeNode(plain.at(position))
                other.removeNode(other.at(position))
        self.assertEqual(plain.values(), other.values())
        self.assertEqual(plain.shape(), other.shape())
        self.assertEqual([n.index() for n in plain.asList()], [n.index() for n in other.asList()])
        for _ in range(300):
            q = tuple(rng.randrange(-1, 52) + rng.choice((0.0, 0.00005, 0.5)) for _ in range(2))
            for query in (q, KeyTuple(q), list(q)):
                for method in ('lowerBound', 'upperBound'):
                    a, b = getattr(plain, method)(q), getattr(other, method)(query)
                    self.assertEqual(a and a.value, b and b.value)
            i = rng.randrange(-2, plain.size() + 2)
            self.assertEqual(value_of(plain.at(i)), value_of(other.at(index=long_(i))))

        # Read through its protocol, (-60.0,) is (40.0,).
        self.assertEqual(other.lowerBound(Shifted((-60.0,))).value,
                         plain.lowerBound((40.0,)).value)
        self.assertTrue(Tree().lowerBound(Shifted((1.0,))) is None)
        shifted = Node(Shifted((1.0, 2.0)))
        other.insertByKey(shifted, 1)
        self.assertTrue(other.rightmostNode() is shifted)

        class Keyed(TreeNode):
            key = property(lambda self: (-5.0,))

        keyed = Keyed((99.0,), 'k')
        other.insertByKey(keyed, 1)
        self.assertTrue(other.leftmostNode() is keyed)

    def test_lookalike_errors(self):
        t = Tree()
        for make in (tuple, KeyTuple, list):
            for items, message in [((Coordinate(1.0),), 'items must be floats.'),
                                   ((1.0, 2), 'items must be floats.'),
                                   ((), 'fails to meet length restrictions.'),
                                   ((1.0,) * 4, 'fails to meet length restrictions.')]:
                key = make(items)
                self.assertEqual(error_of(t.insertByKey, TreeNode(key), 1),
                                 (TypeError, 'node.key ' + message))
                self.assertEqual(error_of(t.insertByKey, Node(key), 1),
                                 (TypeError, 'node.key ' + message))
                self.assertEqual(error_of(t.lowerBound, key), (TypeError, 'key ' + message))
        self.assertEqual(error_of(t.insertByKey, TreeNode(), 1)[0], AttributeError)
        self.assertEqual(error_of(t.insertByKey, TreeNode(), 1), error_of(t.insertByKey, Node(), 1))
        for index in (1.5, 2 ** 63, -2 ** 63 - 1, Int(3), 'x', None):
            self.assertEqual(error_of(t.at, index), error_of(t.at, index=index))
        self.assertEqual(error_of(t.at, 2 ** 63)[0], OverflowError)
        for weight in (1.0, '1', None):
            self.assertEqual(error_of(t.insertByKey, TreeNode((1.0,)), weight),
                             error_of(t.insertByKey, node=TreeNode((1.0,)), weight=weight))
            self.assertEqual(error_of(t.insertByKey, TreeNode((1.0,)), weight)[0], TypeError)
        self.assertEqual(t.asList(), [])


def value_of(node):
    return None if node is None else node.value


def long_(value):
    return long(value) if sys.version_info[0] < 3 else value  # noqa: F821


class Int(int):
    pass


class PreinitOrderTest(unittest.TestCase):

    def test_disorder_is_reported_exactly(self):
        rng = random.Random(3)
        nan = float('nan')
        for _ in range(300):
            keys = [float(rng.randrange(6)) for _ in range(rng.randrange(1, 12))]
            if rng.random() < 0.5:
                keys.sort()
            t = Tree()
            refused = error_of(t.__init__, False, flat(keys))
            self.assertEqual(refused is not None, keys != sorted(keys))
            self.assertEqual(t.values(), [int(k) for k in keys])
        # NaN compares equal to everything: what counts is every node passed on the way down
        # the right side, not only the node before.
        self.assertEqual(error_of(Tree, False, flat([1, nan, 0]))[1], 'preinit is not sorted by keys.')
        self.assertEqual(Tree(preinit=flat([nan, 0, 1])).size(), 3)


class IntegerLimitsTest(unittest.TestCase):

    def test_weights(self):
        t = Tree()
        for weight, error in [(0, TypeError), (-1, TypeError), (-2 ** 70, TypeError),
                              (2 ** 64, OverflowError), (2 ** 64 + 5, OverflowError)]:
            node = TreeNode((1.0,))
            message = ('weight should be a positive integer.' if error is TypeError
                       else 'weight does not fit in 64 bits.')
            self.assertEqual(error_of(t.insertByKey, node, weight), (error, message))
            self.assertEqual(error_of(t.insertByKey, node, long_(weight)), (error, message))
            self.assertEqual(error_of(node.index)[0], ValueError)
        self.assertEqual(t.size(), 0)
        big = TreeNode((2.0,), 'big')
        t.insertByKey(big, TOP - 1)
        t.insertByKey(TreeNode((1.0,), 'one'), True)
        self.assertEqual((t.size(), big.index(), t.at(2 ** 63 - 1).value), (TOP, 1, 'big'))
        for weight in (1, Int(1)):
            self.assertEqual(error_of(t.insertByKey, TreeNode((3.0,)), weight),
                             (OverflowError, 'total weight would exceed 2**64 - 1.'))
        self.assertEqual((t.size(), t.values()), (TOP, ['one', 'big']))

    def test_total_is_checked_once_the_key_is_read(self):
        t, huge = Tree(), TreeNode((0.0,))
        t.insertByKey(huge, 2 ** 63)
        # Reading the key takes the huge node out: the insertion fits.
        node = TreeNode(Action((1.0,), lambda: t.removeNode(huge)))
        t.insertByKey(node, 2 ** 63 + 1)
        self.assertEqual((t.size(), t.asList()), (2 ** 63 + 1, [node]))
        # Reading the key adds weight: it no longer fits, and the tree keeps what it has.
        t.removeNode(node)
        small = TreeNode((0.5,))
        late = TreeNode(Action((2.0,), lambda: t.insertByKey(small, 1)))
        self.assertEqual(error_of(t.insertByKey, late, TOP),
                         (OverflowError, 'total weight would exceed 2**64 - 1.'))
        self.assertEqual((t.asList(), t.size()), ([small], 1))
        self.assertEqual(error_of(late.index)[0], ValueError)

    def test_preinit_total(self):
        t = Tree(preinit=((1.0,), 'a', long_(1)))
        for weights in ([2 ** 63, 2 ** 63], [TOP, 1], [1, TOP, 0]):
            flat = sum((((float(i),), i, long_(w)) for i, w in enumerate(weights)), ())
            self.assertEqual(error_of(Tree, False, flat),
                             (OverflowError, 'total weight would exceed 2**64 - 1.'))
            self.assertEqual(error_of(t.__init__, True, flat)[0], OverflowError)
        self.assertEqual((t.values(), t.size()), (['a'], 1))
        full = Tree(preinit=((1.0,), 'a', long_(TOP - 1), (2.0,), 'b', long_(1)))
        self.assertEqual((full.size(), full.rightmostNode().index()), (TOP, TOP - 1))
        self.assertEqual(full.at(2 ** 63 - 1).value, 'a')

    def test_upto_is_a_c_long(self):
        t = Tree(preinit=flat(range(6)))
        first = t.leftmostNode()
        for upto in (2 ** 31, 2 ** 32, 2 ** 32 + 1, 2 ** 62):
            self.assertEqual(len(first.nexts(upto)), 5)
            self.assertEqual(len(t.rightmostNode().prevs(upto=upto)), 5)
        self.assertEqual(first.nexts(2), t.asList()[1:3])
        self.assertEqual(error_of(first.nexts, -1), (ValueError, 'upto value is negative'))
        self.assertEqual(error_of(first.nexts, -2 ** 32)[0], ValueError)
        self.assertEqual(error_of(first.nexts, 2 ** 64)[0], OverflowError)

    def test_unpickling_index(self):
        t = Tree(preinit=((1.0,), 'a', long_(2), (2.0,), 'b', long_(1)))
        self.assertEqual(TreeNode(t, 2).value, 'b')
        self.assertEqual(TreeNode(t, long_(1)).value, 'a')
        for index in (3, 2 ** 64, 2 ** 64 + 1, 2 ** 65 + 2, -1, -2 ** 64):
            self.assertEqual(error_of(TreeNode, t, index), (ValueError, 'TreeNode unpickling error.'))
        self.assertEqual(TreeNode(t, 1.0).key, t)  # no index: a new node keyed by the tree


class ReferencesAndScriptCodeTest(unittest.TestCase):

    def test_walks_whose_upto_moves_the_nodes(self):
        t = Tree(preinit=flat(range(4)))
        a, b, c, d = t.asList()

        def move_d_first():
            t.removeNode(d)
            d.key = (-1.0,)
            t.insertByKey(d, 1)

        before = live_lists()
        for _ in range(50):
            self.assertEqual(error_of(a.nexts, Action(5, lambda: t.removeNode(a))),
                             (ValueError, 'self should be inserted in some tree.'))
            t.insertByKey(a, 1)
            self.assertEqual(error_of(b.prevs, Action(5, lambda: t.removeNode(b)), a)[0],
                             ValueError)
            t.insertByKey(b, 1)
        self.assertEqual(live_lists(), before)
        # The sentinel moves to the other side: an empty result, not a failure.
        self.assertEqual(b.nexts(Action(5, move_d_first), d), [])
        self.assertEqual(t.asList(), [d, a, b, c])

    def test_arguments_keep_their_counts(self):
        flag, key, value = Int(1), (1.0,), object()
        counts = lambda: [sys.getrefcount(x) for x in (flag, key, value)]
        before = counts()
        for _ in range(20):
            Tree(flag)
            Tree(interval=flag, preinit=(key, value, long_(1)))
            error_of(Tree, flag, (key, value, 1.5))
            error_of(Tree, flag, (key, value, long_(2 ** 63), key, value, long_(2 ** 63)))
            error_of(Tree, flag, (key, value, long_(1), (0.0,), value, long_(1)))
            error_of(Tree, flag, ((1,), value, long_(1)))
            t = Tree(preinit=(key, value, long_(1)))
            t.__init__(flag)
            node = TreeNode(key, value)
            t.insertByKey(node, flag)
            t.asList(), t.keys(), t.values(), t.items(), node.nexts(flag), node.prevs(flag)
            mergeTrees([t, t], key, flag, flag, 3)
            error_of(mergeTrees, [t, None], key, flag, flag, 3)
            del t, node
        self.assertEqual(counts(), before)

    def test_lists_whose_allocation_changes_the_tree(self):
        # A collection started by making the list runs a weak reference callback that takes
        # nodes out of the tree or puts more in: the list is what the tree holds afterwards.
        class Cycle(object):
            pass

        for change in ('remove', 'insert'):
            t = Tree(preinit=flat(range(8)))
            extra = [TreeNode((k + 0.5,), k + 0.5) for k in range(5)]

            def callback(_):
                if change == 'remove':
                    for node in t.asList()[::2]:
                        t.removeNode(node)
                else:
                    for node in extra:
                        t.insertByKey(node, 1)

            for method in ('values', 'asList'):
                collect = getattr(t, method)
                gc.collect()
                # Enough live lists that the interpreter has no spare one to make the result of.
                spares = [[] for _ in (0,) * 200]
                garbage = Cycle()
                garbage.cycle = garbage
                ref = weakref.ref(garbage, callback)
                del garbage
                threshold = gc.get_threshold()
                gc.set_threshold(1)
                try:
                    result = collect()
                finally:
                    gc.set_threshold(*threshold)
                self.assertTrue(ref() is None)
                del spares
                expected = [n.value for n in t.asList()]
                self.assertEqual([getattr(x, 'value', x) for x in result], expected)
                if change == 'insert':
                    for node in extra:
                        t.removeNode(node)

    @unittest.skipIf(UNDER_SANITIZER, 'the sanitizer reserves address space beyond any limit')
    def test_merge_that_runs_out_of_memory_releases_its_trees(self):
        # In a process of its own: mergeTrees meets a memory limit while its result grows.
        script = r'''
import ctypes, resource, sys, tessart
n = 300000


class MallInfo(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        'arena', 'ordblks', 'smblks', 'hblks', 'hblkhd', 'usmblks', 'fsmblks', 'uordblks',
        'fordblks', 'keepcost')]


mallinfo = ctypes.CDLL(None).mallinfo2
mallinfo.restype = MallInfo
in_use = lambda: mallinfo().uordblks + mallinfo().hblkhd
one = 1 if sys.version_info[0] > 2 else long(1)
t = tessart.Tree(preinit=tuple(x for i in range(n) for x in ((float(i),), None, one)))
u = tessart.Tree()
before = sys.getrefcount(t), sys.getrefcount(u)
# Work arrays of 240 kB each: leaked, they would show in what the C library has handed out.
trees = [u] * 30000 + [t]
failures, sizes = 0, []
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
vm_size = lambda: int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()
for _ in range(6):
    # Use up the memory the process has mapped but not handed out, so that the limit bites.
    filler, start = [], vm_size()
    while vm_size() == start:
        filler.append(bytearray(1 << 16))
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + (1 << 20), hard))
    try:
        tessart.mergeTrees(trees, (-1.0,), True, False, n)
    except MemoryError:
        failures += 1
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    del filler
    sizes.append(in_use())
del trees
grown = sizes[-1] - sizes[0] > (1 << 20)
sys.stdout.write('%d %s %s' % (failures, (sys.getrefcount(t), sys.getrefcount(u)) == before, grown))
'''
        env = dict(os.environ)
        output = subprocess.check_output([sys.executable, '-c', script], env=env).split()
        self.assertEqual([x.decode() if hasattr(x, 'decode') else x for x in output],
                         ['6', 'True', 'False'])


if __name__ == '__main__':
    unittest.main()
