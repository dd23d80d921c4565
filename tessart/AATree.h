// Weighted ordered AA tree: the core of the tessart module.
//
// An Andersson tree whose records are embedded in the objects that hold them (the module's
// TreeNode objects), so inserting a node allocates nothing and a tree is nothing but its root
// link. Every record carries a weight and the sum of the weights of its subtree, which gives the
// rank of a node (weight before it) and the node covering a cumulative weight in O(log n).
//
// Guarantees:
// - Ordered insertion keeps the in-order sequence non-decreasing under compareExact, equal keys
//   in insertion order. Append mode puts the record last whatever its key and reports disorder.
// - Insertion, removal, rank and selection are logarithmic; nothing here allocates, recurses,
//   throws or uses the C++ runtime, so the core links into a module that needs libc only.
// - Traversals run on fixed stacks of TRAVERSAL_DEPTH entries and report failure instead of
//   overflowing them.
// - releaseTree empties the tree and detaches every record before the first release callback
//   runs, so code that a release triggers never sees a half-released tree.
//
// Departures from the textbook structure:
// - Parent links, so neighbours, rank and rebalancing work from a record without a descent.
// - Removal moves the in-order successor record into the removed record's place (rather than
//   copying keys), because records are owned by their holders and must keep their identity.
// - skew and split rotate when the child's level is greater than or equal to the node's (only
//   equality occurs in a valid tree); insertion stops rebalancing after two consecutive levels
//   at which split did not rotate, removal at the first level where nothing changed.
// - Keys are up to three doubles; shorter keys are filled with negative infinity so that a key
//   orders before every longer key it is a prefix of. Comparisons with NaN count as equal.
// - Searches that take a query compare only the query's length of coordinates, and some of
//   them do so within KEY_EPSILON.

#ifndef TESSART_AATREE_H
#define TESSART_AATREE_H

#include <stddef.h>
#include <stdint.h>

// Number of key coordinates stored in every record.
constexpr int KEY_SIZE = 3;

// Coordinates closer than this are equal for the tolerant comparisons.
constexpr double KEY_EPSILON = 0.0001;

// Entries of the fixed stacks of walkInOrder, treeShape and sampleEvenly; a stack holds one
// root-to-node path. In an AA tree a left child is one level below its parent and a right child
// at most one level below, never two horizontal links in a row, so a path from a root of level h
// has at most 2h records. Every record of level k > 1 has two children of level >= k - 1, so a
// root of level h has at least 2^h - 1 records beneath it. A path longer than 64 therefore needs
// h >= 33 and at least 2^33 - 1 (8.6e9) records: with the objects that embed them, about a
// terabyte of nodes in one tree. Walks that would exceed the bound stop and report failure.
constexpr int TRAVERSAL_DEPTH = 64;

// A record spans two cache lines when its holder places `key0` at the start of a line: first
// what only some operations read (the weight, the holder, the key's further coordinates), then
// a line of everything that descents, climbs and rebalancing read (the key's first coordinate,
// links, sum, hints, level), so that they pay one line per record visited. Keys equal in their
// first coordinate read the other line as well.
//
// The hints locate the record's four grandchildren (left-left, left-right, right-left,
// right-right), so that a descent starts loading the records two levels down while the level
// between is still on its way: two levels cost one memory latency instead of two. The up hint
// locates the grandparent likewise, for the climbs of rank and removal. Hints are distances
// from the record in units of 8 bytes, cut to 32 bits, and 0 where there is no such record;
// every operation that changes links keeps them exact. Only prefetches read them, so a wrong
// hint could cost time but never change a result.
struct TreeNodeRecord {
    uint64_t weight;
    // Non-null exactly while the record is in a tree: what holds it (the module stores the tree).
    // The holder may reuse the field while the record is detached (e.g. as a free-list link).
    void* holder;
    double keyRest[KEY_SIZE - 1];  // the key's coordinates after the first
    double key0;                   // the key's first coordinate; starts the line
    TreeNodeRecord* left;
    TreeNodeRecord* right;
    TreeNodeRecord* parent;  // null at the root
    uint64_t weightSum;      // weight plus both children's weightSum, modulo 2^64
    int32_t hint[4];
    uint8_t level;      // 1 for a leaf
    uint8_t holderTag;  // the holder's own: nothing here reads or writes it
    int32_t upHint;
};

// Offset of the line that descents read within a record.
constexpr size_t RECORD_LINE_OFFSET = offsetof(TreeNodeRecord, key0);
static_assert(sizeof(TreeNodeRecord) - RECORD_LINE_OFFSET == 64, "the line holds the rest");

// Coordinate k of a record's key.
inline double coordAt(const TreeNodeRecord* r, int k) {
    return k == 0 ? r->key0 : r->keyRest[k - 1];
}

// The hint from `from` to `to` (null: none).
inline int32_t hintTo(const TreeNodeRecord* from, const TreeNodeRecord* to) {
    // Records are 8-byte aligned, so the shift divides exactly; a distance of 2^31 units or more
    // loses its high bits and points elsewhere, which costs at most a wasted prefetch.
    uintptr_t d = (reinterpret_cast<uintptr_t>(to) - reinterpret_cast<uintptr_t>(from)) >> 3;
    return to ? static_cast<int32_t>(static_cast<uint32_t>(d)) : 0;
}

// The descent line of the record `hint` away from `r` (0: r's own). Only prefetches use it, so
// it is computed as an integer: r may be null, and a hint cut to 32 bits points anywhere.
inline const void* hintedLine(const TreeNodeRecord* r, int32_t hint = 0) {
    return reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(r) + RECORD_LINE_OFFSET +
                                         uintptr_t(int64_t(hint) * 8));
}

// Results of the walks over a tree.
enum TreeWalkResult {
    TREE_WALK_COMPLETE,  // every visit was made
    TREE_WALK_STOPPED,   // the visitor returned false; no further visits were made
    TREE_WALK_FAILED,    // the tree is deeper than TRAVERSAL_DEPTH, or a sample count was out
                         // of range; the visits made so far stand
};

// Called for each record of a walk. Returns false to stop the walk.
typedef bool (*TreeVisitor)(TreeNodeRecord* record, void* context);

// Called by releaseTree once per record, after the whole tree has been detached: drops the
// tree's reference to the object embedding `record` (whose holder is already null, so the
// callee finds its object from the record's address). It may run arbitrary code.
typedef void (*TreeReleaseCallback)(TreeNodeRecord* record, void* context);

struct TreeShape {
    int32_t count;     // number of records
    int32_t minDepth;  // smallest depth of a record without children (root = 1), 0 if empty
    int32_t maxDepth;  // largest such depth: the height of the tree
};

// ---- Keys ----

// Stores a key of `length` (1 to KEY_SIZE) coordinates, filling the rest with -infinity.
inline void setRecordKey(TreeNodeRecord* record, const double* key, int length) {
    record->key0 = key[0];
    for (int k = 1; k < KEY_SIZE; ++k)
        record->keyRest[k - 1] = k < length ? key[k] : -__builtin_inf();
}

// compareExact of `query` against the first `length` coordinates of `node`.
inline int comparePrefixExact(const double* query, int length, const TreeNodeRecord* node) {
    for (int k = 0; k < length; ++k) {
        double c = coordAt(node, k);
        if (query[k] > c) return 1;
        if (c > query[k]) return -1;
    }
    return 0;
}

// Returns +1 if a's key is greater, -1 if b's is, 0 if equal, over all coordinates: the first
// coordinate at which one is strictly greater decides.
inline int compareExact(const TreeNodeRecord* a, const TreeNodeRecord* b) {
    for (int k = 0; k < KEY_SIZE; ++k) {
        double ca = coordAt(a, k), cb = coordAt(b, k);
        if (ca > cb) return 1;
        if (cb > ca) return -1;
    }
    return 0;
}

// Sign of query - node at the first of `length` coordinates where they differ by more than
// KEY_EPSILON; 0 if there is none.
int compareQueryTolerant(const double* query, int length, const TreeNodeRecord* node);

// Sign of a - b at the first coordinate that differs by more than KEY_EPSILON (coordinates that
// are exactly equal are skipped, so two -infinity fills match); 0 if there is none.
int compareNodesTolerant(const TreeNodeRecord* a, const TreeNodeRecord* b);

// ---- Balance and update ----
// A slot is the link that holds a record: its parent's left or right, or the tree's root.

// Rotates right when the slot's record has a left child of the same or a higher level; keeps
// weightSums. Returns true iff it rotated.
bool skew(TreeNodeRecord** slot);

// Rotates left and raises the new top a level when the right grandchild's level reaches the
// slot record's; keeps weightSums. Returns true iff it rotated.
bool split(TreeNodeRecord** slot);

// Inserts `node` into the tree at `*root`. REQUIRES: key, weight and holder are set; node is
// in no tree. Ordered mode puts it after every equal key; append mode puts it last and sets
// *disorder (if given) when some record passed has a greater key; without disorder it compares
// no keys. *disorder is never cleared.
void insertNode(TreeNodeRecord** root, TreeNodeRecord* node, bool append, bool* disorder);

// Appends `count` records to a tree, in the given order, with the result of as many
// append-mode insertNode calls without a disorder flag on an empty tree, shape included, in
// linear time. `sums`, if given, holds the running totals of the records' weights: count + 1
// of them, sums[i] being the weight of the records before records[i] modulo 2^64; without it
// the weightSums take a walk of their own.
// REQUIRES: *root is null; every record has weight and holder set and is in no tree.
void appendRecords(TreeNodeRecord** root, TreeNodeRecord* const* records, size_t count,
                   const uint64_t* sums = nullptr);

// Removes `node` from the tree at `*root`. REQUIRES: node belongs to that tree. Leaves node's
// own fields (holder included) as they were; the caller detaches it.
void eraseNode(TreeNodeRecord** root, TreeNodeRecord* node);

// Empties the tree at `*root`: sets *root to null and every record's holder to null, then calls
// release for each record in post-order (left subtree, right subtree, node). The records' links
// are reused for the walk and mean nothing afterwards. Should a callback insert a record that
// is still waiting for its release into some tree, that record is released and the walk ends
// there: the records after it keep the reference the tree held (a leak, never a dangling link).
void releaseTree(TreeNodeRecord** root, TreeReleaseCallback release, void* context);

// ---- Navigation (every record given must be in a tree) ----

// Returns the record before `node` in order, or null at the first.
TreeNodeRecord* nodePrev(TreeNodeRecord* node);

// Returns the record after `node` in order, or null at the last.
TreeNodeRecord* nodeNext(TreeNodeRecord* node);

// Returns the first record of the tree rooted at `root`, or null if it is empty.
TreeNodeRecord* leftmostNode(TreeNodeRecord* root);

// Returns the last record of the tree rooted at `root`, or null if it is empty.
TreeNodeRecord* rightmostNode(TreeNodeRecord* root);

// Returns the root of the tree that holds `node`.
TreeNodeRecord* rootOf(TreeNodeRecord* node);

// Returns the total weight of the records before `node` in order.
uint64_t nodeRank(const TreeNodeRecord* node);

// Returns the record whose interval [rank, rank + weight) contains i, or null when i is at or
// beyond the total weight. Records of weight 0 are never returned.
TreeNodeRecord* selectByWeight(TreeNodeRecord* root, uint64_t i);

// ---- Searches ----

// Lower search (upper = false): the last record that lies below `query` by more than
// KEY_EPSILON at the first of `length` coordinates where they differ by more than that. Upper
// search: the first record that lies above it in the same sense. Null if none.
TreeNodeRecord* boundSearch(TreeNodeRecord* root, const double* query, int length, bool upper);

// Returns the record nearest to `query` on the first coordinate among the last record whose
// prefix is below the query and the first one at or above it; the one below is ruled out when
// it is under `lowerBound` or nearer to the bound than to the query, and ties go to the one
// above. With only one of them present, that one. Null for an empty tree.
TreeNodeRecord* closestNode(TreeNodeRecord* root, const double* query, int length,
                            double lowerBound);

// The start of a merge walk cut at `key`: with lean the cut falls before the records equal to
// key within KEY_EPSILON, without it after them. Returns the last record before the cut when
// merge is true (the walk goes backwards), the first record after it otherwise; null if none.
TreeNodeRecord* splitPoint(const double* key, int length, TreeNodeRecord* root, bool lean,
                           bool merge);

// ---- Traversals ----

// Calls visit for every record in key order.
TreeWalkResult walkInOrder(TreeNodeRecord* root, TreeVisitor visit, void* context);

// Calls visit(record), which returns nothing and must not change the tree, for every record in
// key order: walkInOrder for callers that want the visit inlined. Returns false (after the
// visits made so far) iff the tree is deeper than TRAVERSAL_DEPTH.
template <typename Visit>
inline bool forEachInOrder(TreeNodeRecord* root, Visit visit) {
    TreeNodeRecord* stack[TRAVERSAL_DEPTH];
    int top = 0;
    TreeNodeRecord* cur = root;
    // A walk over a large tree waits on memory at nearly every record, along links the
    // processor cannot foresee, so it loads ahead by hand: the first line of a record pushed,
    // which a visit is likely to read; the record two links further down the chain of left
    // children (through the hints); and, when a record is popped, its right child, that
    // child's left child, and the right child of the record next on the stack.
    for (;;) {
        for (; cur; cur = cur->left) {
            if (top == TRAVERSAL_DEPTH) return false;
            __builtin_prefetch(cur);
            __builtin_prefetch(hintedLine(cur, cur->hint[0]));
            stack[top++] = cur;
        }
        if (top == 0) return true;
        cur = stack[--top];
        __builtin_prefetch(hintedLine(cur->right));
        __builtin_prefetch(hintedLine(cur, cur->hint[2]));
        if (top) __builtin_prefetch(hintedLine(stack[top - 1]->right));
        visit(cur);
        cur = cur->right;
    }
}

// Fills *shape. Returns false (shape undefined) iff the tree is deeper than TRAVERSAL_DEPTH.
bool treeShape(TreeNodeRecord* root, TreeShape* shape);

// Calls visit n times, at n cumulative weights spread evenly from 0 to total - 1 (from the
// middle when n = 1), each time with the record covering that weight: ascending order, the
// same record possibly several times in a row. REQUIRES: 1 <= n <= total weight (n = 0 makes
// no visit; other counts fail without visiting).
TreeWalkResult sampleEvenly(TreeNodeRecord* root, int32_t n, TreeVisitor visit, void* context);

// Merges the trees rooted at roots[0, n) from their cuts at `key`, each walked from its
// splitPoint(key, length, root, lean, backwards): calls visit for the records of all of them in
// the order of the walk (descending keys when backwards), skipping every record equal within
// KEY_EPSILON to the one visited last (not to the ones skipped: the tolerance does not chain).
// Which of several records within the tolerance of each other comes first depends on the trees'
// shapes. `heap` holds n records of scratch and may be `roots` itself, which the walk overwrites.
// REQUIRES: 1 <= length <= KEY_SIZE; no tree changes until the walk returns.
TreeWalkResult mergeWalk(TreeNodeRecord* const* roots, size_t n, const double* key, int length,
                         bool lean, bool backwards, TreeNodeRecord** heap, TreeVisitor visit,
                         void* context);

#endif  // TESSART_AATREE_H
