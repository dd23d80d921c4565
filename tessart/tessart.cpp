// The Python binding of the weighted AA tree: module tessart with its types Tree and TreeNode and
// the functions weightedClosestNode and mergeTrees.
//
// Every TreeNode embeds its tree record, so a Tree is nothing but a root link plus one counted
// reference per node, and inserting allocates nothing. A node in a tree points back to that tree
// through its record's holder, a borrowed pointer that is null while the node is in no tree.
// Released plain nodes are kept on a module-wide free list while some tree exists.
//
// Calls back into Python (sequence access on keys, __int__ and __float__ of numbers, truth tests,
// and the __del__ of anything whose last reference goes, including objects freed by a garbage
// collection that an allocation of a list or tuple starts) can run any script code, which may
// insert, remove or free nodes and trees. The binding therefore keeps to these habits:
// - Arguments are read and converted before the checks and the work that depend on them, or the
//   checks are made again after the conversions.
// - Lists are made before a walk and grown with PyList_Append, which never calls out, so no
//   script code runs between reading a tree and storing what was read. Anything that must
//   allocate Python objects per node works on such a snapshot, which holds the nodes alive.
// - A call holds its own references to the trees and nodes it keeps across conversions, and to
//   every parsed argument it uses after calling out: arguments passed by keyword are borrowed
//   from the keyword dictionary, which for f(**d) is the caller's own d, free to be cleared by
//   the script code a conversion runs. For the same reason numbers that follow other arguments
//   are parsed as objects and converted once those arguments are held, since the parser's own
//   conversions call out too.
// - A tree's root is emptied (or replaced) before its old nodes are released, and references
//   are dropped last, when the tree is consistent again.
//
// The module is C++ without the standard library, exceptions or RTTI: work arrays come from
// malloc, plain nodes from the module's node memory (see Node memory), other objects from the
// interpreter's allocators.

#include <Python.h>
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <structmember.h>
#if PY_MAJOR_VERSION < 3
#include <longintrepr.h>  // the digits of longs; Python 3 includes it itself
#endif

#include "AATree.h"
#include "NodeMemory.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Python 2 and Python 3
//
// The module builds for both interpreters. What differs between them is kept here, in the
// pickling of trees for Python 2.7 (after tree_reduce) and in the module initialisation at the
// end of this file; the rest is written once. Python 3 has one integer type, which stands in for
// both of Python 2: a "long" below (weights, ranks, sizes) is an int there.

// The guard of deallocations that may go deep (a node releasing a value that releases another
// node, and so on): beyond a certain depth the interpreter defers them instead of recursing.
// The code between the two never returns early.
#if PY_VERSION_HEX >= 0x03080000
#define DEALLOC_GUARD_BEGIN(object, dealloc) Py_TRASHCAN_BEGIN(object, dealloc)
#define DEALLOC_GUARD_END(object) Py_TRASHCAN_END
#else
#define DEALLOC_GUARD_BEGIN(object, dealloc) Py_TRASHCAN_SAFE_BEGIN(object)
#define DEALLOC_GUARD_END(object) Py_TRASHCAN_SAFE_END(object)
#endif

#if PY_MAJOR_VERSION >= 3
#define TESSART_PY3 1

inline PyObject* internString(const char* text) {
    return PyUnicode_InternFromString(text);
}
// The interpreter's own conversion of a number to a C long. May run script code.
inline long numberAsLong(PyObject* object) {
    return PyLong_AsLong(object);
}

// Converts as the argument parser's "i" format does, with its errors, which differ between
// Python 3 versions. Returns false with an error set. May run script code.
bool readInt(PyObject* object, int* out) {
    return PyArg_Parse(object, "i", out) != 0;
}

// Python 2's int, whose value is always a C long; Python 3 has no such type.
inline bool isSmallInt(PyObject* /*object*/) {
    return false;
}
inline bool isExactSmallInt(PyObject* /*object*/) {
    return false;
}
inline long smallIntValue(PyObject* /*object*/) {
    return 0;
}

#else

inline PyObject* internString(const char* text) {
    return PyString_InternFromString(text);
}
inline long numberAsLong(PyObject* object) {
    return PyInt_AsLong(object);
}

inline bool isSmallInt(PyObject* object) {
    return PyInt_Check(object);
}
inline bool isExactSmallInt(PyObject* object) {
    return PyInt_CheckExact(object);
}
inline long smallIntValue(PyObject* object) {
    return PyInt_AS_LONG(object);
}

#endif

// Reads an exact long (an int on Python 3) of at most one digit in place: true with its value,
// or false (nothing set, no error) for any other. Python 3.12 keeps the sign and the number of
// digits in a tag of its own; before it, the signed size is the number of digits.
inline bool readOneDigitLong(PyObject* object, int64_t* value) {
#if PY_VERSION_HEX >= 0x030C0000
    const PyLongObject* number = reinterpret_cast<const PyLongObject*>(object);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    *value = PyUnstable_Long_CompactValue(number);
#else
    Py_ssize_t size = Py_SIZE(object);
    if (size < -1 || size > 1) return false;
    // Zero has no digit to read.
    *value = size
                 ? size * static_cast<int64_t>(reinterpret_cast<PyLongObject*>(object)->ob_digit[0])
                 : 0;
#endif
    return true;
}

// ---------------------------------------------------------------------------------------------
// Object layouts

struct TreeObject;

// clang-format off
struct TreeNodeObject {
    PyObject_HEAD
    PyObject* key;          // null while unset
    PyObject* value;        // null while unset
    // Last: the object's first line holds the header, key, value and the record's fields that
    // only some operations read, the second what descents, climbs and rebalancing read.
    // record.holder is the tree (borrowed) while the node is in one.
    TreeNodeRecord record;
};

struct TreeObject {
    PyObject_HEAD
    uint8_t interval;  // stored and pickled, read by nothing else
    TreeNodeRecord* root;
    // The number of nodes, as the length to make lists with; what reads it copes with any value.
    Py_ssize_t nodeCount;
    // How many of its nodes the collector tracks: the collector's walks need visit no others.
    Py_ssize_t trackedNodes;
    // Counts the changes of the content, so that an iteration can tell it was changed under it.
    uint64_t changes;
};
// clang-format on

// The size of a TreeNode object: what a plain node takes of its slot (see Node memory), and
// what the allocator of subclasses gives each instance.
constexpr size_t NODE_OBJECT_SIZE = (sizeof(TreeNodeObject) + 127) / 128 * 128;
static_assert(NODE_OBJECT_SIZE == 128, "a node is two cache lines");

inline TreeObject* treeOf(const TreeNodeObject* node) {
    return static_cast<TreeObject*>(node->record.holder);
}

// The tree of a node, or null when it is in none or its tree is being destroyed: the
// interpreter may defer the destruction of a tree (of a subclass of Tree, say) while script code
// runs, and a new reference to it then would outlive it.
inline TreeObject* liveTreeOf(const TreeNodeObject* node) {
    TreeObject* tree = treeOf(node);
    return tree && Py_REFCNT(tree) > 0 ? tree : nullptr;
}

extern PyTypeObject TreeNodeType;
extern PyTypeObject TreeType;

// ---------------------------------------------------------------------------------------------
// Module state

// Released plain nodes, linked through record.holder, kept for reuse while some tree exists.
TreeNodeObject* freeNodes = nullptr;
int32_t freeNodeCount = 0;
// TreeNode objects created and not yet released (the free list does not count).
int32_t liveNodeCount = 0;
// Live Tree objects; the free list is emptied when the last one goes.
int32_t treeCount = 0;

// The interned name "key", so that reading a node's key to insert it allocates nothing.
PyObject* keyAttribute = nullptr;

// The free list takes any released node while it holds at most this many...
constexpr int32_t FREE_LIST_FLOOR = 15;
// ...and beyond that only while it holds less than one node per this many in use.
constexpr int32_t FREE_LIST_SHARE = 5;

// ---------------------------------------------------------------------------------------------
// Node memory
//
// A plain node takes a slot of the module's node memory (NodeMemory.h): its object fills the
// slot's last two lines, its record's descent line the last of them, and the head that the
// interpreter's cycle collector keeps right before every object it collects ends the first.
// The module's free list holds live objects and is not seen by the node memory: a slot is only
// reused once its object has been freed.

#if PY_VERSION_HEX >= 0x03080000
// Two words since 3.8, whose declaration later versions keep to the interpreter itself.
constexpr size_t GC_HEAD_SIZE = 2 * sizeof(uintptr_t);
#else
constexpr size_t GC_HEAD_SIZE = sizeof(PyGC_Head);
#endif
constexpr size_t NODE_OBJECT_OFFSET = NODE_SLOT_SIZE - NODE_OBJECT_SIZE;
static_assert(NODE_OBJECT_OFFSET == NODE_SLOT_HOT, "the node memory loads the object ahead");
static_assert(GC_HEAD_SIZE <= NODE_OBJECT_OFFSET, "the collector's head fits before the object");
static_assert((NODE_OBJECT_OFFSET + offsetof(TreeNodeObject, record) + RECORD_LINE_OFFSET) %
                      CACHE_LINE ==
                  0,
              "a node's descent line is a line of its own");

// Marks the collector's head of an object made outside the interpreter's allocators as that of
// an object not tracked, as those allocators do.
inline void clearGcHead(void* object) {
#if PY_VERSION_HEX >= 0x03080000
    uintptr_t* head = static_cast<uintptr_t*>(object) - 2;
    head[0] = 0;
    head[1] = 0;
#else
    PyGC_Head* head = static_cast<PyGC_Head*>(object) - 1;
    head->gc.gc_next = nullptr;
    head->gc.gc_prev = nullptr;
#if PY_MAJOR_VERSION >= 3
    head->gc.gc_refs = 0;
    _PyGCHead_SET_REFS(head, _PyGC_REFS_UNTRACKED);
#else
    head->gc.gc_refs = _PyGC_REFS_UNTRACKED;
#endif
#endif
}

// A free slot's head is always that of an object not tracked (a node is no longer tracked when
// it is freed), so that making a node that is never tracked does not touch the slot's first
// line at all. Zeroed memory is such a head since 3.8; before, every slot is marked so when its
// chunk is mapped.
void prepareSlot(void* slot) {
    clearGcHead(static_cast<char*>(slot) + NODE_OBJECT_OFFSET);
}

NodeMemory nodeMemory(PY_VERSION_HEX >= 0x03080000 ? nullptr : prepareSlot);

// Starts loading, for writing, the lines of a recycled node object that making a node and
// inserting it write: both of them (the collector's head only when it is tracked).
inline void prefetchNodeForWrite(const void* object) {
    const char* bytes = static_cast<const char*>(object);
    __builtin_prefetch(bytes, 1);
    __builtin_prefetch(bytes + sizeof(TreeNodeObject) - 1, 1);
}

// Under AddressSanitizer every plain node is the C library's memory, freed when released and
// never kept on the free list, so that the sanitizer sees a node used after its release: the
// node memory would hide it, and so would the interpreter's small-object pools.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool OWN_NODE_MEMORY = false;
#else
constexpr bool OWN_NODE_MEMORY = true;
#endif

// Memory for one plain TreeNode object with its collector's head, not tracked, and its record's
// holderTag 0; or null (nothing set) when it cannot be had.
inline void* allocateNodeMemory() {
    if (OWN_NODE_MEMORY) {
        char* slot = static_cast<char*>(nodeMemory.allocate());
        return slot ? slot + NODE_OBJECT_OFFSET : nullptr;
    }
    char* block = static_cast<char*>(malloc(GC_HEAD_SIZE + NODE_OBJECT_SIZE));
    if (!block) return nullptr;
    char* object = block + GC_HEAD_SIZE;
    clearGcHead(object);
    reinterpret_cast<TreeNodeObject*>(object)->record.holderTag = 0;
    return object;
}

// The tp_free of TreeNode: gives back the memory of a plain node.
void freeNodeMemory(void* object) {
    if (OWN_NODE_MEMORY)
        nodeMemory.release(static_cast<char*>(object) - NODE_OBJECT_OFFSET);
    else
        free(static_cast<char*>(object) - GC_HEAD_SIZE);
}

// ---------------------------------------------------------------------------------------------
// Helpers

inline TreeObject* asTree(PyObject* object) {
    return reinterpret_cast<TreeObject*>(object);
}
inline TreeNodeObject* asNode(PyObject* object) {
    return reinterpret_cast<TreeNodeObject*>(object);
}
inline PyObject* asObject(void* object) {
    return static_cast<PyObject*>(object);
}

// The TreeNode that embeds `record`, whether or not it is in a tree.
inline TreeNodeObject* nodeOf(TreeNodeRecord* record) {
    return reinterpret_cast<TreeNodeObject*>(reinterpret_cast<char*>(record) -
                                             offsetof(TreeNodeObject, record));
}
inline PyObject* nodeObject(TreeNodeRecord* record) {
    return asObject(nodeOf(record));
}

// A new reference to the node embedding `record`, or to None when it is null.
PyObject* nodeOrNone(TreeNodeRecord* record) {
    PyObject* result = record ? nodeObject(record) : Py_None;
    Py_INCREF(result);
    return result;
}

inline uint64_t totalWeight(const TreeObject* tree) {
    return tree->root ? tree->root->weightSum : 0;
}

// Sets type(message) and returns null.
PyObject* fail(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return nullptr;
}

// Sets type(message) and returns -1.
int failInt(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return -1;
}

// Reports a walk that ran out of stack (TREE_WALK_FAILED); returns null.
PyObject* walkFailed() {
    return fail(PyExc_SystemError, "the tree is too deep to traverse.");
}

// An uninitialised array of n elements from malloc, or null (with MemoryError set) when it
// cannot be had. Free with free().
template <typename T>
T* allocateArray(size_t n) {
    T* array = n > SIZE_MAX / sizeof(T) ? nullptr : static_cast<T*>(malloc(n ? n * sizeof(T) : 1));
    if (!array) PyErr_NoMemory();
    return array;
}

// char* for the keyword arrays of PyArg_ParseTupleAndKeywords, which predates const.
constexpr char* keyword(const char* name) {
    return const_cast<char*>(name);
}

// PyMethodDef wants every function as a PyCFunction; the flags say how it is really called.
// A macro, so that the method tables stay constant data.
#define KEYWORD_METHOD(function) \
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function))

// Convert as the argument parser's "d" and "i" formats do, with the same errors, for numbers that
// are parsed as objects (see the top of this file). Return false with an error set. May run
// script code.
bool readDouble(PyObject* object, double* out) {
    double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return false;
    *out = value;
    return true;
}

#ifndef TESSART_PY3
bool readInt(PyObject* object, int* out) {
    if (PyFloat_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "integer argument expected, got float");
        return false;
    }
    long value = numberAsLong(object);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value > INT_MAX || value < INT_MIN) {
        PyErr_SetString(PyExc_OverflowError, value > INT_MAX
                                                 ? "signed integer is greater than maximum"
                                                 : "signed integer is less than minimum");
        return false;
    }
    *out = static_cast<int>(value);
    return true;
}
#endif

// ---------------------------------------------------------------------------------------------
// Keys

// The messages of one reader of keys, which differ between the places keys are read.
struct KeyMessages {
    const char* notSequence;
    const char* badLength;
    const char* notFloat;
};

const KeyMessages NODE_KEY = {"key must be iterable.",
                              "node.key fails to meet length restrictions.",
                              "node.key items must be floats."};
const KeyMessages QUERY_KEY = {"key must be an iterable.", "key fails to meet length restrictions.",
                               "key items must be floats."};
const KeyMessages QUERIES_ITEM_KEY = {"item 1 of queries item must be a sequence of floats.",
                                      "item 1 of queries item fails to meet length restrictions.",
                                      "item 1 of queries item is not a sequence of floats."};
const KeyMessages MERGE_KEY = {"key must be a sequence of floats of correct length.",
                               "key must be a sequence of floats of correct length.",
                               "key item is not a float."};

// A NaN coordinate compares equal to everything: a tree holding one falls out of order, and its
// pickle no longer loads. Infinities order like any number.
inline int refuseNaN(const double* coords, int length) {
    for (int k = 0; k < length; ++k)
        if (coords[k] != coords[k]) return failInt(PyExc_ValueError, "key should not hold NaN.");
    return length;
}

// Reads a sequence of 1 to KEY_SIZE floats (exactly float, no subclass, no NaN) into `out`.
// Returns the length, or -1 with an error set. Sequence access may run script code.
// readKey for an exact tuple, which answers the sequence protocol with its own items and runs no
// script code, so its items are read in place. Subclasses may override the protocol: they take
// the generic path.
inline int readTupleKey(PyObject* tuple, double* out, const KeyMessages& messages) {
    Py_ssize_t length = PyTuple_GET_SIZE(tuple);
    if (length < 1 || length > KEY_SIZE) return failInt(PyExc_TypeError, messages.badLength);
    for (Py_ssize_t k = 0; k < length; ++k) {
        PyObject* item = PyTuple_GET_ITEM(tuple, k);
        if (!PyFloat_CheckExact(item)) return failInt(PyExc_TypeError, messages.notFloat);
        out[k] = PyFloat_AS_DOUBLE(item);
    }
    if (refuseNaN(out, static_cast<int>(length)) < 0) return -1;
    // A tuple of floats can never be part of a cycle. The collector would find that out and
    // stop tracking it at its next pass, after traversing it; a key kept by a node is spared
    // that pass.
    PyObject_GC_UnTrack(tuple);
    return static_cast<int>(length);
}

int readKey(PyObject* object, double* out, const KeyMessages& messages) {
    if (PyTuple_CheckExact(object)) return readTupleKey(object, out, messages);
    if (!PySequence_Check(object)) return failInt(PyExc_TypeError, messages.notSequence);
    Py_ssize_t length = PySequence_Size(object);
    if (length < 0) return -1;
    if (length < 1 || length > KEY_SIZE) return failInt(PyExc_TypeError, messages.badLength);
    for (Py_ssize_t k = 0; k < length; ++k) {
        PyObject* item = PySequence_GetItem(object, k);
        if (!item) return -1;
        if (!PyFloat_CheckExact(item)) {
            Py_DECREF(item);
            return failInt(PyExc_TypeError, messages.notFloat);
        }
        out[k] = PyFloat_AS_DOUBLE(item);
        Py_DECREF(item);
    }
    return refuseNaN(out, static_cast<int>(length));
}

// Release callback of the trees: drops the tree's reference to a node. Its holder is already
// null; the record may even be in another tree again, if some earlier release reinserted it.
void releaseNode(TreeNodeRecord* record, void* /*context*/) {
    Py_DECREF(nodeObject(record));
}

bool countNode(TreeNodeRecord* /*record*/, void* count) {
    ++*static_cast<size_t*>(count);
    return true;
}

// Release callback that only collects the nodes, so that no script code runs during the walk.
struct Released {
    PyObject** nodes;
    size_t size;
    size_t count;
};

void collectNode(TreeNodeRecord* record, void* context) {
    Released* released = static_cast<Released*>(context);
    if (released->count < released->size) released->nodes[released->count++] = nodeObject(record);
}

// Empties the tree at *root and drops its reference to each of its nodes. Dropping one may run
// script code that inserts another node still waiting for its release into some tree, and the
// core's walk ends there, leaving the nodes after it with the tree's reference for good. So the
// nodes are detached into an array first, out of the scripts' reach, and released from it. Only
// when no array can be had (out of memory, or a tree too deep to count) does the core's walk
// drop the references itself.
void releaseContent(TreeNodeRecord** root) {
    size_t size = 0;
    if (walkInOrder(*root, countNode, &size) == TREE_WALK_COMPLETE && size > 0) {
        // No overflow: size objects exist.
        PyObject** nodes = static_cast<PyObject**>(malloc(size * sizeof(PyObject*)));
        if (nodes) {
            Released released = {nodes, size, 0};
            releaseTree(root, collectNode, &released);
            for (size_t i = 0; i < released.count; ++i) Py_DECREF(nodes[i]);
            free(nodes);
            return;
        }
    }
    releaseTree(root, releaseNode, nullptr);
}

// ---------------------------------------------------------------------------------------------
// TreeNode: creation, free list, destruction

// A plain TreeNode object with only its header set: a recycled node when one is free, else new
// memory. Returns a new reference, or null with MemoryError set. Runs no script code. Always
// inlined: preinit makes its nodes in a loop of its own.
__attribute__((always_inline)) inline TreeNodeObject* createPlainNode() {
    TreeNodeObject* node;
    if (freeNodes) {
        node = freeNodes;
        freeNodes = static_cast<TreeNodeObject*>(node->record.holder);
        if (freeNodes) prefetchNodeForWrite(freeNodes);
        // The one after that too (see treenode_dealloc); null is a prefetch that does nothing.
        __builtin_prefetch(node->record.right);
        --freeNodeCount;
    } else {
        // What the inherited allocator does for this type, in node memory, less clearing
        // memory that is about to be set or is set on insertion. Making a node therefore does
        // not count towards the interpreter's next collection; what is made with it does.
        node = static_cast<TreeNodeObject*>(allocateNodeMemory());
        if (!node) {
            PyErr_NoMemory();
            return nullptr;
        }
    }
    (void)PyObject_INIT(node, &TreeNodeType);
    ++liveNodeCount;
    return node;
}

// False when `object` can be part of no reference cycle: it is no container the collector
// knows, or an exact tuple of none (which the interpreter itself stops tracking).
inline bool mayHoldCycle(PyObject* object) {
    if (!object || !PyType_IS_GC(Py_TYPE(object))) return false;
    if (!PyTuple_CheckExact(object)) return true;
    PyObject* const* items = &PyTuple_GET_ITEM(object, 0);
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(object); i < n; ++i)
        if (PyType_IS_GC(Py_TYPE(items[i]))) return true;
    return false;
}

// Plain nodes are tracked by the collector exactly while their key or value may hold a cycle,
// so that nodes keyed by tuples of floats and holding numbers or strings cost the collector
// nothing; holderTag says whether a plain node is tracked. Subclass instances are tracked from
// birth, as their instance dicts may hold anything.
constexpr uint8_t NODE_TRACKED = 1;

inline bool needsTracking(const TreeNodeObject* node) {
    return mayHoldCycle(node->key) || mayHoldCycle(node->value);
}

// needsTracking for a node whose key has been read: a tuple key then holds floats alone.
inline bool readNodeNeedsTracking(const TreeNodeObject* node) {
    return (!PyTuple_CheckExact(node->key) && mayHoldCycle(node->key)) || mayHoldCycle(node->value);
}

inline bool isTracked(const TreeNodeObject* node) {
    return Py_TYPE(node) != &TreeNodeType || node->record.holderTag == NODE_TRACKED;
}

// Call whenever a plain node's key or value changed. Runs no script code.
inline void updateTracking(TreeNodeObject* node) {
    if (Py_TYPE(node) != &TreeNodeType) return;
    bool needed = needsTracking(node);
    if (needed == (node->record.holderTag == NODE_TRACKED)) return;
    node->record.holderTag = needed ? NODE_TRACKED : 0;
    if (node->record.holder) treeOf(node)->trackedNodes += needed ? 1 : -1;
    if (needed)
        PyObject_GC_Track(node);
    else
        PyObject_GC_UnTrack(node);
}

// A detached node of `type` with no key and no value: a recycled node when `type` is TreeNode
// itself and one is free, else a new object from the type's allocator. Subclass instances are
// never recycled, so they always come from, and go back to, their own type. Returns a new
// reference, or null with the allocator's error set. Runs no script code.
PyObject* treenode_create(PyTypeObject* type) {
    TreeNodeObject* node;
    if (type == &TreeNodeType) {
        node = createPlainNode();
        if (!node) return nullptr;
    } else {
        // Tracked already, with every field cleared.
        node = asNode(type->tp_alloc(type, 0));
        if (!node) return nullptr;
        ++liveNodeCount;
    }
    node->key = nullptr;
    node->value = nullptr;
    node->record.holder = nullptr;
    return asObject(node);
}

// TreeNode(tree, index), as unpickling calls it, is the node of that tree covering cumulative
// weight index; anything else makes a new node.
// Only a pair of a Tree and an integer can be that call, so anything else is not parsed at all
// (a parse that fails costs an exception). An index beyond the weights a tree can hold, negative
// or of 2**64 and more, is no position of any node.
// Reads an int or a long of 0 .. 2**64 - 1 without calling out: true with its value; false (no
// error set) when it is out of range; -1 when it is no integer at all.
int readUnpicklingNumber(PyObject* object, unsigned PY_LONG_LONG* value) {
    if (isSmallInt(object)) {
        long small = smallIntValue(object);
        *value = static_cast<unsigned PY_LONG_LONG>(small);
        return small >= 0;
    }
    if (!PyLong_Check(object)) return -1;
    *value = PyLong_AsUnsignedLongLong(object);
    if (*value == static_cast<unsigned PY_LONG_LONG>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    return 1;
}

// The node that TreeNode(tree, index[, zeros]) names, or null. A node of some weight is the one
// covering index; a node of weight 0 covers nothing and shares its index with the nodes after it
// up to the next of some weight, so its pickle adds how many nodes of weight 0 come before it
// at that index.
TreeNodeRecord* unpickledNode(TreeObject* tree, uint64_t index, bool hasZeros, uint64_t zeros) {
    TreeNodeRecord* covering = selectByWeight(tree->root, index);
    if (!hasZeros) return covering;
    // The nodes of weight 0 at index lie right before the node starting at index, or at the end.
    if (covering && nodeRank(covering) != index) return nullptr;
    TreeNodeRecord* first = nullptr;
    for (TreeNodeRecord* cur = covering ? nodePrev(covering) : rightmostNode(tree->root);
         cur && cur->weight == 0; cur = nodePrev(cur))
        first = cur;
    if (!first || nodeRank(first) != index) return nullptr;
    for (uint64_t k = 0; k < zeros && first; ++k) first = nodeNext(first);
    return first && first->weight == 0 ? first : nullptr;
}

PyObject* treenode_new(PyTypeObject* type, PyObject* args, PyObject* /*kwds*/) {
    Py_ssize_t given = args ? PyTuple_GET_SIZE(args) : 0;
    if ((given == 2 || given == 3) && Py_TYPE(PyTuple_GET_ITEM(args, 0)) == &TreeType) {
        unsigned PY_LONG_LONG index = 0, zeros = 0;
        int indexRead = readUnpicklingNumber(PyTuple_GET_ITEM(args, 1), &index);
        int zerosRead = given == 3 ? readUnpicklingNumber(PyTuple_GET_ITEM(args, 2), &zeros) : 1;
        if (indexRead >= 0 && zerosRead >= 0) {
            TreeNodeRecord* found =
                indexRead && zerosRead
                    ? unpickledNode(asTree(PyTuple_GET_ITEM(args, 0)), index, given == 3, zeros)
                    : nullptr;
            if (!found) return fail(PyExc_ValueError, "TreeNode unpickling error.");
            return nodeOrNone(found);
        }
    }
    return treenode_create(type);
}

int treenode_init(PyObject* self, PyObject* args, PyObject* kwds) {
    TreeNodeObject* node = asNode(self);
    // A node found by TreeNode(tree, index) keeps its key and value.
    if (node->record.holder) return 0;
    static char* keywords[] = {keyword("key"), keyword("value"), nullptr};
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // Up to two positional arguments need no parser: TreeNode(key) is the common call.
    Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (!kwds && given <= 2) {
        if (given > 0) key = PyTuple_GET_ITEM(args, 0);
        if (given > 1) value = PyTuple_GET_ITEM(args, 1);
    } else if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OO:TreeNode", keywords, &key, &value)) {
        return -1;
    }
    PyObject* oldKey = nullptr;
    PyObject* oldValue = nullptr;
    if (key) {
        Py_INCREF(key);
        oldKey = node->key;
        node->key = key;
    }
    if (value) {
        Py_INCREF(value);
        oldValue = node->value;
        node->value = value;
    }
    updateTracking(node);
    Py_XDECREF(oldKey);
    Py_XDECREF(oldValue);
    return 0;
}

int treenode_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(asNode(self)->key);
    Py_VISIT(asNode(self)->value);
    return 0;
}

// Breaks a cycle through the node; a node in a tree stays there.
int treenode_clear(PyObject* self) {
    Py_CLEAR(asNode(self)->key);
    Py_CLEAR(asNode(self)->value);
    updateTracking(asNode(self));
    return 0;
}

// Releases a node's key and value and its memory (to the free list, while there is call for
// it); the last step of its deallocation.
inline void releaseNodeObject(TreeNodeObject* node) {
    PyObject* key = node->key;
    PyObject* value = node->value;
    node->key = nullptr;
    node->value = nullptr;
    Py_XDECREF(key);
    Py_XDECREF(value);
    --liveNodeCount;
    bool keep =
        OWN_NODE_MEMORY && Py_TYPE(node) == &TreeNodeType && treeCount > 0 &&
        (freeNodeCount <= FREE_LIST_FLOOR || liveNodeCount / FREE_LIST_SHARE > freeNodeCount);
    if (!keep) {
        Py_TYPE(node)->tp_free(node);
        return;
    }
    // A node on the free list has no use for its links: `right` keeps the node two places further
    // down (read from the head, which as a rule was pushed moments ago), so that taking a node
    // starts loading the one after the next. Followed one link ahead, the chain cannot keep up
    // with preinit, which takes nodes faster than memory answers (two ahead: 0.80 of its time at
    // 100,000 nodes). Only prefetches read it; pushes and pops at the head never make it stale.
    TreeNodeObject* second =
        freeNodes ? static_cast<TreeNodeObject*>(freeNodes->record.holder) : nullptr;
    node->record.holder = freeNodes;
    node->record.right = second ? &second->record : nullptr;
    freeNodes = node;
    ++freeNodeCount;
}

void treenode_dealloc(PyObject* self) {
    TreeNodeObject* node = asNode(self);
    if (Py_TYPE(self) == &TreeNodeType) {
        if (node->record.holderTag != NODE_TRACKED) {
            // Its key and value are no containers the collector knows, so releasing them
            // releases no further nodes: no guard against deep recursion is needed.
            releaseNodeObject(node);
            return;
        }
        node->record.holderTag = 0;
    }
    PyObject_GC_UnTrack(self);
    DEALLOC_GUARD_BEGIN(self, treenode_dealloc)
    releaseNodeObject(node);
    DEALLOC_GUARD_END(self)
}

// Frees every node on the free list.
void purgeFreeNodes() {
    while (freeNodes) {
        TreeNodeObject* node = freeNodes;
        freeNodes = static_cast<TreeNodeObject*>(node->record.holder);
        TreeNodeType.tp_free(node);
    }
    freeNodeCount = 0;
}

// ---------------------------------------------------------------------------------------------
// TreeNode: methods

PyObject* notInTree() {
    return fail(PyExc_ValueError, "self should be inserted in some tree.");
}

PyDoc_STRVAR(treenode_prev_doc, "get the previous TreeNode (in key order).");

PyObject* treenode_prev(PyObject* self, PyObject* /*unused*/) {
    TreeNodeObject* node = asNode(self);
    if (!node->record.holder) return notInTree();
    return nodeOrNone(nodePrev(&node->record));
}

PyDoc_STRVAR(treenode_next_doc, "get the next TreeNode (in key order).");

PyObject* treenode_next(PyObject* self, PyObject* /*unused*/) {
    TreeNodeObject* node = asNode(self);
    if (!node->record.holder) return notInTree();
    return nodeOrNone(nodeNext(&node->record));
}

PyDoc_STRVAR(treenode_index_doc,
             "returns the sum of weights of all nodes to the left of the current one.");

PyObject* treenode_index(PyObject* self, PyObject* /*unused*/) {
    TreeNodeObject* node = asNode(self);
    if (!node->record.holder) return notInTree();
    return PyLong_FromUnsignedLongLong(nodeRank(&node->record));
}

// Climbs from `from` towards the root, stopping early at `stopAt`; returns the record where the
// climb ended. *path gets one bit per step, 1 for a step up from a right child, the last step in
// bit 0. REQUIRES: from != stopAt; the tree is at most 64 levels deep (see TRAVERSAL_DEPTH).
TreeNodeRecord* climb(TreeNodeRecord* from, const TreeNodeRecord* stopAt, uint64_t* path) {
    uint64_t bits = 0;
    TreeNodeRecord* cur = from;
    while (cur != stopAt && cur->parent) {
        TreeNodeRecord* parent = cur->parent;
        bits = (bits << 1) | (parent->right == cur ? 1 : 0);
        cur = parent;
    }
    *path = bits;
    return cur;
}

// Where `b` lies relative to `a`, both in trees, found from their root paths alone.
enum Order { ORDER_BEFORE = -1, ORDER_SAME = 0, ORDER_AFTER = 1, ORDER_APART = 2 };

Order relativeOrder(TreeNodeRecord* a, TreeNodeRecord* b) {
    if (a == b) return ORDER_SAME;
    uint64_t pathA, pathB;
    TreeNodeRecord* topA = climb(a, b, &pathA);
    // b is an ancestor of a: the last step up says on which side of b a lies.
    if (topA == b) return (pathA & 1) ? ORDER_BEFORE : ORDER_AFTER;
    TreeNodeRecord* topB = climb(b, a, &pathB);
    if (topB == a) return (pathB & 1) ? ORDER_AFTER : ORDER_BEFORE;
    if (topA != topB) return ORDER_APART;
    // Bit k of both paths is the turn taken k levels below the root: the lowest differing bit
    // is where the paths part, and whoever turned right there comes later.
    uint64_t parting = pathA ^ pathB;
    parting &= ~parting + 1;
    return (pathB & parting) ? ORDER_AFTER : ORDER_BEFORE;
}

// Checks self and the sentinel of a walk and finds where it stops: *stop is the sentinel's
// record, or null (the end of the tree) without a sentinel. Returns 1 to walk, 0 when the
// result is empty (the sentinel is self or on the other side), -1 with an error set.
int findStop(TreeNodeObject* node, PyObject* sentinel, bool forward, TreeNodeRecord** stop) {
    *stop = nullptr;
    if (!node->record.holder) {
        notInTree();
        return -1;
    }
    if (!sentinel || sentinel == Py_None) return 1;
    // Subclass instances as well: insertByKey takes them, so walks must be able to stop at them.
    if (!PyObject_TypeCheck(sentinel, &TreeNodeType))
        return failInt(PyExc_TypeError,
                       "sentinel should be an instance of tessart.TreeNode or None.");
    TreeNodeRecord* other = &asNode(sentinel)->record;
    if (!other->holder)
        return failInt(PyExc_ValueError, "sentinel should be inserted in some Tree.");
    Order order = relativeOrder(&node->record, other);
    if (order == ORDER_APART)
        return failInt(PyExc_ValueError, "self and sentinel are in different Trees.");
    if (order != (forward ? ORDER_AFTER : ORDER_BEFORE)) return 0;
    *stop = other;
    return 1;
}

// The nodes after (forward) or before `node`, up to `upto` of them and short of the sentinel;
// either may be null (absent). REQUIRES: the caller holds upto and sentinel.
PyObject* walkFrom(TreeNodeObject* node, PyObject* upto, PyObject* sentinel, bool forward) {
    TreeNodeRecord* stop;
    int walk = findStop(node, sentinel, forward, &stop);
    if (walk <= 0) return walk < 0 ? nullptr : PyList_New(0);

    long limit = 0;
    if (upto) {
        limit = numberAsLong(upto);
        if (limit < 0) {
            if (PyErr_Occurred()) return nullptr;
            return fail(PyExc_ValueError, "upto value is negative");
        }
    }
    PyObject* list = PyList_New(0);
    if (!list) return nullptr;
    // Converting upto and making the list may have run script code that moved either node.
    walk = findStop(node, sentinel, forward, &stop);
    if (walk <= 0) {
        if (walk == 0) return list;
        Py_DECREF(list);
        return nullptr;
    }
    long count = 0;
    for (TreeNodeRecord* cur = forward ? nodeNext(&node->record) : nodePrev(&node->record);
         cur != stop && (!upto || count < limit); cur = forward ? nodeNext(cur) : nodePrev(cur)) {
        if (PyList_Append(list, nodeObject(cur)) < 0) {
            Py_DECREF(list);
            return nullptr;
        }
        ++count;
    }
    return list;
}

// nexts and prevs.
PyObject* treenode_walk(PyObject* self, PyObject* args, PyObject* kwds, bool forward) {
    static char* keywords[] = {keyword("upto"), keyword("sentinel"), nullptr};
    PyObject* upto = nullptr;
    PyObject* sentinel = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, forward ? "|OO:nexts" : "|OO:prevs", keywords,
                                     &upto, &sentinel))
        return nullptr;
    Py_XINCREF(upto);
    Py_XINCREF(sentinel);
    PyObject* result = walkFrom(asNode(self), upto, sentinel, forward);
    Py_XDECREF(upto);
    Py_XDECREF(sentinel);
    return result;
}

PyDoc_STRVAR(treenode_nexts_doc,
             "get a list of TreeNodes in traversal order following self, up to some number of "
             "them and/or until pivot TreeNode is met.");

PyObject* treenode_nexts(PyObject* self, PyObject* args, PyObject* kwds) {
    return treenode_walk(self, args, kwds, true);
}

PyDoc_STRVAR(treenode_prevs_doc,
             "get a list of TreeNodes in traversal order preceding self, up to some number of "
             "them and/or until pivot TreeNode is met.");

PyObject* treenode_prevs(PyObject* self, PyObject* args, PyObject* kwds) {
    return treenode_walk(self, args, kwds, false);
}

PyDoc_STRVAR(treenode_reduce_doc, "a pickling support method");

// Pickled as (TreeNode, (tree, rank)): unpickling finds the node at that weight position of the
// restored tree.
PyObject* treenode_reduce(PyObject* self, PyObject* /*unused*/) {
    TreeNodeObject* node = asNode(self);
    if (!liveTreeOf(node))
        return fail(PyExc_ValueError, "cannot pickle a TreeNode that is not part of some Tree.");
    // Own the tree before anything is allocated: a collection could otherwise free it.
    PyObject* tree = asObject(treeOf(node));
    Py_INCREF(tree);
    PyObject* rank = PyLong_FromUnsignedLongLong(nodeRank(&node->record));
    if (!rank) {
        Py_DECREF(tree);
        return nullptr;
    }
    PyObject* args;
    if (node->record.weight == 0) {
        // Its index alone would name the next node of some weight (see unpickledNode).
        uint64_t zeros = 0;
        for (TreeNodeRecord* cur = nodePrev(&node->record); cur && cur->weight == 0;
             cur = nodePrev(cur))
            ++zeros;
        PyObject* before = PyLong_FromUnsignedLongLong(zeros);
        args = before ? PyTuple_Pack(3, tree, rank, before) : nullptr;
        Py_XDECREF(before);
    } else {
        args = PyTuple_Pack(2, tree, rank);
    }
    Py_DECREF(tree);
    Py_DECREF(rank);
    if (!args) return nullptr;
    PyObject* result = PyTuple_Pack(2, asObject(&TreeNodeType), args);
    Py_DECREF(args);
    return result;
}

// ---------------------------------------------------------------------------------------------
// TreeNode: type

PyMethodDef treenode_methods[] = {
    {"prev", treenode_prev, METH_NOARGS, treenode_prev_doc},
    {"next", treenode_next, METH_NOARGS, treenode_next_doc},
    {"index", treenode_index, METH_NOARGS, treenode_index_doc},
    {"nexts", KEYWORD_METHOD(treenode_nexts), METH_VARARGS | METH_KEYWORDS, treenode_nexts_doc},
    {"prevs", KEYWORD_METHOD(treenode_prevs), METH_VARARGS | METH_KEYWORDS, treenode_prevs_doc},
    {"__reduce__", treenode_reduce, METH_NOARGS, treenode_reduce_doc},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

// key and value behave as object members (the interpreter's own code reads and writes them, with
// its own errors), but setting one may have the node tracked.
PyMemberDef treenode_fields[] = {
    {keyword("key"), T_OBJECT_EX, offsetof(TreeNodeObject, key), 0, nullptr},
    {keyword("value"), T_OBJECT_EX, offsetof(TreeNodeObject, value), 0, nullptr},
};

PyObject* treenode_getField(PyObject* self, void* field) {
    return PyMember_GetOne(reinterpret_cast<char*>(self), static_cast<PyMemberDef*>(field));
}

int treenode_setField(PyObject* self, PyObject* object, void* field) {
    // Releasing the old object may run script code, after which the node is tracked if needed.
    if (PyMember_SetOne(reinterpret_cast<char*>(self), static_cast<PyMemberDef*>(field), object) <
        0)
        return -1;
    updateTracking(asNode(self));
    return 0;
}

PyObject* safeForUnpickling(PyObject* /*self*/, void* /*closure*/) {
    Py_RETURN_TRUE;
}

PyGetSetDef pickling_getset[] = {
    {keyword("__safe_for_unpickling__"), safeForUnpickling, nullptr, keyword("a flag for cPickle"),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr} /* sentinel */
};

PyObject* treenode_weight(PyObject* self, void* /*closure*/) {
    const TreeNodeRecord& record = asNode(self)->record;
    return PyLong_FromUnsignedLongLong(record.holder ? record.weight : 0);
}

PyObject* treenode_tree(PyObject* self, void* /*closure*/) {
    TreeObject* tree = liveTreeOf(asNode(self));
    if (!tree) Py_RETURN_NONE;
    Py_INCREF(asObject(tree));
    return asObject(tree);
}

PyGetSetDef treenode_getset[] = {
    {keyword("key"), treenode_getField, treenode_setField,
     keyword("sequence of floats, used as a key"), &treenode_fields[0]},
    {keyword("value"), treenode_getField, treenode_setField, keyword("associated object value"),
     &treenode_fields[1]},
    {keyword("__safe_for_unpickling__"), safeForUnpickling, nullptr, keyword("a flag for cPickle"),
     nullptr},
    {keyword("weight"), treenode_weight, nullptr,
     keyword("the weight the node was inserted with; 0 while it is in no tree"), nullptr},
    {keyword("tree"), treenode_tree, nullptr, keyword("the tree the node is in, or None"), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr} /* sentinel */
};

PyDoc_STRVAR(treenode_doc, "AA tree node");

// The type objects are filled by field name when the module is initialised: the slots a new
// interpreter version adds stay empty without any change here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject TreeNodeType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

void fillTreeNodeType() {
    PyTypeObject& type = TreeNodeType;
    type.tp_name = "tessart.TreeNode";
    type.tp_basicsize = NODE_OBJECT_SIZE;
    type.tp_dealloc = treenode_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type.tp_traverse = treenode_traverse;
    type.tp_clear = treenode_clear;
    type.tp_doc = treenode_doc;
    type.tp_methods = treenode_methods;
    type.tp_getset = treenode_getset;
    type.tp_init = treenode_init;
    type.tp_new = treenode_new;
    type.tp_free = freeNodeMemory;
}

// ---------------------------------------------------------------------------------------------
// Tree: creation, initialisation, destruction

PyObject* tree_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwds*/) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    ++treeCount;
    asTree(self)->interval = 0;
    asTree(self)->root = nullptr;
    asTree(self)->nodeCount = 0;
    asTree(self)->trackedNodes = 0;
    asTree(self)->changes = 0;
    if (type != &TreeType) puts("whoknows");
    return self;
}

// Reads a long (exactly, so no script code runs) as an unsigned 64-bit weight. Returns false,
// with no error set, when it is negative or does not fit. Values of one digit are read in
// place, and small ones skip the byte-wise conversion that the unsigned one makes.
inline bool readLongWeight(PyObject* object, uint64_t* weight) {
    int64_t small;
    if (readOneDigitLong(object, &small)) {
        *weight = static_cast<uint64_t>(small);
        return small >= 0;
    }
    int overflow;
    PY_LONG_LONG value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (overflow == 0 && !(value == -1 && PyErr_Occurred())) {
        *weight = static_cast<uint64_t>(value);
        return value >= 0;
    }
    if (overflow > 0) {
        *weight = PyLong_AsUnsignedLongLong(object);
        if (!(*weight == static_cast<uint64_t>(-1) && PyErr_Occurred())) return true;
    }
    PyErr_Clear();
    return false;
}

// How many items ahead preinit starts loading the objects it reads (key tuples twice as far, so
// that their items can be found in time): far enough to cover a miss to memory at a few tens
// of nanoseconds per item, measured best among 4, 8, 16 and 32.
constexpr Py_ssize_t PREINIT_PREFETCH = 16;

// Drops the first n nodes of a preinit work array and frees it.
void dropPrepared(TreeNodeRecord** records, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(nodeObject(records[i]));
    free(records);
}

// Tree(interval, preinit): preinit is the flat (key, value, weight, ...) tuple that pickling
// writes, in key order. The nodes are made and their keys read before the tree is touched; the
// new content is built aside and swapped in before the old content is released. Either argument
// may be null (absent). REQUIRES: the caller holds interval and preinit.
int initialiseTree(TreeObject* tree, PyObject* interval, PyObject* preinit) {
    TreeNodeRecord** records = nullptr;
    uint64_t* sums = nullptr;
    Py_ssize_t count = 0;
    // Keys out of order. Keys hold no NaN, so the key order is transitive: a node is below some
    // node before it iff it is below the one right before it, and the appends compare nothing.
    bool disorder = false;
    Py_ssize_t tracked = 0;  // of the new nodes
    if (preinit) {
        if (!PyTuple_CheckExact(preinit))
            return failInt(PyExc_TypeError, "preinit must be a tuple.");
        Py_ssize_t size = PyTuple_GET_SIZE(preinit);
        if (size % 3 != 0)
            return failInt(PyExc_ValueError, "preinit length must be a multiple of three.");
        count = size / 3;
        // The running totals of the weights, read once and kept for the nodes and their sums.
        sums = allocateArray<uint64_t>(static_cast<size_t>(count) + 1);
        if (!sums) return -1;
        uint64_t total = 0;
        bool totalOverflows = false;
        sums[0] = 0;
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (i + PREINIT_PREFETCH < count)
                __builtin_prefetch(PyTuple_GET_ITEM(preinit, 3 * (i + PREINIT_PREFETCH) + 2));
            PyObject* weightObject = PyTuple_GET_ITEM(preinit, 3 * i + 2);
            uint64_t weight;
            if (!PyLong_CheckExact(weightObject) || !readLongWeight(weightObject, &weight)) {
                free(sums);
                return failInt(PyExc_ValueError,
                               "preinit weights (%3 == 2) are not longs within bounds.");
            }
            totalOverflows |= weight > UINT64_MAX - total;
            total += weight;
            sums[i + 1] = total;
        }
        // The new content replaces the old, so its own total is the tree's.
        if (totalOverflows) {
            free(sums);
            return failInt(PyExc_OverflowError, "total weight would exceed 2**64 - 1.");
        }
        records = allocateArray<TreeNodeRecord*>(count);
        if (!records) {
            free(sums);
            return -1;
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (i + 2 * PREINIT_PREFETCH < count) {
                PyObject** ahead = &PyTuple_GET_ITEM(preinit, 3 * (i + PREINIT_PREFETCH));
                __builtin_prefetch(ahead[3 * PREINIT_PREFETCH]);
                if (PyTuple_CheckExact(ahead[0]) && PyTuple_GET_SIZE(ahead[0]) > 0)
                    __builtin_prefetch(PyTuple_GET_ITEM(ahead[0], 0));
                __builtin_prefetch(ahead[1], 1);
            }
            TreeNodeObject* node = createPlainNode();
            if (!node) {
                free(sums);
                dropPrepared(records, i);
                return -1;
            }
            PyObject* key = PyTuple_GET_ITEM(preinit, 3 * i);
            PyObject* value = PyTuple_GET_ITEM(preinit, 3 * i + 1);
            Py_INCREF(key);
            node->key = key;
            Py_INCREF(value);
            node->value = value;
            // Set here, while the node is being written anyway: nothing reaches it before the
            // tree does, and a node dropped unused goes back through the free list as any other.
            node->record.holder = tree;
            node->record.weight = sums[i + 1] - sums[i];
            records[i] = &node->record;
            double coords[KEY_SIZE];
            int length = PyTuple_CheckExact(key) ? readTupleKey(key, coords, NODE_KEY)
                                                 : readKey(key, coords, NODE_KEY);
            if (length < 0) {
                free(sums);
                dropPrepared(records, i + 1);
                return -1;
            }
            // Tracked once nothing calls out any more (see below).
            if (readNodeNeedsTracking(node)) ++tracked;
            setRecordKey(&node->record, coords, length);
            if (i > 0 && compareExact(records[i - 1], records[i]) > 0) disorder = true;
        }
    }
    int intervalTruth = 0;
    if (interval) {
        intervalTruth = PyObject_IsTrue(interval);
        if (intervalTruth < 0) {
            free(sums);
            if (records) dropPrepared(records, count);
            return -1;
        }
    }

    // No script code runs from here until the old content is released. Only now are the new
    // nodes tracked: until here script code could have found a tracked one through the
    // collector, half made and claiming the tree.
    for (Py_ssize_t i = 0; tracked > 0 && i < count; ++i) {
        TreeNodeObject* node = nodeOf(records[i]);
        if (readNodeNeedsTracking(node)) {
            node->record.holderTag = NODE_TRACKED;
            PyObject_GC_Track(node);
        }
    }
    // The creation references become the tree's.
    TreeNodeRecord* content = nullptr;
    appendRecords(&content, records, static_cast<size_t>(count), sums);
    free(sums);
    free(records);
    if (interval) tree->interval = intervalTruth ? 1 : 0;
    TreeNodeRecord* old = tree->root;
    tree->root = content;
    tree->nodeCount = count;
    tree->trackedNodes = tracked;
    ++tree->changes;
    releaseContent(&old);
    if (disorder) return failInt(PyExc_ValueError, "preinit is not sorted by keys.");
    return 0;
}

int tree_init(PyObject* self, PyObject* args, PyObject* kwds) {
    if (Py_TYPE(self) != &TreeType) puts("whoa");
    static char* keywords[] = {keyword("interval"), keyword("preinit"), nullptr};
    PyObject* interval = nullptr;
    PyObject* preinit = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OO:Tree", keywords, &interval, &preinit))
        return -1;
    Py_XINCREF(interval);
    Py_XINCREF(preinit);
    int result = initialiseTree(asTree(self), interval, preinit);
    Py_XDECREF(interval);
    Py_XDECREF(preinit);
    return result;
}

// The tree holds a reference to each of its nodes, and nothing else. Only the nodes the
// collector tracks are visited: the others can be part of no cycle, and a tree of them alone
// costs a collection nothing.
int tree_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_ssize_t remaining = asTree(self)->trackedNodes;
    for (TreeNodeRecord* cur = leftmostNode(asTree(self)->root); cur && remaining > 0;
         cur = nodeNext(cur)) {
        TreeNodeObject* node = nodeOf(cur);
        if (isTracked(node)) {
            Py_VISIT(asObject(node));
            --remaining;
        }
    }
    return 0;
}

// Empties the tree, as initialising it without content does: the collector breaks a cycle
// through a tree by releasing its nodes, and the tree stays usable.
int tree_clear(PyObject* self) {
    TreeObject* tree = asTree(self);
    TreeNodeRecord* old = tree->root;
    tree->root = nullptr;
    tree->nodeCount = 0;
    tree->trackedNodes = 0;
    ++tree->changes;
    releaseContent(&old);
    return 0;
}

// No guard against deep recursion here: a deferred tree would wait with its nodes still in it,
// where they could hand it out again, and every chain through trees passes through nodes or
// containers that are guarded themselves.
void tree_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    TreeObject* tree = asTree(self);
    // Nothing can reach a dying tree, so no release refills it; the loop makes sure.
    while (tree->root) releaseContent(&tree->root);
    if (--treeCount == 0) purgeFreeNodes();
    Py_TYPE(self)->tp_free(self);
}

// ---------------------------------------------------------------------------------------------
// Tree: methods

PyDoc_STRVAR(tree_insertByKey_doc,
             "insert a node using its key attribute as a pivot, with 64-bit weight.");

// REQUIRES: the caller holds object; weight is positive.
PyObject* insertByKey(TreeObject* tree, PyObject* object, unsigned PY_LONG_LONG weight) {
    if (!PyObject_TypeCheck(object, &TreeNodeType))
        return fail(PyExc_TypeError, "node should be an instance of tessart.TreeNode.");
    TreeNodeObject* node = asNode(object);
    if (node->record.holder)
        return fail(PyExc_ValueError, "submitted TreeNode already in some tree.");
    // A plain node has no instance dictionary and its type cannot be changed, so its key
    // attribute is its key member; a subclass may override it, and an unset key raises the
    // attribute error the lookup makes.
    PyObject* key;
    if (Py_TYPE(object) == &TreeNodeType && node->key) {
        key = node->key;
        Py_INCREF(key);
    } else {
        key = PyObject_GetAttr(object, keyAttribute);
        if (!key) return nullptr;
    }
    double coords[KEY_SIZE];
    int length = readKey(key, coords, NODE_KEY);
    Py_DECREF(key);
    if (length < 0) return nullptr;
    // Reading the key may have run script code that inserted the node somewhere or changed the
    // tree's total.
    if (node->record.holder)
        return fail(PyExc_ValueError, "submitted TreeNode already in some tree.");
    if (weight > UINT64_MAX - totalWeight(tree))
        return fail(PyExc_OverflowError, "total weight would exceed 2**64 - 1.");
    setRecordKey(&node->record, coords, length);
    node->record.weight = weight;
    node->record.holder = tree;
    insertNode(&tree->root, &node->record, false, nullptr);
    ++tree->nodeCount;
    if (isTracked(node)) ++tree->trackedNodes;
    ++tree->changes;
    Py_INCREF(object);
    Py_RETURN_NONE;
}

// Reads an insertion weight: a positive integer below 2**64. Returns 1, 0 with an error set, or
// -1 (no error set) when the object is no integer at all. Runs no script code.
int readWeight(PyObject* object, unsigned PY_LONG_LONG* weight) {
    bool positive;
    if (isSmallInt(object)) {
        long value = smallIntValue(object);
        positive = value > 0;
        *weight = static_cast<unsigned PY_LONG_LONG>(value);
    } else if (PyLong_Check(object)) {
        int overflow;
        PY_LONG_LONG value = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (overflow == 0 && value == -1 && PyErr_Occurred()) return 0;
        positive = overflow > 0 || (overflow == 0 && value > 0);
        *weight = static_cast<unsigned PY_LONG_LONG>(value);
        if (overflow > 0) {
            *weight = PyLong_AsUnsignedLongLong(object);
            if (*weight == static_cast<unsigned PY_LONG_LONG>(-1) && PyErr_Occurred()) {
                PyErr_Clear();
                PyErr_SetString(PyExc_OverflowError, "weight does not fit in 64 bits.");
                return 0;
            }
        }
    } else {
        return -1;
    }
    if (positive) return 1;
    PyErr_SetString(PyExc_TypeError, "weight should be a positive integer.");
    return 0;
}

PyObject* tree_insertByKey(PyObject* self, PyObject* args, PyObject* kwds) {
    static char* keywords[] = {keyword("node"), keyword("weight"), nullptr};
    PyObject* object;
    PyObject* weightObject;
    // insertByKey(node, weight) needs no parser.
    if (!kwds && PyTuple_GET_SIZE(args) == 2) {
        object = PyTuple_GET_ITEM(args, 0);
        weightObject = PyTuple_GET_ITEM(args, 1);
    } else if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:insertByKey", keywords, &object,
                                            &weightObject)) {
        return nullptr;
    }
    unsigned PY_LONG_LONG weight;
    int read = readWeight(weightObject, &weight);
    if (read <= 0) {
        // Not an integer: the parser's own conversion reports it, with its message.
        if (read < 0 &&
            !PyArg_ParseTupleAndKeywords(args, kwds, "OK:insertByKey", keywords, &object, &weight))
            return nullptr;
        if (read < 0) PyErr_SetString(PyExc_TypeError, "weight should be a positive integer.");
        return nullptr;
    }
    Py_INCREF(object);
    PyObject* result = insertByKey(asTree(self), object, weight);
    Py_DECREF(object);
    return result;
}

PyDoc_STRVAR(tree_removeNode_doc, "remove some node already in the tree.");

PyObject* tree_removeNode(PyObject* self, PyObject* args, PyObject* kwds) {
    static char* keywords[] = {keyword("node"), nullptr};
    PyObject* object;
    if (!kwds && PyTuple_GET_SIZE(args) == 1)
        object = PyTuple_GET_ITEM(args, 0);
    else if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:removeNode", keywords, &object))
        return nullptr;
    // Subclass instances as well, since insertByKey takes them.
    if (!PyObject_TypeCheck(object, &TreeNodeType))
        return fail(PyExc_TypeError, "node should be an instance of tessart.TreeNode.");
    TreeNodeObject* node = asNode(object);
    TreeObject* tree = asTree(self);
    if (!node->record.holder)
        return fail(PyExc_ValueError, "node should be inserted in some tree.");
    // A node in a tree knows that tree (its holder is cleared whenever it leaves it), which
    // spares a climb to the root.
    if (treeOf(node) != tree) return fail(PyExc_ValueError, "node is in some other tree.");
    eraseNode(&tree->root, &node->record);
    --tree->nodeCount;
    if (isTracked(node)) --tree->trackedNodes;
    ++tree->changes;
    node->record.holder = nullptr;
    // Nothing has called out since parsing, so the caller's argument (in the argument tuple or
    // the keyword dictionary) still keeps the node alive past this.
    Py_DECREF(object);
    Py_RETURN_NONE;
}

PyDoc_STRVAR(tree_getClosestNode_doc,
             "get a node with the nearest (box-metric) key, but presumably not lower than the "
             "lower bound");

// REQUIRES: the caller holds keyObject and boundObject.
PyObject* closestNodeOf(TreeObject* tree, PyObject* keyObject, PyObject* boundObject) {
    double lowerBound;
    if (!readDouble(boundObject, &lowerBound)) return nullptr;
    double key[KEY_SIZE];
    int length = readKey(keyObject, key, QUERY_KEY);
    if (length < 0) return nullptr;
    return nodeOrNone(closestNode(tree->root, key, length, lowerBound));
}

PyObject* tree_getClosestNode(PyObject* self, PyObject* args, PyObject* kwds) {
    static char* keywords[] = {keyword("key"), keyword("firstLowerBound"), nullptr};
    PyObject* keyObject;
    PyObject* boundObject;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:getClosestNode", keywords, &keyObject,
                                     &boundObject))
        return nullptr;
    Py_INCREF(keyObject);
    Py_INCREF(boundObject);
    PyObject* result = closestNodeOf(asTree(self), keyObject, boundObject);
    Py_DECREF(keyObject);
    Py_DECREF(boundObject);
    return result;
}

// Visitor of sampleEvenly: stores each node at the next index of a list of the sample's size.
struct SampleFill {
    PyObject* list;
    Py_ssize_t next;
};

bool storeSample(TreeNodeRecord* record, void* context) {
    SampleFill* fill = static_cast<SampleFill*>(context);
    PyObject* node = nodeObject(record);
    Py_INCREF(node);
    PyList_SET_ITEM(fill->list, fill->next++, node);
    return true;
}

PyDoc_STRVAR(tree_sample_doc,
             "sample a tree uniformly into a list, in ascending order, taking node weights into "
             "account");

PyObject* tree_sample(PyObject* self, PyObject* args, PyObject* kwds) {
    static char* keywords[] = {keyword("n"), nullptr};
    int n;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "i:sample", keywords, &n)) return nullptr;
    TreeObject* tree = asTree(self);
    if (n < 0 || static_cast<uint64_t>(n) > totalWeight(tree))
        return fail(PyExc_ValueError, "n is either too small or too large.");
    PyObject* list = PyList_New(n);
    if (!list) return nullptr;
    // Making the list may have run script code that took weight out of the tree.
    if (static_cast<uint64_t>(n) > totalWeight(tree)) {
        Py_DECREF(list);
        return fail(PyExc_ValueError, "n is either too small or too large.");
    }
    if (n > 0) {
        SampleFill fill = {list, 0};
        if (sampleEvenly(tree->root, n, storeSample, &fill) != TREE_WALK_COMPLETE) {
            Py_DECREF(list);
            return walkFailed();
        }
    }
    return list;
}

PyDoc_STRVAR(tree_leftmostNode_doc,
             "return the node with the lowest lexicographic key value in the tree.");

PyObject* tree_leftmostNode(PyObject* self, PyObject* /*unused*/) {
    return nodeOrNone(leftmostNode(asTree(self)->root));
}

PyDoc_STRVAR(tree_rightmostNode_doc,
             "return the node with the highest lexicographic key value in the tree.");

PyObject* tree_rightmostNode(PyObject* self, PyObject* /*unused*/) {
    return nodeOrNone(rightmostNode(asTree(self)->root));
}

PyDoc_STRVAR(tree_at_doc,
             "return the node corresponding to a cumulative weight interval containing the "
             "parameter, or None if the index is out of bounds.");

PyObject* tree_at(PyObject* self, PyObject* args, PyObject* kwds) {
    static char* keywords[] = {keyword("index"), nullptr};
    PY_LONG_LONG index;
    // An exact int or long in range converts as the parser would, without it; anything else
    // takes the parser and its errors.
    PyObject* given = !kwds && PyTuple_GET_SIZE(args) == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
    int overflow = 1;
    if (given && isExactSmallInt(given)) {
        index = smallIntValue(given);
        overflow = 0;
    } else if (given && PyLong_CheckExact(given)) {
        index = PyLong_AsLongLongAndOverflow(given, &overflow);
    }
    if (overflow != 0 && !PyArg_ParseTupleAndKeywords(args, kwds, "L:at", keywords, &index))
        return nullptr;
    if (index < 0) Py_RETURN_NONE;
    return nodeOrNone(selectByWeight(asTree(self)->root, static_cast<uint64_t>(index)));
}

// lowerBound and upperBound.
PyObject* tree_bound(PyObject* self, PyObject* args, PyObject* kwds, bool upper) {
    static char* keywords[] = {keyword("key"), nullptr};
    PyObject* keyObject;
    if (!kwds && PyTuple_GET_SIZE(args) == 1)
        keyObject = PyTuple_GET_ITEM(args, 0);
    else if (!PyArg_ParseTupleAndKeywords(args, kwds, upper ? "O:upperBound" : "O:lowerBound",
                                          keywords, &keyObject))
        return nullptr;
    Py_INCREF(keyObject);
    double key[KEY_SIZE];
    int length = readKey(keyObject, key, QUERY_KEY);
    PyObject* result =
        length < 0 ? nullptr : nodeOrNone(boundSearch(asTree(self)->root, key, length, upper));
    Py_DECREF(keyObject);
    return result;
}

PyDoc_STRVAR(tree_lowerBound_doc,
             "return the rightmost node which is less than the key, or None if no such node "
             "exists.");

PyObject* tree_lowerBound(PyObject* self, PyObject* args, PyObject* kwds) {
    return tree_bound(self, args, kwds, false);
}

PyDoc_STRVAR(tree_upperBound_doc,
             "return the leftmost node which is greater than the key, or None if no such node "
             "exists.");

PyObject* tree_upperBound(PyObject* self, PyObject* args, PyObject* kwds) {
    return tree_bound(self, args, kwds, true);
}

PyDoc_STRVAR(tree_size_doc, "returns the sum of node weights for all nodes in the tree.");

PyObject* tree_size(PyObject* self, PyObject* /*unused*/) {
    return PyLong_FromUnsignedLongLong(totalWeight(asTree(self)));
}

// What the list-making methods store for a node: the node itself, its key or its value. The
// last two fail (returning null with an error set) for a node without one.
PyObject* theNode(TreeNodeObject* node) {
    return asObject(node);
}

PyObject* theKey(TreeNodeObject* node) {
    if (!node->key) PyErr_SetString(PyExc_SystemError, "a node in the tree has no key.");
    return node->key;
}

PyObject* theValue(TreeNodeObject* node) {
    if (!node->value) PyErr_SetString(PyExc_SystemError, "a node in the tree has no value.");
    return node->value;
}

// How far ahead a walk in memory order loads nodes: 12 KB, which covers a trip to memory while
// the lines in between stream in (a walk of 100,000 nodes in the core: 4.1 ns a node at 64
// slots, 4.4 to 4.7 at 32, 5.2 at 16).
constexpr uintptr_t WALK_PREFETCH_SLOTS = 64;

// A new list of what `item` gives for each node in key order, or null with an error set.
// The list is made at the tree's node count before the walk that fills it; no script code runs
// during that walk. Making the list may run some (a collection may call finalizers) and change
// the tree, so the walk appends beyond the count or cuts the list short of it, as the tree is
// when it is read; a count gone wrong would cost time, never a wrong list.
template <PyObject* (*item)(TreeNodeObject*)>
PyObject* collect(TreeObject* tree) {
    Py_ssize_t count = tree->nodeCount > 0 ? tree->nodeCount : 0;
    PyObject* list = PyList_New(count);
    if (!list) return nullptr;
    Py_ssize_t next = 0;
    bool failed = false;
    bool complete = forEachInOrder(tree->root, [&](TreeNodeRecord* record) {
        // Nodes made one after another sit side by side (a tree built from sorted data or from
        // a pickle lies in key order), so a walk often goes through memory in order: load the
        // node WALK_PREFETCH_SLOTS on. Where nodes lie scattered, the load is wasted, and a
        // prefetch never faults.
        uintptr_t ahead =
            reinterpret_cast<uintptr_t>(nodeOf(record)) + WALK_PREFETCH_SLOTS * NODE_SLOT_SIZE;
        __builtin_prefetch(reinterpret_cast<const void*>(ahead));
        __builtin_prefetch(reinterpret_cast<const void*>(ahead + CACHE_LINE));
        if (failed) return;
        PyObject* object = item(nodeOf(record));
        if (!object) {
            failed = true;
        } else if (next < count) {
            Py_INCREF(object);
            PyList_SET_ITEM(list, next++, object);
        } else if (PyList_Append(list, object) < 0) {
            failed = true;
        } else {
            ++next;
        }
    });
    if (!failed && complete && next < count && PyList_SetSlice(list, next, count, nullptr) < 0)
        failed = true;
    if (failed || !complete) {
        Py_DECREF(list);
        return failed ? nullptr : walkFailed();
    }
    return list;
}

PyDoc_STRVAR(tree_asList_doc,
             "returns the list of all nodes in the tree, in the order of non-decreasing keys.");

PyObject* tree_asList(PyObject* self, PyObject* /*unused*/) {
    return collect<theNode>(asTree(self));
}

PyDoc_STRVAR(tree_items_doc, "returns the list of (key, value) tuples.");

// A list of the tree's nodes in key order that no script code can reach, for the callers that
// allocate while they read it: an allocation may run a collection, whose callbacks and
// finalizers could otherwise find the list through the collector and change it. The caller
// tracks it again if it hands it out. Returns a new reference, or null with an error set.
PyObject* privateSnapshot(TreeObject* tree) {
    PyObject* list = collect<theNode>(tree);
    if (list) PyObject_GC_UnTrack(list);
    return list;
}

PyObject* tree_items(PyObject* self, PyObject* /*unused*/) {
    // Each pair is allocated, which may run script code: work on a snapshot of the nodes.
    PyObject* list = privateSnapshot(asTree(self));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* pair = PyTuple_New(2);
        if (!pair) {
            Py_DECREF(list);
            return nullptr;
        }
        PyObject* object = PyList_GET_ITEM(list, i);
        TreeNodeObject* node = asNode(object);
        if (!node->key || !node->value) {
            Py_DECREF(pair);
            Py_DECREF(list);
            return fail(PyExc_SystemError, node->key ? "a node in the tree has no value."
                                                     : "a node in the tree has no key.");
        }
        Py_INCREF(node->key);
        PyTuple_SET_ITEM(pair, 0, node->key);
        Py_INCREF(node->value);
        PyTuple_SET_ITEM(pair, 1, node->value);
        PyList_SET_ITEM(list, i, pair);
        Py_DECREF(object);
    }
    PyObject_GC_Track(list);
    return list;
}

PyDoc_STRVAR(tree_keys_doc, "returns the list of keys.");

PyObject* tree_keys(PyObject* self, PyObject* /*unused*/) {
    return collect<theKey>(asTree(self));
}

PyDoc_STRVAR(tree_values_doc, "returns the list of values.");

PyObject* tree_values(PyObject* self, PyObject* /*unused*/) {
    return collect<theValue>(asTree(self));
}

PyDoc_STRVAR(tree_shape_doc, "returns a 3-tuple (node count, minimum depth, maximum depth).");

PyObject* tree_shape(PyObject* self, PyObject* /*unused*/) {
    TreeShape shape;
    if (!treeShape(asTree(self)->root, &shape)) return walkFailed();
    return Py_BuildValue("(iii)", shape.count, shape.minDepth, shape.maxDepth);
}

PyDoc_STRVAR(tree_reduce_doc, "a pickling support method");

// Pickled as (Tree, (interval, (key, value, weight, ...))) in key order; weights are written as
// the unsigned values they are, so that any tree can be rebuilt.
PyObject* tree_reduce(PyObject* self, PyObject* /*unused*/) {
    TreeObject* tree = asTree(self);
    PyObject* nodes = privateSnapshot(tree);
    if (!nodes) return nullptr;
    Py_ssize_t count = PyList_GET_SIZE(nodes);
    PyObject* flat = count > PY_SSIZE_T_MAX / 3 ? PyErr_NoMemory() : PyTuple_New(3 * count);
    if (!flat) {
        Py_DECREF(nodes);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        TreeNodeObject* node = asNode(PyList_GET_ITEM(nodes, i));
        PyObject* weight = PyLong_FromUnsignedLongLong(node->record.weight);
        if (!weight) {
            Py_DECREF(flat);
            Py_DECREF(nodes);
            return nullptr;
        }
        // A tuple with a missing key could be written but never loaded.
        if (!node->key) {
            Py_DECREF(weight);
            Py_DECREF(flat);
            Py_DECREF(nodes);
            return fail(PyExc_ValueError, "cannot pickle a Tree holding a TreeNode without a key.");
        }
        PyObject* value = node->value ? node->value : Py_None;
        Py_INCREF(node->key);
        PyTuple_SET_ITEM(flat, 3 * i, node->key);
        Py_INCREF(value);
        PyTuple_SET_ITEM(flat, 3 * i + 1, value);
        PyTuple_SET_ITEM(flat, 3 * i + 2, weight);
    }
    Py_DECREF(nodes);
    PyObject* args = PyTuple_Pack(2, tree->interval ? Py_True : Py_False, flat);
    Py_DECREF(flat);
    if (!args) return nullptr;
    PyObject* result = PyTuple_Pack(2, asObject(&TreeType), args);
    Py_DECREF(args);
    return result;
}

#ifdef TESSART_PY3
// ---------------------------------------------------------------------------------------------
// Python 3: trees pickled for Python 2.7
//
// Python 2.7 rebuilds a tree only from weights that are longs, while Python 3 writes an int
// small enough for a 32-bit int in a form that Python 2.7 loads as a plain int. For the protocols
// that Python 2.7 reads (below 3) every weight is therefore written as a call of int on it, which
// Python 3 names "__builtin__.long" in those protocols: Python 2.7 loads a long and Python 3 an
// int. The wrapper that asks for that call never appears in the pickle itself.

// clang-format off
struct PickledWeightObject {
    PyObject_HEAD
    PyObject* weight;  // the int
};
// clang-format on

void pickledweight_dealloc(PyObject* self) {
    Py_XDECREF(reinterpret_cast<PickledWeightObject*>(self)->weight);
    Py_TYPE(self)->tp_free(self);
}

PyObject* pickledweight_reduce(PyObject* self, PyObject* /*unused*/) {
    return Py_BuildValue("(O(O))", asObject(&PyLong_Type),
                         reinterpret_cast<PickledWeightObject*>(self)->weight);
}

PyMethodDef pickledweight_methods[] = {
    {"__reduce__", pickledweight_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject PickledWeightType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

void fillPickledWeightType() {
    PyTypeObject& type = PickledWeightType;
    type.tp_name = "tessart.PickledWeight";
    type.tp_basicsize = sizeof(PickledWeightObject);
    type.tp_dealloc = pickledweight_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_methods = pickledweight_methods;
}

PyDoc_STRVAR(tree_reduce_ex_doc, "a pickling support method");

PyObject* tree_reduce_ex(PyObject* self, PyObject* args) {
    int protocol = 0;
    if (!PyArg_ParseTuple(args, "i:__reduce_ex__", &protocol)) return nullptr;
    PyObject* result = tree_reduce(self, nullptr);
    if (!result || protocol >= 3) return result;
    // Made here and referenced only from result: free to change in place.
    PyObject* flat = PyTuple_GET_ITEM(PyTuple_GET_ITEM(result, 1), 1);
    for (Py_ssize_t i = 2; i < PyTuple_GET_SIZE(flat); i += 3) {
        PickledWeightObject* weight = PyObject_New(PickledWeightObject, &PickledWeightType);
        if (!weight) {
            Py_DECREF(result);
            return nullptr;
        }
        weight->weight = PyTuple_GET_ITEM(flat, i);
        PyTuple_SET_ITEM(flat, i, asObject(weight));
    }
    return result;
}
#endif

// ---------------------------------------------------------------------------------------------
// Tree: type

PyMethodDef tree_methods[] = {
    {"insertByKey", KEYWORD_METHOD(tree_insertByKey), METH_VARARGS | METH_KEYWORDS,
     tree_insertByKey_doc},
    {"removeNode", KEYWORD_METHOD(tree_removeNode), METH_VARARGS | METH_KEYWORDS,
     tree_removeNode_doc},
    {"getClosestNode", KEYWORD_METHOD(tree_getClosestNode), METH_VARARGS | METH_KEYWORDS,
     tree_getClosestNode_doc},
    {"sample", KEYWORD_METHOD(tree_sample), METH_VARARGS | METH_KEYWORDS, tree_sample_doc},
    {"leftmostNode", tree_leftmostNode, METH_NOARGS, tree_leftmostNode_doc},
    {"rightmostNode", tree_rightmostNode, METH_NOARGS, tree_rightmostNode_doc},
    {"at", KEYWORD_METHOD(tree_at), METH_VARARGS | METH_KEYWORDS, tree_at_doc},
    {"lowerBound", KEYWORD_METHOD(tree_lowerBound), METH_VARARGS | METH_KEYWORDS,
     tree_lowerBound_doc},
    {"upperBound", KEYWORD_METHOD(tree_upperBound), METH_VARARGS | METH_KEYWORDS,
     tree_upperBound_doc},
    {"size", tree_size, METH_NOARGS, tree_size_doc},
    {"asList", tree_asList, METH_NOARGS, tree_asList_doc},
    {"items", tree_items, METH_NOARGS, tree_items_doc},
    {"keys", tree_keys, METH_NOARGS, tree_keys_doc},
    {"values", tree_values, METH_NOARGS, tree_values_doc},
    {"shape", tree_shape, METH_NOARGS, tree_shape_doc},
    {"__reduce__", tree_reduce, METH_NOARGS, tree_reduce_doc},
#ifdef TESSART_PY3
    {"__reduce_ex__", tree_reduce_ex, METH_VARARGS, tree_reduce_ex_doc},
#endif
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyDoc_STRVAR(tree_doc, "AA tree");

// ---------------------------------------------------------------------------------------------
// Tree: length, membership, iteration

Py_ssize_t tree_length(PyObject* self) {
    return asTree(self)->nodeCount;
}

// A node is in a tree exactly when its record names that tree as its holder.
int tree_contains(PyObject* self, PyObject* item) {
    return PyObject_TypeCheck(item, &TreeNodeType) && treeOf(asNode(item)) == asTree(self);
}

// A tree is true, empty or not, as it was before it had a length: scripts test `if tree:` for
// a tree that exists.
int tree_bool(PyObject* /*self*/) {
    return 1;
}

// clang-format off
struct TreeIterObject {
    PyObject_HEAD
    PyObject* tree;         // null once the iteration has ended
    TreeNodeRecord* next;   // read only while the tree has not changed since
    uint64_t changes;       // the tree's count of changes when the iteration began
};
// clang-format on

extern PyTypeObject TreeIterType;

PyObject* tree_iter(PyObject* self) {
    TreeIterObject* iterator = PyObject_GC_New(TreeIterObject, &TreeIterType);
    if (!iterator) return nullptr;
    Py_INCREF(self);
    iterator->tree = self;
    iterator->next = leftmostNode(asTree(self)->root);
    iterator->changes = asTree(self)->changes;
    PyObject_GC_Track(iterator);
    return asObject(iterator);
}

PyObject* treeiter_next(PyObject* self) {
    TreeIterObject* iterator = reinterpret_cast<TreeIterObject*>(self);
    if (!iterator->tree) return nullptr;
    if (asTree(iterator->tree)->changes != iterator->changes) {
        // As a dict does: the iteration ends with the error, and stays ended.
        Py_CLEAR(iterator->tree);
        return fail(PyExc_RuntimeError, "Tree changed during iteration.");
    }
    TreeNodeRecord* record = iterator->next;
    if (!record) {
        Py_CLEAR(iterator->tree);
        return nullptr;
    }
    iterator->next = nodeNext(record);
    PyObject* node = nodeObject(record);
    Py_INCREF(node);
    return node;
}

// An iterator kept in a node's value closes a cycle through its tree.
int treeiter_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<TreeIterObject*>(self)->tree);
    return 0;
}

// Ends the iteration, as running out of nodes does.
int treeiter_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<TreeIterObject*>(self)->tree);
    return 0;
}

void treeiter_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_XDECREF(reinterpret_cast<TreeIterObject*>(self)->tree);
    PyObject_GC_Del(self);
}

PySequenceMethods tree_as_sequence;
PyNumberMethods tree_as_number;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject TreeIterType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

void fillTreeIterType() {
    PyTypeObject& type = TreeIterType;
    type.tp_name = "tessart.TreeIterator";
    type.tp_basicsize = sizeof(TreeIterObject);
    type.tp_dealloc = treeiter_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    type.tp_traverse = treeiter_traverse;
    type.tp_clear = treeiter_clear;
    type.tp_iter = PyObject_SelfIter;
    type.tp_iternext = treeiter_next;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject TreeType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

void fillTreeType() {
    PyTypeObject& type = TreeType;
    type.tp_name = "tessart.Tree";
    type.tp_basicsize = sizeof(TreeObject);
    type.tp_dealloc = tree_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type.tp_traverse = tree_traverse;
    type.tp_clear = tree_clear;
    type.tp_free = PyObject_GC_Del;
    type.tp_doc = tree_doc;
    type.tp_methods = tree_methods;
    type.tp_getset = pickling_getset;
    type.tp_init = tree_init;
    type.tp_new = tree_new;
    tree_as_sequence.sq_length = tree_length;
    tree_as_sequence.sq_contains = tree_contains;
    type.tp_as_sequence = &tree_as_sequence;
#ifdef TESSART_PY3
    tree_as_number.nb_bool = tree_bool;
#else
    tree_as_number.nb_nonzero = tree_bool;
#endif
    type.tp_as_number = &tree_as_number;
    type.tp_iter = tree_iter;
    fillTreeIterType();
}

// ---------------------------------------------------------------------------------------------
// Module functions

// Reads one (Tree, key, firstLowerBound, weight) query. Returns the key's length, or -1 with an
// error set. The item keeps the tree alive.
int readQuery(PyObject* item, double* key, double* lowerBound, double* factor) {
    if (!PyTuple_CheckExact(item)) return failInt(PyExc_TypeError, "queries items must be tuples.");
    if (PyTuple_GET_SIZE(item) != 4)
        return failInt(PyExc_TypeError, "queries items must be 4-tuples.");
    if (Py_TYPE(PyTuple_GET_ITEM(item, 0)) != &TreeType)
        return failInt(PyExc_TypeError, "item 0 of queries item must be a tessart.Tree.");
    int length = readKey(PyTuple_GET_ITEM(item, 1), key, QUERIES_ITEM_KEY);
    if (length < 0) return -1;
    PyObject* bound = PyTuple_GET_ITEM(item, 2);
    if (!PyFloat_CheckExact(bound))
        return failInt(PyExc_TypeError, "item 2 of queries item is not a float.");
    PyObject* weight = PyTuple_GET_ITEM(item, 3);
    if (!PyFloat_CheckExact(weight))
        return failInt(PyExc_TypeError, "item 3 of queries item is not a float.");
    *lowerBound = PyFloat_AS_DOUBLE(bound);
    *factor = PyFloat_AS_DOUBLE(weight);
    return length;
}

PyDoc_STRVAR(tessart_weightedClosestNode_doc,
             "Given an iterable 'queries' of 4-tuples (Tree, key, firstLowerBound, weight), "
             "returns the 2-tuple (Tree, TreeNode) with the closest (weighted) match or None, if "
             "all the supplied Trees are empty.");

// REQUIRES: the caller holds queries.
PyObject* weightedClosestNode(PyObject* queries) {
    if (!PySequence_Check(queries)) return fail(PyExc_TypeError, "queries must be iterable.");
    Py_ssize_t n = PySequence_Size(queries);
    if (n < 0) return nullptr;

    // The best match so far, held by this call: later queries run script code.
    PyObject* bestTree = nullptr;
    PyObject* bestNode = nullptr;
    double bestDistance = 0.0;
    bool failed = false;
    for (Py_ssize_t i = 0; i < n && !failed; ++i) {
        PyObject* item = PySequence_GetItem(queries, i);
        if (!item) {
            failed = true;
            break;
        }
        double key[KEY_SIZE];
        double lowerBound, factor;
        int length = readQuery(item, key, &lowerBound, &factor);
        if (length < 0) {
            Py_DECREF(item);
            failed = true;
            break;
        }
        PyObject* tree = PyTuple_GET_ITEM(item, 0);
        TreeNodeRecord* found = closestNode(asTree(tree)->root, key, length, lowerBound);
        if (found) {
            double distance = 0.001;
            for (int k = 0; k < length; ++k) distance += __builtin_fabs(coordAt(found, k) - key[k]);
            distance = distance * factor / (length + 0.001);
            // Ties keep the earlier query; NaN neither replaces nor is replaced.
            if (!bestNode || bestDistance > distance) {
                PyObject* oldTree = bestTree;
                PyObject* oldNode = bestNode;
                bestTree = tree;
                bestNode = nodeObject(found);
                Py_INCREF(bestTree);
                Py_INCREF(bestNode);
                bestDistance = distance;
                Py_XDECREF(oldTree);
                Py_XDECREF(oldNode);
            }
        }
        Py_DECREF(item);
    }
    PyObject* result = nullptr;
    if (!failed) {
        if (bestNode) {
            result = PyTuple_Pack(2, bestTree, bestNode);
        } else {
            Py_INCREF(Py_None);
            result = Py_None;
        }
    }
    Py_XDECREF(bestTree);
    Py_XDECREF(bestNode);
    return result;
}

PyObject* tessart_weightedClosestNode(PyObject* /*module*/, PyObject* args, PyObject* kwds) {
    static char* keywords[] = {keyword("queries"), nullptr};
    PyObject* queries;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:weightedClosestNode", keywords, &queries))
        return nullptr;
    Py_INCREF(queries);
    PyObject* result = weightedClosestNode(queries);
    Py_DECREF(queries);
    return result;
}

// The list mergeTrees fills and how many values it still takes.
struct MergeOutput {
    PyObject* result;
    int remaining;
    bool failed;  // a value could not be appended; its error is set
};

// REQUIRES: remaining > 0. Appends the node's value, stopping the walk after the last value
// wanted or at the first that cannot be appended.
bool appendMergedValue(TreeNodeRecord* record, void* context) {
    MergeOutput* out = static_cast<MergeOutput*>(context);
    PyObject* value = nodeOf(record)->value;
    if (PyList_Append(out->result, value ? value : Py_None) < 0) {
        out->failed = true;
        return false;
    }
    return --out->remaining > 0;
}

// Drops the first n trees of a mergeTrees work array and frees both arrays.
void dropMergeWork(PyObject** trees, Py_ssize_t n, TreeNodeRecord** heap) {
    free(heap);
    for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(trees[i]);
    free(trees);
}

PyDoc_STRVAR(tessart_mergeTrees_doc,
             "Takes an iterable of tessarts, an tessart key, two booleans leanPrev and mergePrev, "
             "and the resulting count. Splits each of the tessarts by the key (leaning prev or "
             "next depending on leanPrev value), and then merges the trees by node value (in the "
             "prev or next direction, depending on mergePrev value), until count results are "
             "reached or the trees are exhausted.");

// REQUIRES: the caller holds every argument.
PyObject* mergeTrees(PyObject* treesObject, PyObject* keyObject, PyObject* leanObject,
                     PyObject* mergeObject, PyObject* countObject) {
    int count;
    if (!readInt(countObject, &count)) return nullptr;
    if (count < 0) return fail(PyExc_ValueError, "count must not be negative.");
    int lean = PyObject_IsTrue(leanObject);
    if (lean < 0) return fail(PyExc_TypeError, "leanPrev must be convertible to boolean.");
    int merge = PyObject_IsTrue(mergeObject);
    if (merge < 0) return fail(PyExc_TypeError, "mergePrev must be convertible to boolean.");
    double key[KEY_SIZE];
    int length = readKey(keyObject, key, MERGE_KEY);
    if (length < 0) return nullptr;
    if (!PySequence_Check(treesObject))
        return fail(PyExc_TypeError,
                    "trees must be a sequence of one or more tessart.Tree instances.");
    Py_ssize_t n = PySequence_Size(treesObject);
    if (n < 0) return nullptr;
    if (n == 0)
        return fail(PyExc_TypeError,
                    "trees must be a sequence of one or more tessart.Tree instances.");

    // The trees are held until the end: fetching later items runs script code.
    PyObject** trees = allocateArray<PyObject*>(n);
    if (!trees) return nullptr;
    TreeNodeRecord** heap = allocateArray<TreeNodeRecord*>(n);
    if (!heap) {
        free(trees);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_GetItem(treesObject, i);
        if (!item || Py_TYPE(item) != &TreeType) {
            if (item) {
                Py_DECREF(item);
                PyErr_SetString(PyExc_TypeError, "trees item must be an tessart.Tree instance.");
            }
            dropMergeWork(trees, i, heap);
            return nullptr;
        }
        trees[i] = item;
    }
    // The result grows as nodes are emitted, so a large count over small trees costs nothing.
    PyObject* result = PyList_New(0);
    if (!result) {
        dropMergeWork(trees, n, heap);
        return nullptr;
    }

    // From here to the end of the merge nothing calls out but PyList_Append, which runs no
    // script code: the trees stay as they are. The roots share the heap's array, which the walk
    // allows, so the merge needs no allocation of its own.
    for (Py_ssize_t i = 0; i < n; ++i) heap[i] = asTree(trees[i])->root;
    MergeOutput out = {result, count, false};
    if (count > 0)
        mergeWalk(heap, static_cast<size_t>(n), key, length, lean, merge, heap, appendMergedValue,
                  &out);
    if (out.failed) {
        Py_DECREF(result);
        result = nullptr;
    }
    dropMergeWork(trees, n, heap);
    return result;
}

PyObject* tessart_mergeTrees(PyObject* /*module*/, PyObject* args, PyObject* kwds) {
    static char* keywords[] = {keyword("trees"),     keyword("key"),   keyword("leanPrev"),
                               keyword("mergePrev"), keyword("count"), nullptr};
    PyObject* arguments[5];
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOOO:mergeTrees", keywords, &arguments[0],
                                     &arguments[1], &arguments[2], &arguments[3], &arguments[4]))
        return nullptr;
    for (PyObject* argument : arguments) Py_INCREF(argument);
    PyObject* result =
        mergeTrees(arguments[0], arguments[1], arguments[2], arguments[3], arguments[4]);
    for (PyObject* argument : arguments) Py_DECREF(argument);
    return result;
}

PyMethodDef tessart_functions[] = {
    {"weightedClosestNode", KEYWORD_METHOD(tessart_weightedClosestNode),
     METH_VARARGS | METH_KEYWORDS, tessart_weightedClosestNode_doc},
    {"mergeTrees", KEYWORD_METHOD(tessart_mergeTrees), METH_VARARGS | METH_KEYWORDS,
     tessart_mergeTrees_doc},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyDoc_STRVAR(tessart_doc, "A C implementation of Andersson balanced search tree");

// Adds a type to the module under `name`; the module takes the reference only on success.
bool addType(PyObject* module, const char* name, PyTypeObject* type) {
    Py_INCREF(type);
    if (PyModule_AddObject(module, name, asObject(type)) == 0) return true;
    Py_DECREF(type);
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Module initialisation: the only symbol the module exports.

#ifdef TESSART_PY3

namespace {

// clang-format off
PyModuleDef tessart_module = {
    PyModuleDef_HEAD_INIT,
    "tessart",          /* m_name */
    tessart_doc,        /* m_doc */
    -1,                 /* m_size: the state is module-wide, below */
    tessart_functions,  /* m_methods */
    nullptr,            /* m_slots */
    nullptr,            /* m_traverse */
    nullptr,            /* m_clear */
    nullptr,            /* m_free */
};
// clang-format on

// Readies what the module needs and creates it; null with the error set on failure.
PyObject* createModule() {
    if (!keyAttribute) {
        keyAttribute = internString("key");
        if (!keyAttribute) return nullptr;
    }
    fillTreeNodeType();
    fillTreeType();
    fillPickledWeightType();
    if (PyType_Ready(&TreeNodeType) < 0) return nullptr;
    if (PyType_Ready(&TreeType) < 0) return nullptr;
    if (PyType_Ready(&TreeIterType) < 0) return nullptr;
    if (PyType_Ready(&PickledWeightType) < 0) return nullptr;
    PyObject* module = PyModule_Create(&tessart_module);
    if (!module) return nullptr;
    if (!addType(module, "TreeNode", &TreeNodeType) || !addType(module, "Tree", &TreeType) ||
        PyModule_AddStringConstant(module, "__version__", MODULE_VERSION) != 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tessart() {
    PyObject* module = createModule();
    if (!module) return nullptr;
    treeCount = 0;
    freeNodeCount = 0;
    liveNodeCount = 0;
    freeNodes = nullptr;
    return module;
}

#else

extern "C" __attribute__((visibility("default"))) void inittessart() {
    if (!keyAttribute) {
        keyAttribute = internString("key");
        if (!keyAttribute) return;
    }
    fillTreeNodeType();
    fillTreeType();
    if (PyType_Ready(&TreeNodeType) < 0) return;
    if (PyType_Ready(&TreeType) < 0) return;
    if (PyType_Ready(&TreeIterType) < 0) return;
    // Borrowed: the interpreter's module table owns the module.
    PyObject* module =
        Py_InitModule4("tessart", tessart_functions, tessart_doc, nullptr, PYTHON_API_VERSION);
    if (!module) return;
    if (!addType(module, "TreeNode", &TreeNodeType)) return;
    if (!addType(module, "Tree", &TreeType)) return;
    if (PyModule_AddStringConstant(module, "__version__", MODULE_VERSION) != 0) return;
    treeCount = 0;
    freeNodeCount = 0;
    liveNodeCount = 0;
    freeNodes = nullptr;
}

#endif
