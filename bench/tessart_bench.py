"""Times tessart's operations against a sorted list kept with bisect, in one process.

For each tree size the script builds a tree of random unique float keys and the same keys in a
sorted list, then times loops of --ops operations of each kind, tessart and list side by side and
repeat after repeat interleaved, so that a disturbance of the machine hits both alike. It prints
the median of the repeats in microseconds per operation (per item for asList and preinit) and
tessart's ratio to the list. Two floors measured in the same run show what no call made from
Python gets under: a bare method call and an empty loop. The line "node made alone" times the
first line's loop without its insertion: what making the key tuple and the node costs.

The nodes of the tree are made in key order, as those of a tree loaded from a pickle or built
from sorted data are: neighbours in key order then lie side by side in memory. With
--build-order random they are made in random key order and lie scattered; walks and the lower
levels of descents then miss the cache more often.

Standard library only, Python 2.7 and 3. Runs itself again pinned to one core (taskset -c 1)
where taskset exists; --no-pin keeps it unpinned.

    PYTHONPATH=build python2.7 bench/tessart_bench.py [--sizes 10000,100000] [--repeats 7]
        [--build-order key|random]
"""

from __future__ import print_function

import argparse
import bisect
import os
import random
import subprocess
import sys
import time

PINNED_MARK = "TESSART_BENCH_PINNED"

try:
    range_ = xrange  # Python 2: no list of 10,000 ints per loop
except NameError:
    range_ = range

clock = getattr(time, "perf_counter", time.time)


def pin_to_core():
    """Re-runs this script under taskset -c 1 when possible; returns only if it did not."""
    if os.environ.get(PINNED_MARK):
        return
    for directory in os.environ.get("PATH", "/usr/bin:/bin").split(os.pathsep):
        taskset = os.path.join(directory, "taskset")
        if os.access(taskset, os.X_OK):
            env = dict(os.environ)
            env[PINNED_MARK] = "1"
            sys.stdout.flush()
            sys.exit(subprocess.call([taskset, "-c", "1", sys.executable] + sys.argv, env=env))


def median(values):
    values = sorted(values)
    n = len(values)
    return values[n // 2] if n % 2 else 0.5 * (values[n // 2 - 1] + values[n // 2])


class Workload(object):
    """One tree of `size` nodes and the same keys in a sorted list, with their timed loops.

    Every timed function returns (seconds, count of units) and leaves the tree and the list as
    it found them, undoing its changes outside the timed part.
    """

    def __init__(self, tessart, size, ops, rng, build_order):
        self.tessart = tessart
        self.size = size
        self.ops = ops
        self.rng = rng
        keys = set()
        while len(keys) < size + ops:
            keys.add(rng.random())
        keys = list(keys)
        rng.shuffle(keys)
        self.extra = keys[size:]  # keys inserted and removed again by the insert loops
        keys = keys[:size]
        if build_order == "key":
            keys.sort()
        self.tree = tessart.Tree()
        self.nodes = []
        for k in keys:
            node = tessart.TreeNode((k,), k)
            self.tree.insertByKey(node, 1)
            self.nodes.append(node)
        self.sorted = sorted(keys)
        flat = []
        for k in self.sorted:
            flat.extend(((k,), k, 1 if sys.version_info[0] > 2 else long(1)))  # noqa: F821
        self.flat = tuple(flat)

    def sample_nodes(self):
        return self.rng.sample(self.nodes, self.ops)

    # ---- tessart ----

    def t_insert_new(self):
        TreeNode, insert = self.tessart.TreeNode, self.tree.insertByKey
        made = []
        add = made.append
        start = clock()
        for k in self.extra:
            node = TreeNode((k,))
            insert(node, 1)
            add(node)
        elapsed = clock() - start
        for node in made:
            self.tree.removeNode(node)
        return elapsed, self.ops

    def t_node_only(self):
        # The creation part of t_insert_new alone: the key tuple, the node and the append.
        TreeNode = self.tessart.TreeNode
        made = []
        add = made.append
        start = clock()
        for k in self.extra:
            add(TreeNode((k,)))
        return clock() - start, self.ops

    def t_insert_made(self):
        TreeNode, insert = self.tessart.TreeNode, self.tree.insertByKey
        made = [TreeNode((k,)) for k in self.extra]
        start = clock()
        for node in made:
            insert(node, 1)
        elapsed = clock() - start
        for node in made:
            self.tree.removeNode(node)
        return elapsed, self.ops

    def t_remove(self):
        victims = self.sample_nodes()
        remove = self.tree.removeNode
        start = clock()
        for node in victims:
            remove(node)
        elapsed = clock() - start
        for node in victims:
            self.tree.insertByKey(node, 1)
        return elapsed, self.ops

    def t_remove_fresh(self):
        # As a script keeps handles: a tree just built with preinit, every node taken once
        # from asList(), then removals of present nodes in random order.
        tree = self.tessart.Tree(preinit=self.flat)
        victims = self.rng.sample(tree.asList(), self.ops)
        remove = tree.removeNode
        start = clock()
        for node in victims:
            remove(node)
        return clock() - start, self.ops

    def t_lower_bound(self):
        queries = [self.rng.random() for _ in range_(self.ops)]
        lower = self.tree.lowerBound
        start = clock()
        for x in queries:
            lower((x,))
        return clock() - start, self.ops

    def t_index(self):
        victims = self.sample_nodes()
        start = clock()
        for node in victims:
            node.index()
        return clock() - start, self.ops

    def t_at(self):
        positions = [self.rng.randrange(self.size) for _ in range_(self.ops)]
        at = self.tree.at
        start = clock()
        for i in positions:
            at(i)
        return clock() - start, self.ops

    def t_as_list(self):
        start = clock()
        self.tree.asList()
        return clock() - start, self.size

    def t_preinit(self):
        Tree, flat = self.tessart.Tree, self.flat
        start = clock()
        tree = Tree(preinit=flat)
        elapsed = clock() - start
        del tree
        return elapsed, self.size

    # ---- list + bisect ----

    def b_insert(self):
        a, insort = self.sorted, bisect.insort
        start = clock()
        for k in self.extra:
            insort(a, k)
        elapsed = clock() - start
        for k in self.extra:
            del a[bisect.bisect_left(a, k)]
        return elapsed, self.ops

    def b_remove(self):
        a, find = self.sorted, bisect.bisect_left
        victims = [node.key[0] for node in self.sample_nodes()]
        start = clock()
        for k in victims:
            del a[find(a, k)]
        elapsed = clock() - start
        for k in victims:
            bisect.insort(a, k)
        return elapsed, self.ops

    def b_search(self):
        a, find = self.sorted, bisect.bisect_left
        queries = [self.rng.random() for _ in range_(self.ops)]
        start = clock()
        for x in queries:
            find(a, x)
        return clock() - start, self.ops

    def b_rank(self):
        a, find = self.sorted, bisect.bisect_left
        victims = [node.key[0] for node in self.sample_nodes()]
        start = clock()
        for k in victims:
            find(a, k)
        return clock() - start, self.ops

    def b_at(self):
        a = self.sorted
        positions = [self.rng.randrange(self.size) for _ in range_(self.ops)]
        start = clock()
        for i in positions:
            a[i]
        return clock() - start, self.ops

    def b_as_list(self):
        start = clock()
        list(self.sorted)
        return clock() - start, self.size

    def b_build(self):
        start = clock()
        sorted(self.sorted)
        return clock() - start, self.size

    # ---- floors ----

    def f_call(self):
        length = [].__len__
        start = clock()
        for _ in range_(self.ops):
            length()
        return clock() - start, self.ops

    def f_loop(self):
        start = clock()
        for _ in range_(self.ops):
            pass
        return clock() - start, self.ops


# (label, tessart call, tessart loop, list + bisect loop or None)
OPERATIONS = [
    ("insert, node created", "TreeNode(key) + insertByKey", "t_insert_new", "b_insert"),
    ("node made alone", "TreeNode(key)", "t_node_only", None),
    ("insert, node made", "insertByKey(node, 1)", "t_insert_made", None),
    ("remove", "removeNode(node)", "t_remove", "b_remove"),
    ("remove, fresh tree", "preinit, asList, removeNode", "t_remove_fresh", None),
    ("lower bound", "lowerBound((x,))", "t_lower_bound", "b_search"),
    ("rank", "node.index()", "t_index", "b_rank"),
    ("select", "at(i)", "t_at", "b_at"),
    ("iterate, per item", "asList()", "t_as_list", "b_as_list"),
    ("bulk build, per item", "Tree(preinit=...)", "t_preinit", "b_build"),
]
FLOORS = [("[].__len__()", "f_call"), ("empty for loop", "f_loop")]


def run_size(tessart, size, ops, repeats, seed, build_order):
    work = Workload(tessart, size, ops, random.Random(seed), build_order)
    loops = [m for _, _, t, b in OPERATIONS for m in (t, b) if m] + [m for _, m in FLOORS]
    times = dict((m, []) for m in loops)
    for _ in range_(repeats):
        for m in loops:
            elapsed, units = getattr(work, m)()
            times[m].append(elapsed / units * 1e6)
    return dict((m, median(v)) for m, v in times.items())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="10000,100000", help="tree sizes (default %(default)s)")
    parser.add_argument("--ops", type=int, default=10000, help="operations per timed loop")
    parser.add_argument("--repeats", type=int, default=7, help="interleaved repeats")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--build-order", choices=("key", "random"), default="key",
                        help="order in which the tree's nodes are made (default %(default)s)")
    parser.add_argument("--no-pin", action="store_true", help="do not pin to one core")
    args = parser.parse_args()
    if not args.no_pin:
        pin_to_core()
    import tessart

    pinned = "pinned to core 1" if os.environ.get(PINNED_MARK) else "not pinned"
    print("tessart against list + bisect: median of %d interleaved repeats, %d operations a "
          "loop, %s; Python %s" % (args.repeats, args.ops, pinned, sys.version.split()[0]))
    print("nodes made in %s order" % args.build_order)
    print("us per operation (per item for asList and preinit)")
    for size in [int(s) for s in args.sizes.split(",")]:
        result = run_size(tessart, size, args.ops, args.repeats, args.seed, args.build_order)
        print("")
        print("N = %d" % size)
        print("  %-22s %-28s %9s %12s %7s" % ("operation", "tessart call", "tessart",
                                             "list+bisect", "ratio"))
        for label, call, t, b in OPERATIONS:
            ours = result[t]
            if b:
                theirs = result[b]
                base, ratio = "%12.3f" % theirs, "%7.2f" % (ours / theirs if theirs else 0.0)
            else:
                base, ratio = "%12s" % "-", "%7s" % "-"
            print("  %-22s %-28s %9.3f %s %s" % (label, call, ours, base, ratio))
        print("  floors: %s" % ", ".join("%s %.3f" % (label, result[m]) for label, m in FLOORS))
    print("")
    print("memory per node: %d bytes of node memory (the object of %d bytes, with its embedded "
          "tree record, and the line before it for the collector's head; key and value apart)"
          % (tessart.TreeNode.__basicsize__ + 64, tessart.TreeNode.__basicsize__))


if __name__ == "__main__":
    main()
