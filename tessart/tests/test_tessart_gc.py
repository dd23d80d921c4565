"""Cycles through nodes, their values, keys and instance dicts, trees and iterators are collected;
a collection in the middle of a tree operation leaves every tree consistent. Python 2.7 and 3."""

import gc
import os
import sys
import unittest
import weakref

from tessart import Tree, TreeNode, mergeTrees

UNDER_SANITIZER = 'asan' in os.environ.get('LD_PRELOAD', '')
ONE = 1 if sys.version_info[0] > 2 else long(1)  # noqa: F821


class Player(object):
    """The natural pattern: a player knows its node, whose value is the player."""

    def __init__(self, rating, tree=None):
        self.node = TreeNode((rating,), self)
        if tree is not None:
            self.tree = tree
            tree.insertByKey(self.node, 1)


class Node(TreeNode):
    pass


class Key(list):
    """A key that can hold a reference back."""


class Collecting(object):
    """A number or key that runs a full collection whenever it is read."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        gc.collect()
        return self.value

    __index__ = __int__

    def __bool__(self):
        gc.collect()
        return bool(self.value)

    __nonzero__ = __bool__

    def __len__(self):
        return len(self.value)

    def __getitem__(self, i):
        gc.collect()
        return self.value[i]


def rss_mb():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * os.sysconf('SC_PAGE_SIZE') / 1e6


def check_tree(test, tree):
    nodes = tree.asList()
    test.assertEqual(len(tree), len(nodes))
    test.assertEqual(list(tree), nodes)
    test.assertEqual(tree.size(), sum(n.weight for n in nodes))
    keys = [tuple(n.key) for n in nodes]
    test.assertEqual(sorted(keys), keys)
    test.assertTrue(all(n.tree is tree and n in tree for n in nodes))
    # The collector is shown the nodes it tracks, every one of them.
    test.assertEqual(sorted(map(id, gc.get_referents(tree))),
                     sorted(id(n) for n in nodes if gc.is_tracked(n)))


def garbage_tree(count=20):
    """A tree reachable only through a cycle: tree -> node -> value -> tree."""
    tree = Tree()
    for i in range(count):
        tree.insertByKey(TreeNode((float(i),), [tree]), ONE)
    return tree


class CycleTest(unittest.TestCase):
    def setUp(self):
        gc.collect()

    def assertCollected(self, make):
        """make() builds a cycle and returns an object in it that takes weak references."""
        probes = [weakref.ref(make()) for _ in range(50)]
        gc.collect()
        self.assertEqual([p for p in probes if p() is not None], [])
        self.assertEqual(gc.garbage, [])

    def test_cycles_of_every_shape_are_collected(self):
        def through_dict():
            node = Node((1.0,))
            node.me = node
            node.value = Player(2.0)  # the probe, reachable only from the cycle
            return node.value

        def through_key():
            node = TreeNode(Key([1.0]), Player(3.0))
            node.key.append(node)
            return node.value

        def through_tree():
            tree = Tree()
            return Player(4.0, tree)

        def through_iterator():
            tree = Tree()
            player = Player(5.0, tree)
            player.walk = iter(tree)
            del player.tree
            return player

        for make in (lambda: Player(1.0), through_dict, through_key, through_tree,
                     through_iterator):
            self.assertCollected(make)

    def test_reachable_cycles_are_left_whole(self):
        tree = Tree()
        players = [Player(float(i), tree) for i in range(30)]
        for p in players:
            p.node.key = Key([float(i) for i in p.node.key])
            p.node.key.append(p.node)
        del players
        gc.collect()
        check_tree(self, tree)
        self.assertTrue(all(n.value.node is n and n.key[-1] is n for n in tree))

    def test_a_tree_shows_the_collector_its_tracked_nodes_whatever_changes(self):
        tree = Tree(preinit=tuple(x for i in range(40) for x in ((float(i),), [] if i % 3 else i,
                                                               ONE)))
        nodes = tree.asList()
        for step in range(200):
            node = nodes[(step * 7) % len(nodes)]
            if step % 5 == 0 and node.tree is tree:
                tree.removeNode(node)
            elif step % 5 == 1 and node.tree is None:
                tree.insertByKey(node, ONE)
            else:
                node.value = [node] if step % 2 else step
            check_tree(self, tree)
        tree.insertByKey(Node((0.5,)), ONE)
        check_tree(self, tree)

    def test_nodes_are_tracked_once_they_may_hold_a_cycle(self):
        keep = Tree()
        for _ in range(3):  # fresh nodes, then nodes from the free list
            made = [TreeNode((1.0, 2.0), i) for i in range(100)]
            self.assertFalse(any(gc.is_tracked(n) for n in made))
            for n in made[::2]:
                n.value = Player(0.0)
                n.value.back = n
            made[1].key = (1.0, [made[1]])
            self.assertTrue(all(gc.is_tracked(n) for n in made[::2] + [made[1]]))
            made[1].key = (3.0,)
            self.assertFalse(gc.is_tracked(made[1]))
            probes = [weakref.ref(n.value) for n in made[::2]]
            del made, n
            gc.collect()
            self.assertEqual([p for p in probes if p() is not None], [])
        tree = Tree(preinit=((1.0,), 'a', ONE, (2.0,), [], ONE))
        self.assertEqual([gc.is_tracked(n) for n in tree], [False, True])
        self.assertTrue(gc.is_tracked(Node((1.0,))))
        del keep

    def test_deep_chains_are_released_without_recursing(self):
        node = head = TreeNode((0.0,))
        for i in range(200000):
            node.value = TreeNode((float(i),))
            node = node.value
        del head, node
        tree = head = Tree()
        for i in range(50000):
            nxt = Tree()
            tree.insertByKey(TreeNode((float(i),), nxt), ONE)
            tree = nxt
        del head, tree, nxt
        gc.collect()

    @unittest.skipIf(UNDER_SANITIZER, 'freed memory sits in the sanitizer\'s quarantine')
    def test_memory_comes_back(self):
        # Each loop left 50 to 170 MB behind before nodes took part in collection.
        def players():
            return [Player(float(i)) for i in range(100000)]

        def tree_of_its_own():
            tree = Tree()
            for i in range(100000):
                tree.insertByKey(TreeNode((float(i),), tree), ONE)

        for loop in (players, tree_of_its_own):
            loop()
            gc.collect()
            before = rss_mb()
            for _ in range(3):
                loop()
                gc.collect()
            self.assertLess(rss_mb() - before, 8.0, loop.__name__)


class CollectionDuringOperationTest(unittest.TestCase):
    def test_a_node_whose_tree_is_collected_under_a_call(self):
        tree = garbage_tree()
        node = tree.leftmostNode()
        node.value = None  # held here, it must not hold its tree
        del tree
        with self.assertRaises(ValueError) as caught:
            node.nexts(Collecting(3))
        self.assertEqual(str(caught.exception), 'self should be inserted in some tree.')
        self.assertIsNone(node.tree)
        self.assertEqual(node.weight, 0)
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
            lambda: live.removeNode(live.at(Collecting(3))),
        ]
        for call in calls:
            for _ in range(3):
                garbage_tree()
            call()
            check_tree(self, live)


if __name__ == '__main__':
    unittest.main()
