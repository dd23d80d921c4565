"""A C implementation of Andersson balanced search tree"""

from typing import Any, Iterator, List, Optional, Sequence, Tuple, Type, TypeVar, overload

# One to three floats (exactly float, not int).
_Key = Sequence[float]
_Tree = TypeVar('_Tree', bound='Tree')

__version__: str

class TreeNode:
    """AA tree node"""

    key: _Key
    """sequence of floats, used as a key"""
    value: Any
    """associated object value"""
    @property
    def __safe_for_unpickling__(self) -> bool:
        """a flag for cPickle"""
    @property
    def weight(self) -> int:
        """the weight the node was inserted with; 0 while it is in no tree"""
    @property
    def tree(self) -> Optional[Tree]:
        """the tree the node is in, or None"""
    @overload
    def __init__(self, key: _Key = ..., value: Any = ...) -> None:
        """A node outside any tree; key and value stay unset (AttributeError) until given."""
    @overload
    def __init__(self, tree: Tree, index: int, /) -> None:
        """Unpickling: the node of tree covering cumulative weight index, not a new one."""
    @overload
    def __init__(self, tree: Tree, index: int, zeros: int, /) -> None:
        """Unpickling a node of weight 0: the one after zeros nodes of weight 0 at index."""
    def prev(self) -> Optional[TreeNode]:
        """get the previous TreeNode (in key order)."""
    def next(self) -> Optional[TreeNode]:
        """get the next TreeNode (in key order)."""
    def index(self) -> int:
        """returns the sum of weights of all nodes to the left of the current one."""
    def nexts(self, upto: int = ..., sentinel: Optional[TreeNode] = ...) -> List[TreeNode]:
        """get a list of TreeNodes in traversal order following self, up to some number of them
        and/or until pivot TreeNode is met."""
    def prevs(self, upto: int = ..., sentinel: Optional[TreeNode] = ...) -> List[TreeNode]:
        """get a list of TreeNodes in traversal order preceding self, up to some number of them
        and/or until pivot TreeNode is met."""
    def __reduce__(self) -> Tuple[Type[TreeNode], Tuple[Tree, int]]:
        """a pickling support method"""

class Tree:
    """AA tree"""

    @property
    def __safe_for_unpickling__(self) -> bool:
        """a flag for cPickle"""
    def __init__(self, interval: object = ..., preinit: Tuple[Any, ...] = ...) -> None:
        """Empties the tree, then fills it from preinit: (key, value, weight, ...) in key order,
        each weight an int, as pickling writes them. interval is only stored and pickled."""
    def __len__(self) -> int:
        """The number of nodes (size() is their total weight)."""
    def __iter__(self) -> Iterator[TreeNode]:
        """The nodes in key order; a change of the tree ends the iteration with RuntimeError."""
    def __contains__(self, node: object) -> bool:
        """Whether node is a TreeNode in this tree."""
    def __bool__(self) -> bool:
        """True, empty or not."""
    def insertByKey(self, node: TreeNode, weight: int) -> None:
        """insert a node using its key attribute as a pivot, with 64-bit weight."""
    def removeNode(self, node: TreeNode) -> None:
        """remove some node already in the tree."""
    def getClosestNode(self, key: _Key, firstLowerBound: float) -> Optional[TreeNode]:
        """get a node with the nearest (box-metric) key, but presumably not lower than the lower
        bound"""
    def sample(self, n: int) -> List[TreeNode]:
        """sample a tree uniformly into a list, in ascending order, taking node weights into
        account"""
    def leftmostNode(self) -> Optional[TreeNode]:
        """return the node with the lowest lexicographic key value in the tree."""
    def rightmostNode(self) -> Optional[TreeNode]:
        """return the node with the highest lexicographic key value in the tree."""
    def at(self, index: int) -> Optional[TreeNode]:
        """return the node corresponding to a cumulative weight interval containing the
        parameter, or None if the index is out of bounds."""
    def lowerBound(self, key: _Key) -> Optional[TreeNode]:
        """return the rightmost node which is less than the key, or None if no such node
        exists."""
    def upperBound(self, key: _Key) -> Optional[TreeNode]:
        """return the leftmost node which is greater than the key, or None if no such node
        exists."""
    def size(self) -> int:
        """returns the sum of node weights for all nodes in the tree."""
    def asList(self) -> List[TreeNode]:
        """returns the list of all nodes in the tree, in the order of non-decreasing keys."""
    def items(self) -> List[Tuple[_Key, Any]]:
        """returns the list of (key, value) tuples."""
    def keys(self) -> List[_Key]:
        """returns the list of keys."""
    def values(self) -> List[Any]:
        """returns the list of values."""
    def shape(self) -> Tuple[int, int, int]:
        """returns a 3-tuple (node count, minimum depth, maximum depth)."""
    def __reduce__(self: _Tree) -> Tuple[Type[_Tree], Tuple[bool, Tuple[Any, ...]]]:
        """a pickling support method"""

def weightedClosestNode(
        queries: Sequence[Tuple[Tree, _Key, float, float]]) -> Optional[Tuple[Tree, TreeNode]]:
    """Given an iterable 'queries' of 4-tuples (Tree, key, firstLowerBound, weight), returns the
    2-tuple (Tree, TreeNode) with the closest (weighted) match or None, if all the supplied
    Trees are empty."""

def mergeTrees(trees: Sequence[Tree], key: _Key, leanPrev: object, mergePrev: object,
               count: int) -> List[Any]:
    """Splits each tree by the key (before the nodes equal to it if leanPrev, after them
    otherwise), merges the runs that follow the cut (or precede it, walking backwards, if
    mergePrev) in key order, and returns the values of up to count nodes, keys equal within the
    tolerance only once."""
