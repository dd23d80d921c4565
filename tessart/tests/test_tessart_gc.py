"""Cycles through nodes (values, keys, instance dicts), trees and iterators are collected, and a
collection in the middle of a call leaves every tree consistent. Python 2.7 and 3."""

import gc
import os
import pickle
import sys
import unittest
import weakref

from tessart import Tree, TreeNode, mergeTrees

ONE = 1 if sys.version_info[0] > 2 else long(1)  # noqa: F821
Node = type('Node', (TreeNode,), {})
Key = type('Key', (list,), {})  # a key that can refer back


class Player(object):
    def __init__(self, rating, tree=None):
        self.node = TreeNode((rating,), self)  # the natural cycle
        if tree is not None:
            self.tree = tree
            tree.insertByKey(self.node, ONE)


class Collecting(object):
    """A number, truth value or key that runs a full collection whenever it is read."""

    def __init__(self, value):
        self.value = value

    def collect(self):
        gc.collect()
        return self.value

    __int__ = __index__ = collect
    __bool__ = __nonzero__ = lambda self: bool(self.collect())
    __len__ = lambda self: len(self.value)
    __getitem__ = lambda self, i: self.collect()[i]


class Finder(object):
    """A key, or a truth value, that looks for nodes claiming a tree without being in it."""

    def __bool__(self):
        gc.collect()
        strays = [o for o in gc.get_objects() if isinstance(o, TreeNode) and o.tree is not None
                  and o not in list(o.tree)]
        assert strays == [], strays
        return True

    __nonzero__ = __bool__
    __len__ = lambda self: 1
    __getitem__ = lambda self, i: [3.0 if self.__bool__() else 0.0][i]


def check_tree(test, tree):
    nodes = tree.asList()
    keys = [tuple(n.key) for n in nodes]
    test.assertEqual((len(tree), list(tree), sorted(keys)), (len(nodes), nodes, keys))
    test.assertEqual(tree.size(), sum(n.weight for n in nodes))
    test.assertTrue(all(n.tree is tree for n in nodes))
    # The collector is shown every node it tracks, and only those.
    test.assertEqual(sorted(map(id, gc.get_referents(tree))),
                     sorted(id(n) for n in nodes if gc.is_tracked(n)))


def garbage_tree():
    """A tree kept alive only by cycles tree -> node -> value -> tree."""
    tree = Tree()
    for i in range(20):
        tree.insertByKey(TreeNode((float(i),), [tree]), ONE)
    return tree


class CycleTest(unittest.TestCase):
    def test_cycles_of_every_shape_are_collected(self):
        def through_dict():
            node = Node((1.0,), Player(2.0))  # the probe hangs off the cycle
            node.me = node
            return node.value

        def through_key():
            node = TreeNode(Key([1.0]), Player(3.0))
            node.key.append(node)
            return node.value

        def through_iterator():
            player = Player(5.0, Tree())
            player.walk = iter(player.tree)
            del player.tree
            return player

        def through_value_set_later():
            node = TreeNode((1.0,), 7)  # not tracked while it holds a number
            node.value = Player(6.0)
            node.value.back = node
            return node.value

        for make in (lambda: Player(1.0), lambda: Player(4.0, Tree()), through_dict, through_key,
                     through_iterator, through_value_set_later):
            probes = [weakref.ref(make()) for _ in range(50)]
            gc.collect()
            self.assertEqual([p for p in probes if p() is not None], [])
        self.assertEqual(gc.garbage, [])

    def test_live_trees_stay_whole_whatever_their_nodes_hold(self):
        tree = Tree(preinit=tuple(x for i in range(40)
                                  for x in ((float(i),), [] if i % 3 else i, ONE)))
        nodes = tree.asList()
        self.assertEqual([gc.is_tracked(n) for n in nodes[:3]], [False, True, True])
        for step in range(200):
            node = nodes[(step * 7) % len(nodes)]
            if step % 5 == 0 and node.tree is tree:
                tree.removeNode(node)
            elif step % 5 == 1 and node.tree is None:
                tree.insertByKey(node, ONE)
            elif step % 5 == 2 and step % 3:
                node.key = Key([node.key[0]])
                node.key.owner = node
            elif step % 5 == 2:
                node.key = (node.key[0],)
            else:
                node.value = [node] if step % 2 else step
            gc.collect()
            check_tree(self, tree)
        tree.insertByKey(Node((0.5,)), ONE)
        check_tree(self, tree)
        self.assertTrue(all(n.key.owner is n for n in tree if type(n.key) is Key))

    def test_deep_chains_are_released_without_recursing(self):
        # Deep enough to overflow the stack of a recursive release.
        node = head = TreeNode((0.0,))
        for i in range(1000000):
            node.value = node = TreeNode((float(i),))
        tree = first = Tree()
        for i in range(200000):
            tree.insertByKey(TreeNode((float(i),), Tree()), ONE)
            tree = tree.leftmostNode().value
        del head, node, first, tree
        gc.collect()

    def test_no_node_hands_out_a_tree_whose_release_waits(self):
        # Deep enough for the interpreter to defer releases; as each tree goes, a finalizer asks
        # a held node of the tree after it, released just before, for its tree.
        class Probe(object):
            def __init__(self, held, kept, k):
                self.held, self.kept, self.k = held, kept, k

            def __del__(self):
                if self.k + 1 < len(self.held) and self.held[self.k + 1].tree is not None:
                    self.kept.append(self.held[self.k + 1].tree)

        for kind in (Tree, type('Sub', (Tree,), {})):
            held, kept = [], []
            out, devnull = os.dup(1), os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, 1)  # subclassed trees print when made
            try:
                trees = [kind() for _ in range(20000)]
            finally:
                os.dup2(out, 1)
                os.close(out)
                os.close(devnull)
            for k, tree in enumerate(trees):
                held.append(TreeNode((0.0,)))
                tree.insertByKey(held[-1], ONE)
                tree.insertByKey(TreeNode((1.0,), [Probe(held, kept, k)] + trees[k + 1:k + 2]), ONE)
            del trees[1:], tree
            trees.pop()
            self.assertEqual(kept, [])
            self.assertTrue(all(n.tree is None for n in held))


class CollectionDuringCallTest(unittest.TestCase):
    def test_a_held_node_whose_tree_is_collected_under_a_call(self):
        node = garbage_tree().leftmostNode()
        node.value = None  # held here, it must not hold its tree
        with self.assertRaises(ValueError) as caught:
            node.nexts(Collecting(3))
        self.assertEqual(str(caught.exception), 'self should be inserted in some tree.')
        self.assertEqual((node.tree, node.weight), (None, 0))
        other = Tree()
        other.insertByKey(node, ONE)
        check_tree(self, other)

    def test_trees_stay_consistent(self):
        live = Tree(preinit=tuple(x for i in range(40) for x in ((float(i),), i, ONE)))
        calls = [
            lambda: live.insertByKey(TreeNode(Collecting([10.5])), ONE),
            lambda: live.lowerBound(Collecting([20.0])),
            lambda: live.getClosestNode(Collecting([7.0]), float('-inf')),
            lambda: live.sample(Collecting(5)),
            lambda: live.leftmostNode().nexts(Collecting(4)),
            lambda: mergeTrees([live, live], (3.0,), Collecting(1), False, 5),
            lambda: Tree(preinit=(Collecting([1.0]), None, ONE)),
            # Script code run while a tree is being filled finds none of its new nodes.
            lambda: Tree(Finder(), (Finder(), [], ONE, (3.0,), [], ONE, Finder(), [], ONE)),
            lambda: live.removeNode(live.at(Collecting(3))),
        ]
        for call in calls:
            for _ in range(3):
                garbage_tree()
            call()
            check_tree(self, live)

    def test_snapshots_that_calls_allocate_beside_are_out_of_scripts_reach(self):
        # A collection run by an allocation inside items() or pickling calls back into script
        # code that garbles every list of nodes it can find through the collector.
        tree = Tree(preinit=tuple(x for i in range(1000) for x in ((float(i),), i, ONE)))
        expected = ([((float(i),), i) for i in range(1000)], tree.asList())
        armed = []

        def garble(_):
            for o in gc.get_referrers(expected[1][-1]):
                if type(o) is list and o is not expected[1]:
                    o[:] = [0] * len(o)
            arm()

        def arm():
            cycle = Player(0.0)
            armed.append(weakref.ref(cycle, garble))

        threshold = gc.get_threshold()
        arm()
        gc.set_threshold(1)
        try:
            items = tree.items()
            copy = pickle.loads(pickle.dumps(tree, 2))
        finally:
            gc.set_threshold(*threshold)
        self.assertEqual(items, expected[0])
        self.assertEqual(copy.items(), expected[0])


if __name__ == '__main__':
    unittest.main()
