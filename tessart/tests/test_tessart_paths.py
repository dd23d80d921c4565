"""Plain nodes, tuples and floats are read in place; lookalikes go the generic way with the same
results and errors. Integers never wrap. Calls that run script code keep and release exactly
what they should. Python 2.7 and 3 alike."""

import gc
import os
import random
import subprocess
import sys
import unittest
import weakref

from tessart import Tree, TreeNode, mergeTrees

UNDER_SANITIZER = 'asan' in os.environ.get('LD_PRELOAD', '')
TOP = 2 ** 64 - 1
ONE = 1 if sys.version_info[0] > 2 else long(1)  # noqa: F821


Node = type('Node', (TreeNode,), {})
KeyTuple = type('KeyTuple', (tuple,), {})
Int = type('Int', (int,), {})
# A tuple whose sequence protocol reads (first item + 100.0,).
Shifted = type('Shifted', (tuple,), {
    '__len__': lambda self: 1,
    '__getitem__': lambda self, i: [tuple.__getitem__(self, 0) + 100.0][i]})


class Action(object):
    """An integer, or a key sequence, that runs `action` when it is converted or read."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __len__(self):
        return len(self.value)

    def __int__(self):
        return self.action() or self.value

    __index__ = __int__

    def __getitem__(self, i):
        return (self.action() if i == 0 else None) or self.value[i]


def error_of(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except Exception as e:
        return type(e), str(e)


def value_of(node):
    return None if node is None else node.value


def flat(keys):
    """A preinit tuple: each key with weight 1 and its number as the value."""
    return tuple(x for k in keys for x in ((float(k),), int(k) if k == k else k, ONE))


class PathsTest(unittest.TestCase):

    def test_lookalikes_give_the_results_of_plain_objects(self):
        rng = random.Random(7)
        plain, other = Tree(), Tree()
        wrappers = [KeyTuple, list, lambda k: Action(k, lambda: None)]
        for i in range(400):
            key = tuple(float(rng.randrange(50)) for _ in range(rng.randrange(1, 4)))
            weight = rng.randrange(1, 5)
            plain.insertByKey(TreeNode(key, i), weight)
            weights = [weight, weight + 0 * ONE, Int(weight)]
            other.insertByKey(Node(wrappers[i % 3](key), i), weights[i % 3])
            if i % 7 == 0:
                position = rng.randrange(plain.size())
                plain.removeNode(plain.at(position))
                other.removeNode(other.at(position))
        self.assertEqual((plain.values(), plain.shape()), (other.values(), other.shape()))
        self.assertEqual([n.index() for n in plain.asList()], [n.index() for n in other.asList()])
        for _ in range(300):
            q = tuple(rng.randrange(-1, 52) + rng.choice((0.0, 0.00005, 0.5)) for _ in range(2))
            for query in (KeyTuple(q), list(q)):
                self.assertEqual(value_of(plain.lowerBound(q)), value_of(other.lowerBound(query)))
                self.assertEqual(value_of(plain.upperBound(q)), value_of(other.upperBound(query)))
            i = rng.randrange(-2, plain.size() + 2)
            self.assertEqual(value_of(plain.at(i)), value_of(other.at(index=i + 0 * ONE)))
        # Read through their protocol or their attribute, these keys are not their items.
        self.assertEqual(value_of(other.lowerBound(Shifted((-60.0,)))),
                         value_of(plain.lowerBound((40.0,))))
        shifted = Node(Shifted((1.0, 2.0)))
        keyed = type('Keyed', (TreeNode,), {'key': property(lambda self: (-5.0,))})((99.0,))
        other.insertByKey(shifted, 1), other.insertByKey(keyed, 1)
        self.assertTrue(other.rightmostNode() is shifted and other.leftmostNode() is keyed)

    def test_lookalikes_give_the_errors_of_plain_objects(self):
        t = Tree()
        Coordinate = type('Coordinate', (float,), {})
        for items, message in [((Coordinate(1.0),), 'items must be floats.'),
                               ((1.0, 2), 'items must be floats.'),
                               ((), 'fails to meet length restrictions.'),
                               ((1.0,) * 4, 'fails to meet length restrictions.')]:
            for key in (items, KeyTuple(items), list(items)):
                for node in (TreeNode(key), Node(key)):
                    self.assertEqual(error_of(t.insertByKey, node, 1),
                                     (TypeError, 'node.key ' + message))
                self.assertEqual(error_of(t.lowerBound, key), (TypeError, 'key ' + message))
        # Python 3 names the type in the message.
        kind, message = error_of(t.insertByKey, Node(), 1)
        self.assertEqual(error_of(t.insertByKey, TreeNode(), 1),
                         (kind, message.replace("'Node'", "'tessart.TreeNode'")))
        for index in (1.5, 2 ** 63, -2 ** 63 - 1, Int(3), 'x'):
            self.assertEqual(error_of(t.at, index), error_of(t.at, index=index))
        for weight in (1.0, '1', None):
            caught = error_of(t.insertByKey, TreeNode((1.0,)), weight)
            self.assertEqual(error_of(t.insertByKey, node=TreeNode((1.0,)), weight=weight), caught)
            self.assertEqual((caught[0], t.asList()), (TypeError, []))

    def test_weights_and_totals_never_wrap(self):
        t = Tree()
        positive, fits = 'weight should be a positive integer.', 'weight does not fit in 64 bits.'
        total = (OverflowError, 'total weight would exceed 2**64 - 1.')
        for weight in (0, -1, -2 ** 70, 2 ** 64, 2 ** 64 + 5, 0 * ONE, 2 ** 64 + 0 * ONE):
            error = (TypeError, positive) if weight < 1 else (OverflowError, fits)
            self.assertEqual(error_of(t.insertByKey, TreeNode((1.0,)), weight), error)
        big, small = TreeNode((2.0,), 'big'), TreeNode((0.5,), 'small')
        t.insertByKey(big, TOP - 1)
        t.insertByKey(TreeNode((1.0,), 'one'), True)
        self.assertEqual((t.size(), big.index(), t.at(2 ** 63 - 1).value), (TOP, 1, 'big'))
        self.assertEqual(error_of(t.insertByKey, TreeNode((3.0,)), Int(1)), total)
        # The total is checked once the key is read: reading it may take weight out or add some.
        late = TreeNode(Action((3.0,), lambda: t.removeNode(big)))
        t.insertByKey(late, TOP - 1)
        t.removeNode(late)
        late = TreeNode(Action((3.0,), lambda: t.insertByKey(small, 1)))
        self.assertEqual(error_of(t.insertByKey, late, TOP - 1), total)
        self.assertEqual((t.values(), t.size(), error_of(late.index)[0]),
                         (['small', 'one'], 2, ValueError))
        for weights in ([2 ** 63, 2 ** 63], [TOP, 1], [1, TOP, 0]):
            preinit = tuple(x for i, w in enumerate(weights) for x in ((float(i),), i, w + 0 * ONE))
            self.assertEqual(error_of(Tree, False, preinit), total)
            self.assertEqual(error_of(t.__init__, True, preinit), total)
        self.assertEqual(t.values(), ['small', 'one'])
        full = Tree(preinit=((1.0,), 'a', TOP - 1 + 0 * ONE, (2.0,), 'b', ONE))
        self.assertEqual((full.size(), full.rightmostNode().index()), (TOP, TOP - 1))
        # upto is a C long; an unpickling index beyond 64 bits is no position.
        t = Tree(preinit=flat(range(6)))
        first, last = t.leftmostNode(), t.rightmostNode()
        for upto in (2 ** 31, 2 ** 32, 2 ** 32 + 1, 2 ** 62):
            self.assertEqual((len(first.nexts(upto)), len(last.prevs(upto=upto))), (5, 5))
        self.assertEqual(first.nexts(2), t.asList()[1:3])
        self.assertEqual(error_of(first.nexts, -2 ** 32), (ValueError, 'upto value is negative'))
        self.assertEqual(error_of(first.nexts, 2 ** 64)[0], OverflowError)
        self.assertEqual((TreeNode(t, 2).value, TreeNode(t, 5 + 0 * ONE).value), (2, 5))
        for index in (6, 2 ** 64, 2 ** 64 + 1, -1, -2 ** 64):
            self.assertEqual(error_of(TreeNode, t, index),
                             (ValueError, 'TreeNode unpickling error.'))
        self.assertTrue(TreeNode(t, 1.0).key is t)  # no index: a new node keyed by the tree

    def test_preinit_builds_what_inserting_in_order_builds(self):
        # Weights on both sides of every digit boundary (15 and 30 bits): one digit is read in
        # place, more are converted.
        rng = random.Random(11)
        edges = [0, 1, 2 ** 15 - 1, 2 ** 15, 2 ** 30 - 1, 2 ** 30, 2 ** 45, 2 ** 52]
        for count in list(range(40)) + [255, 256, 1000 + rng.randrange(100)]:
            weights = [rng.choice(edges) for _ in range(count)]
            made = Tree(preinit=tuple(x for i, w in enumerate(weights)
                                      for x in ((float(i),), i, w + 0 * ONE)))
            inserted = Tree()
            for i, w in enumerate(weights):
                inserted.insertByKey(TreeNode((float(i),), i), w or 1)
            self.assertEqual((made.values(), made.shape(), made.size()),
                             (inserted.values(), inserted.shape(), sum(weights)))
            self.assertEqual([n.index() for n in made.asList()],
                             [sum(weights[:i]) for i in range(count)])

    def test_preinit_reads_keys_of_every_kind_far_into_the_tuple(self):
        # Items are looked at ahead of their turn.
        keys = [(float(i),) for i in range(100)]
        keys[40], keys[50], keys[60], keys[70] = [40.0], KeyTuple((50.0,)), (60.0, 1.0), 70.5
        self.assertEqual(error_of(Tree, False, tuple(x for k in keys for x in (k, 0, ONE))),
                         (TypeError, 'key must be iterable.'))
        keys[70] = Shifted((-30.0,))  # read as (70.0,)
        made = Tree(preinit=tuple(x for i, k in enumerate(keys) for x in (k, i, ONE)))
        self.assertEqual((made.values(), made.lowerBound((70.5,)).value), (list(range(100)), 70))

    def test_preinit_reports_disorder_exactly(self):
        rng = random.Random(3)
        for _ in range(300):
            keys = [rng.randrange(6) for _ in range(rng.randrange(1, 12))]
            keys, t = sorted(keys) if rng.random() < 0.5 else keys, Tree()
            self.assertEqual(error_of(t.__init__, False, flat(keys)) is None, keys == sorted(keys))
            self.assertEqual(t.values(), keys)
        # NaN would compare equal to everything: refused before any node is made.
        nan = float('nan')
        for keys in ([1, nan, 0], [nan, 0, 1]):
            self.assertEqual(error_of(Tree, False, flat(keys)),
                             (ValueError, 'key should not hold NaN.'))


class ReferencesTest(unittest.TestCase):

    def test_walks_whose_upto_moves_the_nodes(self):
        t = Tree(preinit=flat(range(4)))
        a, b, c, d = t.asList()
        gc.collect()
        lists = sum(1 for o in gc.get_objects() if type(o) is list)
        for _ in range(50):
            self.assertEqual(error_of(a.nexts, Action(5, lambda: t.removeNode(a)))[0], ValueError)
            t.insertByKey(a, 1)
            self.assertEqual(error_of(b.prevs, Action(5, lambda: t.removeNode(b)), a)[0],
                             ValueError)
            t.insertByKey(b, 1)
        gc.collect()
        self.assertEqual(sum(1 for o in gc.get_objects() if type(o) is list), lists)

        def move_d_first():
            t.removeNode(d)
            d.key = (-1.0,)
            t.insertByKey(d, 1)

        # The sentinel moves to the other side: an empty result, not a failure.
        self.assertEqual(b.nexts(Action(5, move_d_first), d), [])

    def test_arguments_keep_their_counts(self):
        flag, key, value = Int(1), (1.0,), object()
        counts = lambda: [sys.getrefcount(x) for x in (flag, key, value)]
        before = counts()
        for _ in range(20):
            Tree(flag), Tree(interval=flag, preinit=(key, value, ONE))
            for preinit in [(key, value, 1.5), (key, value, 2 ** 63 + 0 * ONE) * 2,
                            (key, value, ONE, (0.0,), value, ONE), ((1,), value, ONE)]:
                error_of(Tree, flag, preinit)
            t = Tree(preinit=(key, value, ONE))
            node = TreeNode(key, value)
            t.insertByKey(node, flag)
            t.asList(), t.keys(), t.values(), t.items(), node.nexts(flag), node.prevs(flag)
            mergeTrees([t, t], key, flag, flag, 3)
            error_of(mergeTrees, [t, None], key, flag, flag, 3)
            del t, node, preinit
        self.assertEqual(counts(), before)

    @unittest.skipIf(sys.version_info >= (3, 12),
                     'collections wait for the interpreter loop, never start inside a call')
    def test_lists_whose_making_changes_the_tree(self):
        # Making the list starts a collection whose weak reference callback takes nodes out of
        # the tree or puts more in: the list is what the tree holds afterwards.
        Cycle = type('Cycle', (object,), {})
        t = Tree(preinit=flat(range(8)))
        extra = [TreeNode((k + 0.5,), k + 0.5) for k in range(5)]
        remove = lambda _: [t.removeNode(node) for node in t.asList()[::2]]  # noqa: E731
        insert = lambda _: [t.insertByKey(node, 1) for node in extra]  # noqa: E731
        for callback, method in [(remove, 'values'), (insert, 'asList'), (remove, 'asList')]:
            collect = getattr(t, method)
            gc.collect()
            spares = [[] for _ in (0,) * 200]  # no spare list left to make the result from
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
            del spares
            self.assertTrue(ref() is None)
            self.assertEqual([getattr(x, 'value', x) for x in result], t.values())
            # One reference per item, whichever way the list was made.
            in_tree = set(id(x) for x in t.asList())
            del result
            self.assertEqual([sys.getrefcount(x) for x in extra],
                             [3 + (id(x) in in_tree) for x in extra])

    def test_nodes_made_and_freed_in_bulk_keep_their_contents(self):
        # Tens of thousands of nodes, plain and subclassed, made and dropped in random order
        # through trees and the free list: every node keeps its own key, value, weight and place.
        rng = random.Random(5)
        t = Tree(preinit=flat(range(0, 60000, 2)))
        live = t.asList()
        weight = dict((id(n), 1) for n in live)
        for _ in range(3):
            rng.shuffle(live)
            for node in live[:len(live) // 2]:
                t.removeNode(node)
                del weight[id(node)]
            live = live[len(live) // 2:]
            made = [(Node if i % 7 == 0 else TreeNode)((rng.random() * 60000,), i)
                    for i in range(20000)]
            for node in made:
                weight[id(node)] = 1 + node.value % 3
                t.insertByKey(node, weight[id(node)])
            live += made
            expected = sorted(live, key=lambda n: n.key)
            self.assertEqual([(n.key, n.value) for n in t.asList()],
                             [(n.key, n.value) for n in expected])
            ranks, total = {}, 0
            for n in expected:
                ranks[id(n)] = total
                total += weight[id(n)]
            self.assertEqual(t.size(), total)
            for n in rng.sample(live, 200):
                self.assertEqual(n.index(), ranks[id(n)])
            u = Tree(preinit=tuple(x for n in expected for x in (n.key, n.value, ONE)))
            self.assertEqual(u.values(), [n.value for n in expected])
            del u

    @unittest.skipIf(UNDER_SANITIZER, 'the sanitizer reserves address space beyond any limit')
    def test_merge_that_runs_out_of_memory_releases_what_it_holds(self):
        # Its own process: mergeTrees meets a memory limit while its result grows. The trees'
        # counts and what the C library has handed out (work arrays of 240 kB) must not grow.
        script = r'''
import ctypes, resource, sys, tessart
class MallInfo(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in 'abcdefghij']
mallinfo = ctypes.CDLL(None).mallinfo2
mallinfo.restype = MallInfo
in_use = lambda: mallinfo().h + mallinfo().e
vm_size = lambda: int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()
n = 300000
one = 1 if sys.version_info[0] > 2 else long(1)
t = tessart.Tree(preinit=tuple(x for i in range(n) for x in ((float(i),), None, one)))
u = tessart.Tree()
before = sys.getrefcount(t), sys.getrefcount(u)
trees, failures, sizes = [u] * 30000 + [t], 0, []
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
for _ in range(6):
    filler, start = [], vm_size()
    while vm_size() == start:  # use up what is mapped but not handed out, so the limit bites
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
kept = (sys.getrefcount(t), sys.getrefcount(u)) == before
print('%d %s %s' % (failures, kept, sizes[-1] - sizes[0] > (1 << 20)))
'''
        output = subprocess.check_output([sys.executable, '-c', script]).decode().split()
        self.assertEqual(output, ['6', 'True', 'False'])


if __name__ == '__main__':
    unittest.main()
