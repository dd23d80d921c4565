"""Tests of the tessart module: both types, both functions, pickling, references, exports, and
script code that changes trees while a call is converting its arguments."""

import copy
import gc
import json
import os
import pickle
import resource
import shutil
import subprocess
import sys
import tempfile
import unittest

import tessart
from tessart import Tree, TreeNode, mergeTrees, weightedClosestNode

try:
    import cPickle
except ImportError:  # Python 3, whose pickle is the C one
    cPickle = pickle

PY2 = sys.version_info[0] == 2
# The type of weights, ranks and sizes: long on Python 2, int on Python 3.
long = type(2 ** 64)
if not hasattr(unittest.TestCase, 'assertRaisesRegex'):
    unittest.TestCase.assertRaisesRegex = unittest.TestCase.assertRaisesRegexp

UNDER_SANITIZER = 'asan' in os.environ.get('LD_PRELOAD', '')
EXAMPLE = ('import tessart, pickle; long = type(2 ** 64); '
           't = tessart.Tree(preinit=((1.0,), "a", long(2), (2.0,), "b", long(1))); '
           'assert [n.value for n in t.sample(3)] == ["a", "a", "b"]; '
           'u = pickle.loads(pickle.dumps(t, 2)); assert u.values() == ["a", "b"] and u.size() == 3')


def build(*entries):
    """A tree of (first coordinate, value, weight) entries inserted in order, and its nodes."""
    tree = Tree()
    nodes = [TreeNode((float(k),), v) for k, v, _ in entries]
    for node, (_, _, w) in zip(nodes, entries):
        tree.insertByKey(node, w)
    return tree, nodes


def values(nodes):
    return [n.value for n in nodes]


def run(script):
    return subprocess.check_output([sys.executable, '-c', script], stderr=subprocess.STDOUT,
                                   universal_newlines=True)


class Key(object):
    """A key sequence that runs `action` when its first item is read."""

    def __init__(self, items, action):
        self.items, self.action = items, action

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == 0 and self.action:
            action, self.action = self.action, None
            action()
        return self.items[i]


# Slots enough to put an object beyond the small-object allocator, where a freed object is
# reported (by the sanitizer, or by the C library as a double free) rather than quietly reused.
PADDING = ['pad%d' % i for i in range(80)]


class BigKey(Key):
    __slots__ = PADDING


class BigNode(TreeNode):
    __slots__ = PADDING


class Big(object):
    __slots__ = PADDING


class OnInt(object):
    def __init__(self, value, action):
        self.value, self.action = value, action

    def __int__(self):
        self.action()
        return self.value

    __index__ = __int__


class OnDel(object):
    def __init__(self, action):
        self.action = action

    def __del__(self):
        self.action()


class ModuleTest(unittest.TestCase):

    def test_names_and_docs(self):
        self.assertEqual(tessart.__doc__, 'A C implementation of Andersson balanced search tree')
        self.assertEqual((Tree.__doc__, TreeNode.__doc__), ('AA tree', 'AA tree node'))
        self.assertEqual((Tree.__module__, Tree.__name__), ('tessart', 'Tree'))
        self.assertEqual((TreeNode.__module__, TreeNode.__name__), ('tessart', 'TreeNode'))
        self.assertEqual(Tree.size.__doc__,
                         'returns the sum of node weights for all nodes in the tree.')
        self.assertEqual(TreeNode.index.__doc__,
                         'returns the sum of weights of all nodes to the left of the current one.')
        self.assertTrue(mergeTrees.__doc__.startswith('Takes an iterable of tessarts, an tessart'))
        self.assertTrue(Tree().__safe_for_unpickling__ is True)
        self.assertTrue(TreeNode().__safe_for_unpickling__ is True)
        self.assertRaises(AttributeError, setattr, Tree(), '__safe_for_unpickling__', False)

    def test_links_libc_only_and_exports_its_init_function_only(self):
        path = tessart.__file__
        defined = [line.split()[7] for line in
                   subprocess.check_output(['readelf', '--dyn-syms', '-W', path],
                                           universal_newlines=True).splitlines()
                   if len(line.split()) >= 8 and line.split()[0].rstrip(':').isdigit()
                   and line.split()[6] != 'UND']
        init = 'inittessart' if PY2 else 'PyInit_tessart'
        self.assertEqual(sorted(defined), sorted(['TESSART_1.0', init + '@@TESSART_1.0']))
        if UNDER_SANITIZER:
            return  # the sanitizer runtimes are linked in there
        needed = [line.split()[-1] for line in
                  subprocess.check_output(['readelf', '-d', path], universal_newlines=True).splitlines()
                  if '(NEEDED)' in line]
        self.assertEqual(needed, ['[libc.so.6]'])

    def test_example_runs_silently_and_subclasses_say_so(self):
        self.assertEqual(run(EXAMPLE), '')
        out = run('import tessart\nclass T(tessart.Tree): pass\n'
                  't = T(); t.__init__(); tessart.Tree(); print("end")')
        self.assertEqual(out, 'whoknows\nwhoa\nwhoa\nend\n')


class TreeTest(unittest.TestCase):

    def test_empty_tree(self):
        t = Tree()
        self.assertEqual(t.size(), 0)
        self.assertTrue(type(t.size()) is long)
        self.assertEqual((t.asList(), t.items(), t.keys(), t.values()), ([], [], [], []))
        self.assertEqual((t.shape(), t.sample(0)), ((0, 0, 0), []))
        self.assertRaisesRegex(ValueError, r'^n is either too small or too large\.$', t.sample, 1)
        for result in (t.at(0), t.leftmostNode(), t.rightmostNode(), t.lowerBound((1.0,)),
                       t.upperBound((1.0,)), t.getClosestNode((1.0,), 0.0)):
            self.assertTrue(result is None)
        self.assertEqual(t.__reduce__(), (Tree, (False, ())))

    def test_preinit_weights_at_and_sample(self):
        t = Tree(preinit=((1.0,), 'a', long(2), (2.0,), 'b', long(1)))
        first, second = t.asList()
        self.assertEqual(t.size(), 3)
        self.assertEqual([t.at(i) for i in range(4)], [first, first, second, None])
        self.assertTrue(t.at(-1) is None)
        self.assertEqual(t.sample(3), [first, first, second])
        self.assertEqual(t.sample(1), [first])
        self.assertRaises(ValueError, t.sample, 4)
        self.assertRaises(ValueError, t.sample, -1)
        # Weight 0 can only come through preinit; such a node is never sampled or selected.
        t = Tree(preinit=((1.0,), 'a', long(1), (2.0,), 'b', long(0), (3.0,), 'c', long(3)))
        self.assertEqual(values(t.sample(4)), ['a', 'c', 'c', 'c'])
        self.assertEqual(values([t.at(0), t.at(1)]), ['a', 'c'])

    def test_preinit_errors_leave_the_tree_as_it_was(self):
        class Weight(long):
            pass

        t = Tree(preinit=((5.0,), 'keep', long(1)))
        cases = [
            (TypeError, 'preinit must be a tuple.', None),
            (TypeError, 'preinit must be a tuple.', [(1.0,), 'a', long(1)]),
            (ValueError, 'preinit length must be a multiple of three.', ((1.0,), 'a', long(1), 2)),
            # Exactly a long: on Python 3, where 2 is one, a bool is not.
            (ValueError, 'preinit weights (%3 == 2) are not longs within bounds.',
             ((1.0,), 'a', 2 if PY2 else True)),
            (ValueError, 'preinit weights (%3 == 2) are not longs within bounds.',
             ((1.0,), 'a', -long(1))),
            (ValueError, 'preinit weights (%3 == 2) are not longs within bounds.',
             ((1.0,), 'a', long(1), (2.0,), 'b', long(2) ** 64)),
            (ValueError, 'preinit weights (%3 == 2) are not longs within bounds.',
             ((1.0,), 'a', Weight(1))),
            (TypeError, 'node.key items must be floats.', ((1.0,), 'a', long(1), (2,), 'b', long(1))),
            (TypeError, 'node.key fails to meet length restrictions.', ((), 'a', long(1))),
            (TypeError, 'key must be iterable.', (1.0, 'a', long(1))),
        ]
        for error, message, preinit in cases:
            with self.assertRaises(error) as caught:
                t.__init__(preinit=preinit)
            self.assertEqual(str(caught.exception), message)
            self.assertEqual(t.values(), ['keep'])

    def test_unsorted_preinit_keeps_the_given_order(self):
        t = Tree()
        with self.assertRaises(ValueError) as caught:
            t.__init__(preinit=((2.0,), 'b', long(1), (1.0,), 'a', long(1)))
        self.assertEqual(str(caught.exception), 'preinit is not sorted by keys.')
        self.assertEqual(t.values(), ['b', 'a'])
        self.assertEqual(Tree(preinit=((1.0,), 'a', long(1), (1.0,), 'b', long(1))).values(), ['a', 'b'])

    def test_initialisation_empties_and_sets_interval(self):
        t, nodes = build((1, 'a', 1), (2, 'b', 1))
        t.__init__()
        self.assertEqual((t.asList(), t.size()), ([], 0))
        self.assertRaises(ValueError, nodes[0].index)
        self.assertEqual(Tree(preinit=()).asList(), [])
        self.assertEqual(Tree(True).__reduce__(), (Tree, (True, ())))
        self.assertEqual(Tree(interval=[]).__reduce__()[1][0], False)

    def test_interval_whose_truth_test_raises_changes_nothing(self):
        class Bad(object):
            def __nonzero__(self):
                raise ArithmeticError('no truth')

            __bool__ = __nonzero__
        t = Tree(True, ((1.0,), 'a', long(1)))
        self.assertRaisesRegex(ArithmeticError, 'no truth', t.__init__, Bad(), ((2.0,), 'b', long(1)))
        self.assertEqual((t.values(), t.__reduce__()[1][0]), (['a'], True))

    def test_insert_orders_keys_and_refuses_bad_nodes(self):
        t = Tree()
        nodes = [TreeNode(k, v) for k, v in
                 [((2.0,), 'b1'), ((1.0, 0.0), 'a2'), ((2.0,), 'b2'), ([1.0], 'a1'), ((3.0,), 'c')]]
        for n in nodes:
            t.insertByKey(n, 1)
        self.assertEqual(t.values(), ['a1', 'a2', 'b1', 'b2', 'c'])
        cases = [
            (TypeError, 'weight should be a positive integer.', (TreeNode((1.0,)), 0)),
            (TypeError, 'node should be an instance of tessart.TreeNode.', (t, 1)),
            (ValueError, 'submitted TreeNode already in some tree.', (nodes[0], 1)),
            (TypeError, 'key must be iterable.', (TreeNode(1.0), 1)),
            (TypeError, 'node.key fails to meet length restrictions.',
             (TreeNode((1.0, 2.0, 3.0, 4.0)), 1)),
            (TypeError, 'node.key items must be floats.', (TreeNode((1.0, 2)), 1)),
        ]
        for error, message, args in cases:
            with self.assertRaises(error) as caught:
                t.insertByKey(*args)
            self.assertEqual(str(caught.exception), message)
        self.assertRaises(AttributeError, t.insertByKey, TreeNode(), 1)
        self.assertEqual(len(t.asList()), 5)
        u = Tree()
        self.assertRaisesRegex(TypeError, 'weight should be a positive integer',
                                u.insertByKey, node=TreeNode((1.0,)), weight=-1)
        self.assertEqual(u.size(), 0)

    def test_remove(self):
        t, (a, b, c) = build((1, 'a', 1), (2, 'b', 2), (3, 'c', 3))
        other, (x,) = build((1, 'x', 1))
        cases = [
            (TypeError, 'node should be an instance of tessart.TreeNode.', 'b'),
            (ValueError, 'node should be inserted in some tree.', TreeNode((1.0,))),
            (ValueError, 'node is in some other tree.', x),
        ]
        for error, message, arg in cases:
            with self.assertRaises(error) as caught:
                t.removeNode(arg)
            self.assertEqual(str(caught.exception), message)
        t.removeNode(node=b)
        self.assertEqual((t.values(), t.size(), c.index()), (['a', 'c'], 4, 1))
        self.assertRaises(ValueError, b.index)
        self.assertRaises(ValueError, b.__reduce__)
        other.insertByKey(b, 5)
        self.assertEqual((other.values(), b.index()), (['x', 'b'], 1))
        t.removeNode(a)
        t.removeNode(c)
        self.assertEqual((t.asList(), t.size()), ([], 0))

    def test_searches(self):
        t, (one, three) = build((1, 'one', 1), (3, 'three', 1))
        self.assertTrue(t.getClosestNode((2.0,), float('-inf')) is three)
        self.assertTrue(t.getClosestNode((1.9,), -100) is one)
        self.assertTrue(t.getClosestNode(key=(1.9,), firstLowerBound=1.5) is three)
        self.assertTrue(t.getClosestNode((5.0,), 10.0) is three)
        self.assertTrue(t.leftmostNode() is one and t.rightmostNode() is three)
        near = Tree(preinit=((1.0,), 'a', long(1), (1.00005,), 'b', long(1)))
        self.assertEqual((near.lowerBound((1.00002,)), near.upperBound((1.00002,))), (None, None))
        self.assertEqual(near.lowerBound(key=(1.0002,)).value, 'b')
        self.assertEqual(near.upperBound([0.5]).value, 'a')
        for method in (t.lowerBound, t.upperBound, lambda k: t.getClosestNode(k, 0.0)):
            for key, message in [(1.0, 'key must be an iterable.'),
                                 ((), 'key fails to meet length restrictions.'),
                                 ((1,), 'key items must be floats.')]:
                with self.assertRaises(TypeError) as caught:
                    method(key)
                self.assertEqual(str(caught.exception), message)

    def test_lists_and_shape(self):
        t, nodes = build(*[(k, k * 10, 1) for k in range(7)])
        self.assertEqual(t.asList(), nodes)
        self.assertEqual(t.keys(), [(float(k),) for k in range(7)])
        self.assertEqual(t.items(), [((float(k),), k * 10) for k in range(7)])
        count, low, high = t.shape()
        self.assertEqual(count, 7)
        self.assertTrue(1 <= low <= high <= 6)
        del nodes[3].value
        self.assertRaises(SystemError, t.items)
        self.assertRaises(SystemError, t.values)
        self.assertEqual(len(t.keys()), 7)
        del nodes[5].key
        self.assertRaises(SystemError, t.keys)

    def test_weights_of_2_to_the_63_and_more(self):
        big = 2 ** 63 + 5
        t = Tree(preinit=((1.0,), 'a', long(big), (2.0,), 'b', long(3)))
        b = t.rightmostNode()
        self.assertEqual((t.size(), b.index()), (big + 3, big))
        u, b2 = cPickle.loads(cPickle.dumps([t, b], 2))
        self.assertEqual(u.__reduce__(), t.__reduce__())
        self.assertEqual(b2.value, 'b')


class TreeNodeTest(unittest.TestCase):

    def setUp(self):
        self.tree, self.nodes = build((1, 'a', 2), (2, 'b', 1), (3, 'c', 3), (4, 'd', 1))

    def test_fresh_node(self):
        n = TreeNode()
        self.assertRaises(AttributeError, getattr, n, 'key')
        self.assertRaises(AttributeError, getattr, n, 'value')
        for method in (n.prev, n.next, n.index, n.nexts, n.prevs):
            with self.assertRaises(ValueError) as caught:
                method()
            self.assertEqual(str(caught.exception), 'self should be inserted in some tree.')
        with self.assertRaises(ValueError) as caught:
            n.__reduce__()
        self.assertEqual(str(caught.exception),
                         'cannot pickle a TreeNode that is not part of some Tree.')
        n = TreeNode(value=3, key=(1.0,))
        n.__init__(value=4)
        n.value = 5
        self.assertEqual((n.key, n.value), ((1.0,), 5))
        del n.key
        self.assertRaises(AttributeError, delattr, n, 'key')

    def test_neighbours_and_index(self):
        a, b, c, d = self.nodes
        self.assertEqual((a.prev(), a.next(), d.next()), (None, b, None))
        self.assertEqual([n.index() for n in self.nodes], [0, 2, 3, 6])
        self.assertTrue(type(a.index()) is long)
        self.assertTrue(TreeNode(self.tree, 2) is b)
        self.assertTrue(TreeNode(self.tree, long(5)) is c)
        with self.assertRaises(ValueError) as caught:
            TreeNode(self.tree, 7)
        self.assertEqual(str(caught.exception), 'TreeNode unpickling error.')
        b.__init__((9.0,), 'changed')  # a node found in a tree keeps its key and value
        self.assertEqual(b.value, 'b')

    def test_nexts_and_prevs(self):
        a, b, c, d = self.nodes
        self.assertEqual(b.nexts(), [c, d])
        self.assertEqual(b.nexts(upto=1), [c])
        self.assertEqual(b.nexts(upto=0), [])
        self.assertEqual(b.nexts(sentinel=d), [c])
        self.assertEqual(b.nexts(sentinel=a), [])
        self.assertEqual(b.prevs(sentinel=d), [])
        self.assertEqual(b.prevs(), [a])
        self.assertEqual(d.prevs(2, a), [c, b])
        self.assertEqual((b.nexts(sentinel=b), d.nexts()), ([], []))
        self.assertEqual(b.nexts(upto=-1, sentinel=a), [])  # the side is checked first
        other, (x,) = build((1, 'x', 1))
        cases = [
            (ValueError, 'upto value is negative', {'upto': -1}),
            (TypeError, 'sentinel should be an instance of tessart.TreeNode or None.',
             {'sentinel': 1}),
            (ValueError, 'sentinel should be inserted in some Tree.', {'sentinel': TreeNode()}),
            (ValueError, 'self and sentinel are in different Trees.', {'sentinel': x}),
        ]
        for error, message, kwargs in cases:
            with self.assertRaises(error) as caught:
                b.nexts(**kwargs)
            self.assertEqual(str(caught.exception), message)
        self.assertRaises(TypeError, b.nexts, upto=None)
        # upto is held whole, as a C long.
        self.assertEqual(a.nexts(upto=2 ** 32 + 2), [b, c, d])
        self.assertEqual(a.nexts(upto=2 ** 32), [b, c, d])
        self.assertEqual(a.nexts(upto=2 ** 31 - 1), [b, c, d])
        self.assertEqual(a.nexts(upto=2 ** 63 - 1), [b, c, d])
        self.assertRaises(OverflowError, a.nexts, upto=2 ** 63)
        self.assertEqual(a.nexts(2 ** 31), [b, c, d])
        self.assertRaises(OverflowError, a.nexts, 2 ** 64)

    def test_sentinel_position_on_every_pair(self):
        t, nodes = build(*[((k * 7) % 31, k, 1) for k in range(31)])
        ordered = t.asList()
        for i, x in enumerate(ordered):
            for j, y in enumerate(ordered):
                self.assertEqual(x.nexts(sentinel=y), ordered[i + 1:j] if j > i else [])
                self.assertEqual(x.prevs(sentinel=y), ordered[j + 1:i][::-1] if j < i else [])

    def test_subclass_nodes_are_never_recycled(self):
        class Sub(TreeNode):
            pass
        keep = Tree()
        for _ in range(3):
            [TreeNode() for _ in range(40)]
            subs = [Sub() for _ in range(40)]
            self.assertTrue(all(type(s) is Sub for s in subs))
            for s in subs:
                s.extra = 1
            del subs
            self.assertTrue(all(type(n) is TreeNode for n in [TreeNode() for _ in range(40)]))
        # Instances this big live outside the small-object allocator, so a plain node at the
        # address of one released can only be that instance, recycled. Plain nodes held alive
        # first empty the free list, so that it would take every instance offered.
        held = [TreeNode() for _ in range(1000)]
        released = [BigNode() for _ in range(40)]
        addresses = set(map(id, released))
        del released
        fresh = [TreeNode() for _ in range(80)]
        self.assertEqual([n for n in fresh if id(n) in addresses], [])
        del held, fresh
        s, a = Sub((2.5,), 's'), self.nodes[0]
        self.tree.insertByKey(s, 1)
        self.assertEqual(a.nexts(sentinel=s), [self.nodes[1]])
        self.assertEqual(s.prevs(sentinel=a), [self.nodes[1]])
        self.tree.removeNode(s)
        self.assertEqual(self.tree.values(), ['a', 'b', 'c', 'd'])
        del keep


class FreeListTest(unittest.TestCase):

    @unittest.skipIf(UNDER_SANITIZER, 'freed memory sits in the sanitizer\'s quarantine')
    def test_the_last_tree_takes_the_free_list_with_it(self):
        # In a fresh interpreter, where no other tree lives: 240000 released nodes leave about a
        # sixth of them on the free list, whose memory goes back when the tree goes.
        out = run('import os, sys, tessart\n'
                  'def resident():\n'
                  '    return int(open("/proc/self/statm").read().split()[1]) * '
                  'os.sysconf("SC_PAGE_SIZE")\n'
                  't = tessart.Tree()\n'
                  'nodes = [tessart.TreeNode() for _ in range(240000)]\n'
                  'del nodes\n'
                  'before = resident()\n'
                  'del t\n'
                  'print("%d %d" % (before - resident(), sys.getsizeof(tessart.TreeNode())))\n')
        returned, node_size = map(int, out.split())
        self.assertGreater(returned, 240000 // 6 * node_size // 2)


class PickleTest(unittest.TestCase):

    def test_round_trips(self):
        t = Tree(True, ((1.0, 2.0), 'a', long(2), (1.0, 3.0, 0.5), ['b'], long(1), (4.0,), None, long(7)))
        b = t.asList()[1]
        for module in (pickle, cPickle):
            for protocol in sorted({0, 2, pickle.HIGHEST_PROTOCOL}):
                u = module.loads(module.dumps(t, protocol))
                self.assertTrue(type(u) is Tree)
                self.assertEqual(u.__reduce__(), t.__reduce__())
                u, b2 = module.loads(module.dumps([t, b], protocol))
                self.assertEqual(u.asList()[1], b2)
                self.assertEqual((b2.key, b2.value, b2.index()), ((1.0, 3.0, 0.5), ['b'], 2))

    def test_unset_key_and_value(self):
        t, (a, b) = build((1, 'a', 1), (2, 'b', 1))
        del a.value
        self.assertEqual(cPickle.loads(cPickle.dumps(t, 2)).values(), [None, 'b'])
        del b.key
        with self.assertRaises(ValueError) as caught:
            cPickle.dumps(t, 2)
        self.assertEqual(str(caught.exception),
                         'cannot pickle a Tree holding a TreeNode without a key.')


    def test_copies(self):
        t = Tree(True, ((1.0,), 'a', long(2), (2.0,), 'b', long(2 ** 40)))
        self.assertEqual(copy.deepcopy(t).__reduce__(), t.__reduce__())
        self.assertEqual(copy.copy(t).__reduce__(), t.__reduce__())


# The other interpreter and the folder of its modules, when the test run names them.
OTHER = 'PYTHON3' if PY2 else 'PYTHON2'
OTHER_PYTHON = os.environ.get(OTHER + '_EXECUTABLE')
OTHER_MODULES = os.environ.get(OTHER + '_MODULES')

# Run by the other interpreter: loads [tree, node] from argv[1], pickles them again into argv[2]
# and prints what it loaded. describe() is shared with this interpreter.
ACROSS = r'''
import json, pickle, sys

def describe(tree, node):
    """Tree and node as JSON text, which is the same under both interpreters."""
    interval, flat = tree.__reduce__()[1]
    entries = [[list(flat[i]), flat[i + 1], int(flat[i + 2])] for i in range(0, len(flat), 3)]
    return json.dumps([interval, entries, list(tree.shape()), int(tree.size()),
                       int(node.index()), node.value, tree.at(node.index()) is node])

if __name__ == '__main__':
    with open(sys.argv[1], 'rb') as stream:
        tree, node = pickle.load(stream)
    with open(sys.argv[2], 'wb') as stream:
        pickle.dump([tree, node], stream, 2)
    sys.stdout.write(describe(tree, node))
'''


@unittest.skipUnless(OTHER_PYTHON and OTHER_MODULES, 'no other interpreter named in the environment')
class PickleAcrossInterpretersTest(unittest.TestCase):

    def test_each_interpreter_loads_what_the_other_wrote(self):
        # Weights below 2**8, 2**16, 2**31 and beyond, which each interpreter writes differently.
        tree = Tree(True, ((0.5,), 'a', long(1), (1.0, 2.0), [1, None], long(300),
                           (1.0, 2.0, 3.0), 2.5, long(2 ** 31 + 7), (4.0,), None, long(2 ** 40),
                           (5.0,), {'k': 1}, long(70000)))
        node = tree.asList()[2]
        namespace = {'__name__': 'across'}
        exec(ACROSS, namespace)
        expected = namespace['describe'](tree, node)
        folder = tempfile.mkdtemp()
        try:
            here, there = os.path.join(folder, 'here.pickle'), os.path.join(folder, 'there.pickle')
            with open(here, 'wb') as stream:
                pickle.dump([tree, node], stream, 2)
            out = subprocess.check_output([OTHER_PYTHON, '-c', ACROSS, here, there],
                                          env=dict(os.environ, PYTHONPATH=OTHER_MODULES),
                                          universal_newlines=True)
            self.assertEqual(out, expected)
            with open(there, 'rb') as stream:
                back, back_node = pickle.load(stream)
        finally:
            shutil.rmtree(folder)
        self.assertEqual(namespace['describe'](back, back_node), expected)
        self.assertTrue(type(back.size()) is long)
        self.assertEqual(back.__reduce__(), tree.__reduce__())


class WeightedClosestNodeTest(unittest.TestCase):

    def test_results(self):
        self.assertTrue(weightedClosestNode([]) is None)
        self.assertTrue(weightedClosestNode([(Tree(), (1.0,), 0.0, 1.0)]) is None)
        far, (three,) = build((3, 'three', 1))
        mid, (two,) = build((2, 'two', 1))
        # (0.001 + 2) * 0.5 / 1.001 is below (0.001 + 1) / 1.001; with factor 1.0 it is not.
        self.assertEqual(weightedClosestNode([(mid, (1.0,), 0.0, 1.0), (far, (1.0,), 0.0, 0.5)]),
                         (far, three))
        self.assertEqual(weightedClosestNode(queries=[(mid, (1.0,), 0.0, 1.0),
                                                      (far, (1.0,), 0.0, 1.0)]), (mid, two))
        twin, (other,) = build((3, 'other', 1))
        self.assertEqual(weightedClosestNode(((twin, (1.0,), 0.0, 1.0), (far, [1.0], 0.0, 1.0))),
                         (twin, other))
        self.assertEqual(weightedClosestNode([(far, (1.0,), 0.0, float('nan')),
                                              (mid, (1.0,), 0.0, 1.0)]), (far, three))
        # Keys of 1, 2 and 3 coordinates, each 1.0 away on every coordinate: (0.001 + L) / (L +
        # 0.001) is 1.0 for every length, so the factor 0.99975 wins; divided by L instead, the
        # longest key would.
        queries = [(Tree(preinit=((1.0,) * size, size, long(1))), (0.0,) * size, -100.0, 1.0)
                   for size in (2, 3)]
        queries.append((Tree(preinit=((1.0,), 1, long(1))), (0.0,), -100.0, 0.99975))
        for turn in range(3):
            self.assertEqual(weightedClosestNode(queries[turn:] + queries[:turn])[1].value, 1)

    def test_messages(self):
        t = Tree()
        cases = [
            ('queries must be iterable.', 5),
            ('queries items must be tuples.', [[t, (1.0,), 0.0, 1.0]]),
            ('queries items must be 4-tuples.', [(t, (1.0,), 0.0)]),
            ('item 0 of queries item must be a tessart.Tree.', [(None, (1.0,), 0.0, 1.0)]),
            ('item 1 of queries item must be a sequence of floats.', [(t, 1.0, 0.0, 1.0)]),
            ('item 1 of queries item fails to meet length restrictions.', [(t, (), 0.0, 1.0)]),
            ('item 1 of queries item is not a sequence of floats.', [(t, (1,), 0.0, 1.0)]),
            ('item 2 of queries item is not a float.', [(t, (1.0,), 0, 1.0)]),
            ('item 3 of queries item is not a float.', [(t, (1.0,), 0.0, 1)]),
        ]
        for message, queries in cases:
            with self.assertRaises(TypeError) as caught:
                weightedClosestNode(queries)
            self.assertEqual(str(caught.exception), message)


class MergeTreesTest(unittest.TestCase):

    def setUp(self):
        self.t1, _ = build((1, 1, 1), (5, '5a', 1), (7, 7, 1))
        self.t2, _ = build((5, '5b', 1), (6, 6, 1))

    def test_directions(self):
        trees = [self.t1, self.t2]
        self.assertIn(mergeTrees(trees, (5.0,), True, False, 10), (['5a', 6, 7], ['5b', 6, 7]))
        self.assertEqual(mergeTrees(trees, (5.0,), False, False, 10), [6, 7])
        self.assertEqual(mergeTrees(trees, (5.0,), True, True, 10), [1])
        self.assertIn(mergeTrees(trees, [5.0], False, True, 10), (['5a', 1], ['5b', 1]))
        self.assertEqual(mergeTrees(trees=trees, key=(5.0,), leanPrev=0, mergePrev=0, count=1),
                         [6])
        self.assertEqual(mergeTrees(trees, (5.0,), True, False, 0), [])
        self.assertEqual(mergeTrees([Tree(), self.t2], (9.0,), True, False, 5), [])
        self.assertEqual(mergeTrees([self.t1, self.t1], (0.0,), True, False, 2 ** 31 - 1),
                         [1, '5a', 7])

    def test_duplicates_are_measured_from_the_last_node_kept(self):
        # b lies within the tolerance of a, c only within that of b: c is kept either way.
        chain = Tree(preinit=((5.0,), 'a', long(1), (5.00008,), 'b', long(1), (5.00016,), 'c', long(1),
                              (6.0,), 'd', long(1)))
        self.assertEqual(mergeTrees([chain], (0.0,), True, False, 10), ['a', 'c', 'd'])
        self.assertEqual(mergeTrees([chain], (9.0,), True, True, 10), ['d', 'c', 'a'])

    def test_unset_value_yields_none(self):
        del self.t2.leftmostNode().value
        self.assertEqual(mergeTrees([self.t2], (0.0,), True, False, 3), [None, 6])

    def test_messages(self):
        class Bad(object):
            def __nonzero__(self):
                raise ArithmeticError

            __bool__ = __nonzero__
        t = self.t1
        cases = [
            (ValueError, 'count must not be negative.', ([t], (1.0,), True, True, -1)),
            (TypeError, 'leanPrev must be convertible to boolean.', ([t], (1.0,), Bad(), True, 1)),
            (TypeError, 'mergePrev must be convertible to boolean.', ([t], (1.0,), True, Bad(), 1)),
            (TypeError, 'key must be a sequence of floats of correct length.',
             ([t], 1.0, True, True, 1)),
            (TypeError, 'key must be a sequence of floats of correct length.',
             ([t], (1.0,) * 4, True, True, 1)),
            (TypeError, 'key item is not a float.', ([t], (1,), True, True, 1)),
            (TypeError, 'trees must be a sequence of one or more tessart.Tree instances.',
             ([], (1.0,), True, True, 1)),
            (TypeError, 'trees must be a sequence of one or more tessart.Tree instances.',
             (t, (1.0,), True, True, 1)),
            (TypeError, 'trees item must be an tessart.Tree instance.',
             ([t, 't'], (1.0,), True, True, 1)),
        ]
        for error, message, args in cases:
            with self.assertRaises(error) as caught:
                mergeTrees(*args)
            self.assertEqual(str(caught.exception), message)


class NodeAttributesAndIterationTest(unittest.TestCase):

    def test_weight_tree_length_membership(self):
        tree, other = Tree(), Tree()
        nodes = [TreeNode((float(i),), i) for i in range(5)]
        for i, node in enumerate(nodes):
            self.assertEqual((node.weight, node.tree), (0, None))
            tree.insertByKey(node, i + 1)
        self.assertEqual([(n.weight, n.tree is tree) for n in nodes],
                         [(i + 1, True) for i in range(5)])
        self.assertEqual((len(tree), tree.size(), len(other)), (5, 15, 0))
        self.assertTrue(bool(other))  # a tree is true, empty or not, as it always was
        tree.removeNode(nodes[2])
        other.insertByKey(nodes[2], 7)
        self.assertEqual([n in tree for n in nodes], [True, True, False, True, True])
        self.assertEqual((nodes[2].weight, nodes[2].tree is other, 3 in tree), (7, True, False))
        tree.__init__()  # detaches every node
        self.assertEqual([(n.weight, n.tree) for n in nodes[:2]], [(0, None)] * 2)
        self.assertEqual(Tree(preinit=((1.0,), 'z', long(0))).asList()[0].weight, 0)
        for name in ('weight', 'tree'):
            self.assertRaises(AttributeError, setattr, nodes[0], name, 1)

    def test_iteration_follows_key_order_and_stops_on_change(self):
        tree = Tree(preinit=tuple(x for k in range(6) for x in ((float(k),), k, long(1))))
        references = sys.getrefcount(tree)
        self.assertEqual([n.value for n in tree], list(range(6)))
        self.assertEqual(list(tree), tree.asList())
        self.assertEqual(sys.getrefcount(tree), references)
        changes = (lambda: tree.insertByKey(TreeNode((9.0,)), 1),
                   lambda: tree.removeNode(tree.asList()[-1]),
                   lambda: tree.__init__(preinit=((1.0,), 'a', long(1))))
        for change in changes:
            iterator = iter(tree)
            first = next(iterator)
            tree.sample(1)
            tree.lowerBound((2.0,))  # queries change nothing
            self.assertIs(next(iterator), first.next())
            change()
            self.assertRaisesRegex(RuntimeError, 'Tree changed during iteration.', next,
                                   iterator)
            self.assertRaises(StopIteration, next, iterator)
        self.assertEqual(list(Tree()), [])


class ZeroWeightPickleTest(unittest.TestCase):

    def test_nodes_of_weight_zero_come_back_as_themselves(self):
        import random
        rng = random.Random(4)
        for _ in range(60):
            weights = [rng.choice((0, 0, 1, 3)) for _ in range(rng.randint(1, 9))]
            tree = Tree(preinit=tuple(x for i, w in enumerate(weights)
                                      for x in ((float(i),), i, long(w))))
            nodes = tree.asList()
            for dumps, loads in ((pickle.dumps, pickle.loads), (cPickle.dumps, cPickle.loads)):
                for protocol in (0, 2):
                    copy_ = loads(dumps([tree] + nodes, protocol))
                    self.assertEqual([n.value for n in copy_[1:]], list(range(len(weights))))
                    self.assertTrue(all(n.tree is copy_[0] for n in copy_[1:]))
        # The pickled form grows only for a node of weight 0: what older pickles hold still
        # loads as it did, as the node covering the index.
        tree = Tree(preinit=((1.0,), 'z', long(0), (2.0,), 'w', long(2)))
        zero, weighty = tree.asList()
        self.assertEqual((zero.__reduce__()[1][1:], weighty.__reduce__()[1][1:]),
                         ((0, 0), (0,)))
        self.assertIs(TreeNode(tree, long(0)), weighty)
        self.assertIs(TreeNode(tree, long(0), long(0)), zero)
        for bad in ((long(1), long(0)), (long(0), long(1)), (long(2), long(0))):
            self.assertRaisesRegex(ValueError, 'TreeNode unpickling error.', TreeNode, tree,
                                   *bad)


class NaNKeyTest(unittest.TestCase):

    def test_nan_is_refused_everywhere_and_changes_nothing(self):
        nan, inf = float('nan'), float('inf')
        message = 'key should not hold NaN.'
        tree = Tree(preinit=tuple(x for k in (-inf, 1.0, inf) for x in ((k,), k, long(1))))
        before = tree.items()
        for key in ((nan,), (1.0, nan), (1.0, 2.0, nan), [nan]):
            node = TreeNode(key)
            with self.assertRaisesRegex(ValueError, message):
                tree.insertByKey(node, 1)
            self.assertRaisesRegex(ValueError, 'should be inserted', node.index)
            for query in (tree.lowerBound, tree.upperBound):
                self.assertRaisesRegex(ValueError, message, query, key)
            self.assertRaisesRegex(ValueError, message, tree.getClosestNode, key, 0.0)
            self.assertRaisesRegex(ValueError, message, weightedClosestNode,
                                   [(tree, key, 0.0, 1.0)])
            self.assertRaisesRegex(ValueError, message, mergeTrees, [tree], key, True, True, 2)
            with self.assertRaisesRegex(ValueError, message):
                Tree(preinit=((0.0,), 'a', long(1), key, 'b', long(1)))
        self.assertEqual(tree.items(), before)
        # Infinities stay keys like any other, and the tree pickles and loads.
        self.assertEqual(tree.keys(), [(-inf,), (1.0,), (inf,)])
        self.assertEqual(pickle.loads(pickle.dumps(tree, 2)).items(), before)


class ReferenceTest(unittest.TestCase):

    def test_counts_across_calls(self):
        key, value = (1.0, 2.0), object()
        node = TreeNode(key, value)
        counts = lambda: [sys.getrefcount(x) for x in (key, value, node)]
        before = counts()
        t = Tree()
        t.insertByKey(node, 3)
        self.assertEqual(counts(), [before[0], before[1], before[2] + 1])
        self.assertRaises(ValueError, t.insertByKey, node, 3)
        self.assertRaises(ValueError, Tree().removeNode, node)
        t.getClosestNode(key, 0.0), t.lowerBound(key), t.sample(3), t.items(), t.asList()
        weightedClosestNode([(t, key, 0.0, 1.0)]), mergeTrees([t], key, True, False, 5)
        self.assertRaises(TypeError, mergeTrees, [t, 1], key, True, False, 5)
        self.assertRaises(TypeError, weightedClosestNode, [(t, key, 0.0, 1.0), (t, key, 0, 1.0)])
        cPickle.loads(cPickle.dumps([t, node], 2))
        self.assertEqual(counts(), [before[0], before[1], before[2] + 1])
        tree_count = sys.getrefcount(t)
        self.assertEqual(node.__reduce__()[1][0], t)
        self.assertEqual(sys.getrefcount(t), tree_count)
        t.removeNode(node)
        self.assertEqual(counts(), before)
        t.insertByKey(node, 1)
        del t
        self.assertEqual(counts(), before)
        Tree(preinit=(key, value, long(1)))
        self.assertRaises(ValueError, Tree, preinit=(key, value, long(1), (0.0,), value, long(1)))
        self.assertRaises(TypeError, Tree, preinit=(key, value, long(1), (0,), value, long(1)))
        self.assertEqual(counts(), before)

    def test_cycles_do_not_grow_memory(self):
        value = object()

        def cycle(i):
            t = Tree(preinit=tuple(x for k in range(40) for x in ((float(k),), value, long(1))))
            for k in range(40):
                t.insertByKey(TreeNode((k + 0.5, float(i)), value), k + 1)
            nodes = t.asList()
            nodes[3].nexts(upto=10), nodes[30].prevs(sentinel=nodes[2]), t.sample(50)
            u, n = cPickle.loads(cPickle.dumps([t, nodes[7]], 2))
            mergeTrees([t, u], (20.0,), i % 2, i % 3, 30)
            weightedClosestNode([(t, (3.3,), 0.0, 1.0), (u, (4.4, 1.0), 0.0, 2.0)])
            for node in nodes[::3]:
                t.removeNode(node)

        for i in range(300):
            cycle(i)
        gc.collect()
        objects, rss = len(gc.get_objects()), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        base = sys.getrefcount(value)
        for i in range(2000):
            cycle(i)
        gc.collect()
        self.assertEqual(sys.getrefcount(value), base)
        self.assertLess(len(gc.get_objects()), objects + 50)
        if not UNDER_SANITIZER:  # freed memory sits in the sanitizer's quarantine
            self.assertLess(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss, 4096)


class ScriptCodeDuringCallsTest(unittest.TestCase):
    """Conversions and finalizers that change trees while a call is working."""

    def test_key_that_inserts_its_own_node_elsewhere(self):
        t, other = Tree(), Tree()
        node = TreeNode()
        node.key = Key((1.0,), lambda: other.insertByKey(node, 1))
        self.assertRaisesRegex(ValueError, 'already in some tree', t.insertByKey, node, 1)
        self.assertEqual((t.asList(), other.asList()), ([], [node]))

    def test_upto_that_removes_self_or_the_sentinel(self):
        t, (a, b, c) = build((1, 'a', 1), (2, 'b', 1), (3, 'c', 1))
        self.assertRaisesRegex(ValueError, 'self should be inserted',
                                a.nexts, OnInt(5, lambda: t.removeNode(a)))
        self.assertRaisesRegex(ValueError, 'sentinel should be inserted',
                                b.nexts, OnInt(5, lambda: t.removeNode(c)), c)
        self.assertEqual(t.asList(), [b])

    def test_finalizers_during_initialisation_and_destruction(self):
        t = Tree()
        late = TreeNode((9.0,), 'late')
        old = TreeNode((1.0,), OnDel(lambda: t.insertByKey(late, 1)))
        t.insertByKey(old, 1)
        del old
        t.__init__(preinit=((2.0,), 'new', long(1), (3.0,), 'newer', long(1)))
        self.assertEqual(t.values(), ['new', 'newer', 'late'])
        self.assertEqual(t.size(), 3)

    def test_finalizers_that_move_nodes_still_waiting_for_their_release(self):
        # A value that, when its node is released, moves the tree's other nodes into another
        # tree: every node ends up held by that tree instead, and keeps no reference of the old.
        for destroy in (True, False):
            u, keeper = Tree(), Tree()
            moved = [TreeNode((float(k),), k) for k in range(5)]
            counts = lambda: [sys.getrefcount(node) for node in moved]
            before = counts()
            for node in moved:
                u.insertByKey(node, 1)
            mover = OnDel(lambda: [keeper.insertByKey(node, 1) for node in moved])
            u.insertByKey(TreeNode((9.0,), mover), 1)
            del mover, node
            if destroy:
                del u
            else:
                u.__init__()
                self.assertEqual(u.asList(), [])
            self.assertEqual(keeper.values(), list(range(5)))
            self.assertEqual(list(map(TreeNode.index, moved)), list(range(5)))
            self.assertEqual(counts(), [c + 1 for c in before])
            for node in moved:
                keeper.removeNode(node)
            del node
            self.assertEqual(counts(), before)

    def test_trees_only_the_call_holds(self):
        class Fresh(object):
            """A sequence whose trees exist only while the call holds them."""
            def __len__(self):
                return 3

            def __getitem__(self, i):
                if i >= 3:
                    raise IndexError(i)
                return Tree(preinit=((float(i),), i, long(1), (i + 10.0,), i + 10, long(1)))

        self.assertEqual(mergeTrees(Fresh(), (0.0,), True, False, 10), [0, 1, 2, 10, 11, 12])

        class FreshQueries(Fresh):
            def __getitem__(self, i):
                return (Fresh.__getitem__(self, i), (float(i) + 0.5,), -100.0, 1.0 + i)

        tree, node = weightedClosestNode(FreshQueries())
        self.assertEqual((tree.values(), node.value), ([0, 10], 0))


class KeywordArgumentsTest(unittest.TestCase):
    """f(**d) hands the call the caller's own d: script code that the call runs may clear it,
    which must not free an argument the call is still using."""

    def test_insert_node_known_only_to_the_keywords(self):
        for node_type in (TreeNode, BigNode):
            t, d = Tree(), {}
            node = node_type()
            node.key = BigKey((1.0,), d.clear)
            d.update(node=node, weight=1)
            del node
            t.insertByKey(**d)
            node = t.leftmostNode()
            self.assertEqual(sys.getrefcount(node), 3)  # the tree, node and the argument
            self.assertTrue(type(node) is node_type)
            fresh = [TreeNode((2.0,)) for _ in range(20)]  # would take a node freed in error
            self.assertEqual([n for n in fresh if n is node], [])
            self.assertEqual(t.asList(), [node])

    def test_initialisation_from_keywords_only(self):
        d = {}
        entries = [(BigKey((0.0,), d.clear), [0], long(1))]
        entries += [((float(i),), [i], long(1)) for i in range(1, 40)]
        d.update(interval=Big(), preinit=tuple(x for entry in entries for x in entry))
        del entries
        t = Tree(**d)
        self.assertEqual(t.values(), [[i] for i in range(40)])
        self.assertEqual(t.__reduce__()[1][0], True)

    def test_sentinel_known_only_to_the_keywords(self):
        # Plain nodes are the C library's memory under the sanitizer, as big ones always are.
        for node_type in (TreeNode, BigNode):
            t, (a,) = build((1, 'a', 1))
            d, hold = {}, [node_type((2.0,), 'sentinel')]
            t.insertByKey(hold[0], 1)

            def remove_sentinel_and_clear():
                t.removeNode(hold.pop())
                d.clear()
                # A like-sized node would take the sentinel's memory if it had been freed.
                t.insertByKey(node_type((3.0,), 'later'), 1)

            d.update(sentinel=hold[0], upto=OnInt(5, remove_sentinel_and_clear))
            with self.assertRaises(ValueError) as caught:
                a.nexts(**d)
            self.assertEqual(str(caught.exception), 'sentinel should be inserted in some Tree.')
            self.assertEqual(t.values(), ['a', 'later'])

    def test_query_keys_known_only_to_the_keywords(self):
        t, (a, b) = build((1, 'a', 1), (2, 'b', 1))
        calls = [(t.lowerBound, {}, 'a'), (t.upperBound, {}, 'b'),
                 (t.getClosestNode, {'firstLowerBound': 0.0}, 'b')]
        for method, d, found in calls:
            d['key'] = BigKey([1.5, 0.0], d.clear)
            self.assertEqual(method(**d).value, found)
        # The parser converts the bound after taking the key from d.

        class Bound(Big):
            def __float__(self):
                d.clear()
                return 1.8
        d = {'key': BigKey((1.7,), None), 'firstLowerBound': Bound()}
        self.assertTrue(t.getClosestNode(**d) is b)

    def test_merge_arguments_known_only_to_the_keywords(self):
        class Truth(Big):
            def __nonzero__(self):
                d.clear()
                return False

            __bool__ = __nonzero__

        class Count(Big):
            def __int__(self):
                d.clear()
                return 5

            __index__ = __int__

        def merge(**changes):
            d.clear()
            d.update(trees=[Tree(preinit=((float(i),), [i], long(1))) for i in range(40)],
                     key=BigKey((37.5,), None), leanPrev=True, mergePrev=False, count=5)
            d.update(changes)
            return mergeTrees(**d)

        d = {}
        expected = [[38], [39]]
        self.assertEqual(merge(key=BigKey((37.5,), d.clear)), expected)
        self.assertEqual(merge(mergePrev=Truth()), expected)
        self.assertEqual(merge(count=Count()), expected)

    def test_queries_known_only_to_the_keywords(self):
        d = {}
        near = Tree(preinit=((1.0,), 'near', long(1)))
        d['queries'] = [(near, BigKey((1.0,), d.clear), 0.0, 1.0)]
        d['queries'] += [(Tree(preinit=((2.0,), i, long(1))), (1.0,), 0.0, 0.0005) for i in range(40)]
        tree, node = weightedClosestNode(**d)
        self.assertEqual((tree.values(), node.value), ([0], 0))

    def test_numbers_convert_as_the_parser_converts_them(self):
        t, _ = build((1, 'a', 1))
        for count in (1.5, 'x', 2 ** 40, -2 ** 40, 2 ** 70):
            with self.assertRaises(Exception) as expected:
                t.sample(count)
            with self.assertRaises(Exception) as caught:
                mergeTrees([t], (1.0,), True, False, count)
            self.assertEqual((type(caught.exception), str(caught.exception)),
                             (type(expected.exception), str(expected.exception)))
        self.assertEqual(mergeTrees([t], (0.0,), True, False, OnInt(1, lambda: None)), ['a'])
        self.assertRaisesRegex(TypeError, '^a float is required$' if PY2 else 'must be real number',
                               t.getClosestNode, (1.0,), 'x')
        self.assertEqual(t.getClosestNode((1.0,), 2).value, 'a')


if __name__ == '__main__':
    unittest.main()
