// Weighted ordered AA tree: balance, update, navigation, searches and walks. See AATree.h.
//
// Written without the C++ runtime: no allocation, exceptions, RTTI, static constructors or
// library calls, so that the module linking it needs nothing but libc.

#include "AATree.h"

namespace {

inline uint64_t sumOf(const TreeNodeRecord* r) {
    return r ? r->weightSum : 0;
}
inline int levelOf(const TreeNodeRecord* r) {
    return r ? r->level : 0;
}

// The link that holds `node`. REQUIRES: node is in the tree at `*root`.
inline TreeNodeRecord** slotOf(TreeNodeRecord** root, TreeNodeRecord* node) {
    TreeNodeRecord* p = node->parent;
    if (!p) return root;
    return p->left == node ? &p->left : &p->right;
}

// Starts loading the grandparent of a record that a climb passes: a climb then waits once per
// two levels, as a descent does.
__attribute__((always_inline)) inline void prefetchUp(const TreeNodeRecord* r) {
    __builtin_prefetch(hintedLine(r, r->upHint));
}

// A descent compares a key with the records it passes, and with keys spread at random no
// predictor guesses which way it goes: a wrong guess costs more than the level's own work. So
// descents settle the first coordinate without a branch and take the next record with a
// conditional move; only a tie on the first coordinate, which is rare, branches to the rest.

// `b` if `second`, else `a`, without a branch.
template <typename T>
inline T pickIf(bool second, T a, T b) {
#if defined(__x86_64__)
    // Compilers turn a select of values they deem predictable back into a branch.
    __asm__("test %[s], %[s]\n\tcmovne %[b], %[a]"
            : [a] "+r"(a)
            : [s] "r"(second), [b] "r"(b)
            : "cc");
    return a;
#else
    return second ? b : a;
#endif
}

// The flag, its origin hidden from the compiler, which would otherwise branch on the comparison
// that made it instead of testing the rare case alone.
inline bool opaque(bool flag) {
    __asm__("" : "+r"(flag));
    return flag;
}

// compareExact(a, b) > 0.
inline bool keyAbove(const TreeNodeRecord* a, const TreeNodeRecord* b) {
    bool above = opaque(a->key0 > b->key0), under = opaque(b->key0 > a->key0);
    if (__builtin_expect(!(above | under), 0)) above = compareExact(a, b) > 0;
    return above;
}

// comparePrefixExact(query, length, node) > 0.
inline bool queryAboveExact(const double* query, int length, const TreeNodeRecord* node) {
    bool above = opaque(query[0] > node->key0), under = opaque(node->key0 > query[0]);
    if (__builtin_expect(!(above | under) && length > 1, 0))
        above = comparePrefixExact(query, length, node) > 0;
    return above;
}

// Whether the query lies beyond the record in the tolerant order: above it
// (compareQueryTolerant(query, length, node) > 0), or below it (< 0) with `below`.
template <bool below>
inline bool queryBeyond(const double* query, int length, const TreeNodeRecord* node) {
    double d = query[0] - node->key0;
    bool above = opaque(d > KEY_EPSILON), under = opaque(d < -KEY_EPSILON);
    bool beyond = below ? under : above;
    if (__builtin_expect(!(above | under) && length > 1, 0)) {
        int c = compareQueryTolerant(query, length, node);
        beyond = below ? c < 0 : c > 0;
    }
    return beyond;
}

// Starts loading both children of a record that a descent is about to leave, so that the one
// taken is on its way before the comparison that picks it is resolved.
__attribute__((always_inline)) inline void prefetchChildren(const TreeNodeRecord* r) {
    __builtin_prefetch(hintedLine(r->left));
    __builtin_prefetch(hintedLine(r->right));
}

// Starts loading the four grandchildren of a record that a descent passes, so that their lines
// travel alongside the child's: the descent then waits once per two levels. The children were
// loaded as grandchildren of the record above, or, below the root, by the descent itself.
// A hint of 0 loads the record itself. Always inlined: a call of its own would be deleted,
// since the compiler counts prefetches as having no effect. Written out, since GCC keeps a loop
// of four as a loop.
__attribute__((always_inline)) inline void prefetchDescent(const TreeNodeRecord* r) {
    __builtin_prefetch(hintedLine(r, r->hint[0]));
    __builtin_prefetch(hintedLine(r, r->hint[1]));
    __builtin_prefetch(hintedLine(r, r->hint[2]));
    __builtin_prefetch(hintedLine(r, r->hint[3]));
}

// Stands in for a missing child, whose children are then null: no branch on the links.
constexpr TreeNodeRecord noChild{};

// Recomputes the hints of `r` from its links.
inline void computeHints(TreeNodeRecord* r) {
    const TreeNodeRecord* l = r->left ? r->left : &noChild;
    const TreeNodeRecord* g = r->right ? r->right : &noChild;
    r->hint[0] = hintTo(r, l->left);
    r->hint[1] = hintTo(r, l->right);
    r->hint[2] = hintTo(r, g->left);
    r->hint[3] = hintTo(r, g->right);
}

// A record of level 1 has no grandchildren in a balanced tree, so its hints are 0 from the
// moment it takes that level (as a new leaf, or lowered by a removal) until it leaves it by a
// split, which recomputes them: the many refreshes at the bottom of a tree, where rebalancing
// mostly works, are skipped.
inline void refreshHints(TreeNodeRecord* r) {
    if (r->level > 1) computeHints(r);
}

inline void clearHints(TreeNodeRecord* r) {
    // Four stores; as a loop, GCC makes it a call of memset.
    r->hint[0] = r->hint[1] = r->hint[2] = r->hint[3] = 0;
}

// Rebalancing climbs with a mask of the records whose hints are still to be recomputed: bit k
// stands for the record k levels above the current one. A rotation refreshes the records it
// moves, and leaves stale the holder of its slot and that holder's parent. Returns the mask for
// the level above once the current record, `top`, has been dealt with.
constexpr unsigned STALE_SELF = 1, STALE_PARENT = 2, STALE_GRANDPARENT = 4;
constexpr unsigned STALE_ALL = STALE_SELF | STALE_PARENT | STALE_GRANDPARENT;

inline unsigned settleHints(TreeNodeRecord* top, unsigned stale) {
    if (stale & STALE_SELF) refreshHints(top);
    return stale >> 1;
}

// Recomputes the two hints of `x` on the side of its child `c`, where a link changed below. A
// null c stands for x's left child if that is null, else for its right one.
inline void refreshHintsToward(TreeNodeRecord* x, const TreeNodeRecord* c) {
    if (x->level <= 1) return;
    int k = x->left == c ? 0 : 2;
    const TreeNodeRecord* d = c ? c : &noChild;
    x->hint[k] = hintTo(x, d->left);
    x->hint[k + 1] = hintTo(x, d->right);
}

// Keeps a record's up hint: its grandparent, after a link above it changed.
inline void refreshUp(TreeNodeRecord* r) {
    if (r) r->upHint = hintTo(r, r->parent ? r->parent->parent : nullptr);
}
// After `x` took a new parent: x and its children have new grandparents.
inline void refreshUpBelow(TreeNodeRecord* x) {
    if (!x) return;
    refreshUp(x);
    refreshUp(x->left);
    refreshUp(x->right);
}
// Sets the up hint of `r`, if any, to grandparent `g`.
inline void setUp(TreeNodeRecord* r, const TreeNodeRecord* g) {
    if (r) r->upHint = hintTo(r, g);
}

// Refreshes what the mask still holds above a climb that stopped at `x`, coming from its child
// `from`: every link changed since lies on that side of the records left.
inline void settleHintsAbove(TreeNodeRecord* x, const TreeNodeRecord* from, unsigned stale) {
    for (; x && stale; from = x, x = x->parent, stale >>= 1)
        if (stale & STALE_SELF) refreshHintsToward(x, from);
}

// Also starts loading the children of every record passed, which the rebalancing that follows
// a removal reads from the bottom of the same path up.
inline void subtractFromPath(TreeNodeRecord* from, uint64_t amount) {
    for (; from; from = from->parent) {
        prefetchUp(from);
        prefetchChildren(from);
        from->weightSum -= amount;
    }
}

// The first record of a post-order walk of the subtree at `r`. REQUIRES: r is not null.
TreeNodeRecord* firstPostOrder(TreeNodeRecord* r) {
    for (;;) {
        if (r->left)
            r = r->left;
        else if (r->right)
            r = r->right;
        else
            return r;
    }
}

// Keeps the up hints after a rotation that lifted `top` over `t`, which adopted top's inner
// child: that child, top and t have new parents, so they and their children have new
// grandparents (top's other child, t's other child, and the adopted child's children).
inline void settleUpHints(TreeNodeRecord* top, TreeNodeRecord* t, TreeNodeRecord* topOuter,
                          TreeNodeRecord* tOuter, TreeNodeRecord* adopted) {
    TreeNodeRecord* p = top->parent;
    setUp(top, p ? p->parent : nullptr);
    setUp(topOuter, p);
    setUp(t, p);
    setUp(tOuter, top);
    if (adopted) {
        setUp(adopted, top);
        setUp(adopted->left, t);
        setUp(adopted->right, t);
    }
}

// The rotations of skew and split; called only when they rotate, so that the tests stay
// inline in the loops that rebalance.
void rotateRight(TreeNodeRecord** slot, TreeNodeRecord* t, TreeNodeRecord* l) {
    // The subtree's total stays; t loses l's sum and gains that of the subtree it adopts. No
    // weight is read, which lies on the records' other line.
    uint64_t total = t->weightSum;
    t->left = l->right;
    if (t->left) t->left->parent = t;
    l->right = t;
    l->parent = t->parent;
    *slot = l;
    t->parent = l;
    t->weightSum = total - l->weightSum + sumOf(t->left);
    l->weightSum = total;
    refreshHints(t);
    refreshHints(l);
    settleUpHints(l, t, l->left, t->right, t->left);
}

void rotateLeftAndRaise(TreeNodeRecord** slot, TreeNodeRecord* t, TreeNodeRecord* r) {
    uint64_t total = t->weightSum;
    t->right = r->left;
    if (t->right) t->right->parent = t;
    r->left = t;
    r->parent = t->parent;
    *slot = r;
    t->parent = r;
    t->weightSum = total - r->weightSum + sumOf(t->right);
    r->weightSum = total;
    ++r->level;
    refreshHints(t);
    refreshHints(r);
    settleUpHints(r, t, r->right, t->left, t->right);
}

inline bool skewSlot(TreeNodeRecord** slot) {
    TreeNodeRecord* t = *slot;
    TreeNodeRecord* l = t->left;
    if (!l || t->level > l->level) return false;
    rotateRight(slot, t, l);
    return true;
}

inline bool splitSlot(TreeNodeRecord** slot) {
    TreeNodeRecord* t = *slot;
    TreeNodeRecord* r = t->right;
    if (!r || !r->right || t->level > r->right->level) return false;
    rotateLeftAndRaise(slot, t, r);
    return true;
}

// Restores the AA rules on the path above a leaf just attached under `parent`. split looks two
// links down the right spine, so a horizontal link made at one level is only caught from the
// level above it: one quiet split is not enough to stop, two in a row are.
void rebalanceAfterInsert(TreeNodeRecord** root, TreeNodeRecord* parent) {
    bool latestSplit = true, splitBefore = true;
    // The new leaf changed its grandparent's hints, not its parent's: seen from the parent, the
    // record one level up.
    unsigned stale = STALE_PARENT;
    TreeNodeRecord* x = parent;
    TreeNodeRecord* from = nullptr;  // the record the climb came from, x's child
    while (x && (latestSplit || splitBefore)) {
        TreeNodeRecord** slot = slotOf(root, x);
        bool skewed = skewSlot(slot);
        splitBefore = latestSplit;
        latestSplit = splitSlot(slot);
        if (skewed || latestSplit) stale |= STALE_PARENT | STALE_GRANDPARENT;
        stale = settleHints(*slot, stale);
        from = *slot;
        x = from->parent;
    }
    settleHintsAbove(x, from, stale);
}

// Distinguishes the records of one releaseTree call from those of any other, including calls
// that its callbacks make.
uint64_t releaseCalls = 0;

}  // namespace

// ---- Keys ----

int compareQueryTolerant(const double* query, int length, const TreeNodeRecord* node) {
    for (int k = 0; k < length; ++k) {
        // Written as two comparisons so that a NaN difference passes as equal.
        double d = query[k] - coordAt(node, k);
        if (d > KEY_EPSILON) return 1;
        if (d < -KEY_EPSILON) return -1;
    }
    return 0;
}

int compareNodesTolerant(const TreeNodeRecord* a, const TreeNodeRecord* b) {
    for (int k = 0; k < KEY_SIZE; ++k) {
        double ca = coordAt(a, k), cb = coordAt(b, k);
        if (ca == cb) continue;
        double d = ca - cb;
        if (d > KEY_EPSILON) return 1;
        if (d < -KEY_EPSILON) return -1;
    }
    return 0;
}

// ---- Balance and update ----

bool skew(TreeNodeRecord** slot) {
    return skewSlot(slot);
}

bool split(TreeNodeRecord** slot) {
    return splitSlot(slot);
}

void insertNode(TreeNodeRecord** root, TreeNodeRecord* node, bool append, bool* disorder) {
    TreeNodeRecord* parent = nullptr;
    TreeNodeRecord** link = root;
    uint64_t weight = node->weight;
    // Every record passed becomes an ancestor of the new leaf, so its sum grows on the way down.
    if (!append) {
        if (*root) prefetchChildren(*root);
        while (TreeNodeRecord* q = *link) {
            prefetchDescent(q);
            q->weightSum += weight;
            parent = q;
            link = pickIf(!keyAbove(q, node), &q->left, &q->right);
        }
    } else {
        while (TreeNodeRecord* q = *link) {
            q->weightSum += weight;
            parent = q;
            if (disorder && compareExact(q, node) > 0) *disorder = true;
            link = &q->right;
        }
    }
    node->parent = parent;
    refreshUp(node);
    node->left = node->right = nullptr;
    node->weightSum = weight;
    node->level = 1;
    clearHints(node);
    *link = node;
    rebalanceAfterInsert(root, parent);
}

namespace {
// In a segment of appendRecords: the position of the parent of position j (which is below the
// segment's top), as the rule there gives it.
inline size_t segmentParent(size_t j) {
    size_t b = j & (~j + 1);
    return (j & 2 * b) ? j - b : j + b;
}
}  // namespace

void appendRecords(TreeNodeRecord** root, TreeNodeRecord* const* records, size_t count,
                   const uint64_t* sums) {
    // Appending only ever changes the right spine: skew never rotates there, and split lifts the
    // middle of three records of one level, leaving the first as its left child with two
    // children a level below. So every subtree that hangs to the left of the spine is perfect,
    // and the spine holds one or two records of each level from the root's down to 1, as many
    // as the digits of count written in base 2 with the digits 1 and 2. In key order the tree
    // is therefore a run of segments, for each level L from the root's down to 1 one or two of
    // them, each of 2^(L-1) records: a perfect subtree, then the spine record that holds it.
    // Within a segment, the record at position k (from 1) with lowest set bit b has level
    // log2(b) + 1 and children at k - b/2 and k + b/2; it is the left child of k + b when bit 2b
    // of k is clear, else the right child of k - b. The spine record closes its segment at k =
    // 2^(L-1), and the root of the perfect subtree is the left child it gets from that rule.
    uint8_t digits[64];
    int height = 0;
    for (size_t n = count; n; ++height) {
        digits[height] = (n & 1) ? 1 : 2;
        n = (n - digits[height]) >> 1;
    }
    TreeNodeRecord* spine = nullptr;  // the last spine record placed
    size_t base = 0;                  // records placed so far
    for (int level = height; level >= 1; --level) {
        size_t size = size_t(1) << (level - 1);
        for (int copy = 0; copy < digits[level - 1]; ++copy, base += size) {
            TreeNodeRecord* const* at = records + base - 1;  // at[k]: position k of the segment
            // The grandparent of position j < size: the segment's top, at size, hangs from the
            // spine record placed before it.
            auto grandparentAt = [&](size_t j) {
                size_t p = segmentParent(j);
                return p == size ? spine : at[segmentParent(p)];
            };
            // Odd positions are leaves, every other one an inner record.
            for (size_t k = 1; k < size; k += 2) {
                TreeNodeRecord* leaf = at[k];
                leaf->level = 1;
                leaf->left = leaf->right = nullptr;
                leaf->parent = at[segmentParent(k)];
                leaf->upHint = hintTo(leaf, grandparentAt(k));
                // From the totals where given: the weight lies on the record's other line.
                leaf->weightSum = sums ? sums[base + k] - sums[base + k - 1] : leaf->weight;
                clearHints(leaf);
                size_t j = k + 1;
                if (j == size) break;
                size_t b = j & (~j + 1);
                TreeNodeRecord* r = at[j];
                r->level = static_cast<uint8_t>(__builtin_ctzll(j) + 1);
                r->left = at[j - b / 2];
                r->right = at[j + b / 2];
                r->parent = at[segmentParent(j)];
                r->upHint = hintTo(r, grandparentAt(j));
                if (sums) r->weightSum = sums[base + j + b - 1] - sums[base + j - b];
                // Grandchildren at b/4 from the children; only beneath level 3 and up.
                size_t q = b / 4;
                r->hint[0] = q ? hintTo(r, at[j - b / 2 - q]) : 0;
                r->hint[1] = q ? hintTo(r, at[j - b / 2 + q]) : 0;
                r->hint[2] = q ? hintTo(r, at[j + b / 2 - q]) : 0;
                r->hint[3] = q ? hintTo(r, at[j + b / 2 + q]) : 0;
            }
            TreeNodeRecord* top = at[size];
            top->level = static_cast<uint8_t>(level);
            top->left = size > 1 ? at[size / 2] : nullptr;
            top->right = nullptr;
            top->parent = spine;
            top->upHint = hintTo(top, spine ? spine->parent : nullptr);
            if (sums) top->weightSum = sums[count] - sums[base];
            *(spine ? &spine->right : root) = top;
            spine = top;
        }
    }
    // The spine's hints, once the whole spine is linked.
    for (TreeNodeRecord* r = *root; r; r = r->right) computeHints(r);
    if (sums || !*root) return;
    TreeNodeRecord* top = *root;
    for (TreeNodeRecord* r = firstPostOrder(top);;) {
        r->weightSum = r->weight + sumOf(r->left) + sumOf(r->right);
        if (r == top) break;
        TreeNodeRecord* p = r->parent;
        r = (p->right == r || !p->right) ? p : firstPostOrder(p->right);
    }
}

void eraseNode(TreeNodeRecord** root, TreeNodeRecord* node) {
    TreeNodeRecord** slot = slotOf(root, node);
    TreeNodeRecord* start;
    // As in rebalanceAfterInsert: where a child went, and its parent.
    unsigned stale = STALE_SELF | STALE_PARENT;
    TreeNodeRecord* from;  // start's child on the side that changed
    if (node->left && node->right) {
        TreeNodeRecord* s;
        if (node->right->left) {
            // The successor leaves its place deep in the right subtree and takes node's.
            s = leftmostNode(node->right);
            TreeNodeRecord* sParent = s->parent;
            sParent->left = s->right;
            if (s->right) s->right->parent = sParent;
            start = sParent;
            from = sParent->left;
            // s has no left child: its weight without reading its other line.
            uint64_t moved = s->weightSum - sumOf(s->right);
            for (TreeNodeRecord* x = sParent; x != node; x = x->parent) x->weightSum -= moved;
            s->left = node->left;
            s->right = node->right;
            s->parent = node->parent;
            s->left->parent = s;
            s->right->parent = s;
        } else {
            // The right child is the successor: it moves up and adopts node's left subtree.
            s = node->right;
            s->parent = node->parent;
            s->left = node->left;
            s->left->parent = s;
            start = s;
            from = s->left;
        }
        *slot = s;
        s->level = node->level;
        s->weightSum = node->weightSum;
        // s, node's children and the record moved up to s's old place have new parents.
        refreshUp(s);
        refreshUpBelow(s->left);
        refreshUpBelow(s->right);
        if (start != s) refreshUpBelow(start->left);
        subtractFromPath(s, node->weight);
        // The successor took node's place: its hints and its grandparent's change, and its
        // parent's unless it adopted both of node's children. The rebalancing starts there, or
        // below it where the successor's old parent lost a child, and may not reach it.
        if (start == s) {
            stale = STALE_ALL;
        } else {
            refreshHints(s);
            if (s->parent) settleHintsAbove(s->parent->parent, s->parent, STALE_SELF);
        }
    } else {
        TreeNodeRecord* child = node->left ? node->left : node->right;
        *slot = child;
        if (child) child->parent = node->parent;
        refreshUp(child);  // a lone child is a leaf: nothing below it has a new grandparent
        start = node->parent;
        from = child;
        if (!child) stale = STALE_PARENT;  // a leaf had no children: its parent's hints stay
        subtractFromPath(start, node->weight);
    }

    TreeNodeRecord* x = start;
    while (x) {
        slot = slotOf(root, x);
        bool changed = false;
        int lower = levelOf(x->left) < levelOf(x->right) ? levelOf(x->left) : levelOf(x->right);
        if (x->level - 1 > lower) {
            --x->level;
            changed = true;
            if (x->level == 1) clearHints(x);
            if (x->right && x->right->level > x->level) {
                x->right->level = x->level;
                if (x->level == 1) clearHints(x->right);
            }
        }
        bool rotated = skewSlot(slot);
        TreeNodeRecord* top = *slot;
        if (top->right && skewSlot(&top->right)) rotated = true;
        TreeNodeRecord* right = top->right;
        if (right && right->right && skewSlot(&right->right)) rotated = true;
        if (splitSlot(slot)) rotated = true;
        top = *slot;
        if (top->right && splitSlot(&top->right)) rotated = true;
        if (!changed && !rotated) break;
        if (rotated) {
            // Besides the slot's holder, the rotations beneath the top may have changed a link
            // of these two without moving them.
            if (top->right) refreshHints(top->right);
            stale |= STALE_ALL;
        }
        stale = settleHints(top, stale);
        from = top;
        x = top->parent;
    }
    settleHintsAbove(x, from, stale);
}

void releaseTree(TreeNodeRecord** root, TreeReleaseCallback release, void* context) {
    TreeNodeRecord* top = *root;
    *root = nullptr;
    if (!top) return;

    // First detach everything without calling out, threading the records in post-order through
    // their parent links. A record's own links are no longer needed once its successor is known.
    // Level 0 and this call's token in weightSum mark a record as still waiting for its release:
    // a callback that inserts the record somewhere overwrites both.
    uint64_t token = ++releaseCalls;
    TreeNodeRecord* head = firstPostOrder(top);
    for (TreeNodeRecord* r = head; r;) {
        TreeNodeRecord* next = nullptr;
        if (r != top) {
            TreeNodeRecord* p = r->parent;
            next = (p->right == r || !p->right) ? p : firstPostOrder(p->right);
        }
        r->holder = nullptr;
        r->level = 0;
        r->weightSum = token;
        r->parent = next;
        r = next;
    }

    // The tree still holds a reference to every record not yet released, so each of them stays
    // alive until its own callback.
    for (TreeNodeRecord* r = head; r;) {
        bool waiting = r->level == 0 && r->weightSum == token && !r->holder;
        TreeNodeRecord* next = waiting ? r->parent : nullptr;
        release(r, context);
        r = next;
    }
}

// ---- Navigation ----

TreeNodeRecord* nodePrev(TreeNodeRecord* node) {
    if (node->left) return rightmostNode(node->left);
    TreeNodeRecord* p = node->parent;
    while (p && p->left == node) {
        node = p;
        p = p->parent;
    }
    return p;
}

TreeNodeRecord* nodeNext(TreeNodeRecord* node) {
    if (node->right) return leftmostNode(node->right);
    TreeNodeRecord* p = node->parent;
    while (p && p->right == node) {
        node = p;
        p = p->parent;
    }
    return p;
}

TreeNodeRecord* leftmostNode(TreeNodeRecord* root) {
    if (root)
        while (root->left) root = root->left;
    return root;
}

TreeNodeRecord* rightmostNode(TreeNodeRecord* root) {
    if (root)
        while (root->right) root = root->right;
    return root;
}

TreeNodeRecord* rootOf(TreeNodeRecord* node) {
    while (node->parent) node = node->parent;
    return node;
}

uint64_t nodeRank(const TreeNodeRecord* node) {
    uint64_t rank = sumOf(node->left);
    // Whether the climb comes from the right is as random as a descent's turns: no branch.
    for (const TreeNodeRecord* p = node->parent; p; node = p, p = p->parent) {
        prefetchUp(p);
        rank += (p->weightSum - node->weightSum) & (uint64_t(0) - uint64_t(p->right == node));
    }
    return rank;
}

TreeNodeRecord* selectByWeight(TreeNodeRecord* root, uint64_t i) {
    if (!root || i >= root->weightSum) return nullptr;
    prefetchChildren(root);
    for (TreeNodeRecord* cur = root; cur;) {
        prefetchDescent(cur);
        uint64_t ls = sumOf(cur->left);
        if (i < ls) {
            cur = cur->left;
            continue;
        }
        // The weight without reading the other line: the right child is loading anyway.
        uint64_t upTo = cur->weightSum - sumOf(cur->right);  // ls + weight
        if (i < upTo) return cur;
        i -= upTo;
        cur = cur->right;
    }
    return nullptr;
}

// ---- Searches ----

TreeNodeRecord* boundSearch(TreeNodeRecord* root, const double* query, int length, bool upper) {
    TreeNodeRecord* found = nullptr;
    if (!root) return nullptr;
    prefetchChildren(root);
    if (upper) {
        // The first record above the query: the last one left of which the descent turned.
        for (TreeNodeRecord* cur = root; cur;) {
            prefetchDescent(cur);
            bool above = queryBeyond<true>(query, length, cur);
            found = pickIf(above, found, cur);
            cur = pickIf(!above, cur->left, cur->right);
        }
    } else {
        // The last record below it: the last one right of which the descent turned.
        for (TreeNodeRecord* cur = root; cur;) {
            prefetchDescent(cur);
            bool below = queryBeyond<false>(query, length, cur);
            found = pickIf(below, found, cur);
            cur = pickIf(below, cur->left, cur->right);
        }
    }
    return found;
}

TreeNodeRecord* closestNode(TreeNodeRecord* root, const double* query, int length,
                            double lowerBound) {
    TreeNodeRecord* below = nullptr;
    TreeNodeRecord* above = nullptr;
    if (root) prefetchChildren(root);
    for (TreeNodeRecord* cur = root; cur;) {
        prefetchDescent(cur);
        bool right = queryAboveExact(query, length, cur);
        below = pickIf(right, below, cur);
        above = pickIf(right, cur, above);
        cur = pickIf(right, cur->left, cur->right);
    }
    if (!below) return above;
    if (!above) return below;
    double dBelow = __builtin_fabs(below->key0 - query[0]);
    if (dBelow > below->key0 - lowerBound) return above;
    if (__builtin_fabs(above->key0 - query[0]) > dBelow) return below;
    return above;
}

TreeNodeRecord* splitPoint(const double* key, int length, TreeNodeRecord* root, bool lean,
                           bool merge) {
    TreeNodeRecord* before = nullptr;
    TreeNodeRecord* after = nullptr;
    for (TreeNodeRecord* cur = root; cur;) {
        int c = compareQueryTolerant(key, length, cur);
        if (c < 0 || (c == 0 && lean)) {
            after = cur;
            cur = cur->left;
        } else {
            before = cur;
            cur = cur->right;
        }
    }
    return merge ? before : after;
}

// ---- Traversals ----

namespace {

// In-order walk on a fixed stack. visit(record, depth) returns false to stop; depth is the
// record's stack position, the root being 1.
template <typename Visit>
TreeWalkResult walkWithDepth(TreeNodeRecord* root, Visit visit) {
    if (!root) return TREE_WALK_COMPLETE;
    struct Entry {
        TreeNodeRecord* record;
        int state;  // 0: left subtree next, 1: the record itself next, 2: done
    } stack[TRAVERSAL_DEPTH];
    int top = 0;
    stack[0] = {root, 0};
    for (;;) {
        Entry& e = stack[top];
        TreeNodeRecord* child = nullptr;
        if (e.state == 0) {
            e.state = 1;
            child = e.record->left;
        } else if (e.state == 1) {
            e.state = 2;
            if (!visit(e.record, top + 1)) return TREE_WALK_STOPPED;
            child = e.record->right;
        } else {
            if (top == 0) return TREE_WALK_COMPLETE;
            --top;
        }
        if (child) {
            if (top + 1 == TRAVERSAL_DEPTH) return TREE_WALK_FAILED;
            stack[++top] = {child, 0};
        }
    }
}

}  // namespace

TreeWalkResult walkInOrder(TreeNodeRecord* root, TreeVisitor visit, void* context) {
    return walkWithDepth(root, [=](TreeNodeRecord* r, int) { return visit(r, context); });
}

bool treeShape(TreeNodeRecord* root, TreeShape* shape) {
    TreeShape s = {0, 0, 0};
    TreeWalkResult result = walkWithDepth(root, [&s](TreeNodeRecord* r, int depth) {
        ++s.count;
        if (!r->left && !r->right) {
            if (s.minDepth == 0 || depth < s.minDepth) s.minDepth = depth;
            if (depth > s.maxDepth) s.maxDepth = depth;
        }
        return true;
    });
    *shape = s;
    return result == TREE_WALK_COMPLETE;
}

TreeWalkResult sampleEvenly(TreeNodeRecord* root, int32_t n, TreeVisitor visit, void* context) {
    if (n == 0) return TREE_WALK_COMPLETE;
    uint64_t total = sumOf(root);
    if (n < 0 || (uint64_t)n > total) return TREE_WALK_FAILED;

    // Gaps between positions are step or step + 1, the longer ones last; with rem adjusted to
    // 1..n-1 the positions end exactly at total - 1.
    uint64_t count = (uint64_t)n;
    uint64_t pos, step, rem;
    if (n > 1) {
        uint64_t d = count - 1;
        step = total / d;
        rem = total % d;
        if (rem == 0) {
            rem = d;
            --step;
        }
        pos = 0;
    } else {
        pos = total / 2;
        step = 0;
        rem = 0;
    }

    // Positions never decrease, so each lookup resumes from the stack the previous one left.
    struct Entry {
        TreeNodeRecord* record;
        uint64_t base;  // total weight before the entry's subtree
    } stack[TRAVERSAL_DEPTH];
    int top = 0;
    stack[0] = {root, 0};
    for (uint64_t i = 1; i <= count; ++i) {
        TreeNodeRecord* hit = nullptr;
        while (!hit) {
            TreeNodeRecord* r = stack[top].record;
            uint64_t b = stack[top].base;
            TreeNodeRecord* next = nullptr;
            if (r->left) {
                if (b + r->left->weightSum > pos)
                    next = r->left;
                else
                    b += r->left->weightSum;
            }
            if (!next) {
                if (b + r->weight > pos) {
                    hit = r;
                    break;
                }
                b += r->weight;
                if (r->right && b + r->right->weightSum > pos) next = r->right;
            }
            if (next) {
                if (top + 1 == TRAVERSAL_DEPTH) return TREE_WALK_FAILED;
                stack[++top] = {next, b};
            } else {
                // Only a tree whose weightSums do not add up runs past its root.
                if (top == 0) return TREE_WALK_FAILED;
                --top;
            }
        }
        if (!visit(hit, context)) return TREE_WALK_STOPPED;
        pos += step + (count - rem < i ? 1 : 0);
    }
    return TREE_WALK_COMPLETE;
}

namespace {

// REQUIRES: a and b hold keys. The merge heap's order: `a` leaves first when it lies beyond the
// tolerance on the side the walk reaches first; records within the tolerance stay unordered.
inline bool comesBefore(const TreeNodeRecord* a, const TreeNodeRecord* b, bool backwards) {
    return compareNodesTolerant(a, b) == (backwards ? 1 : -1);
}

// REQUIRES: heap[0, i) is a heap. Makes heap[0, i] one.
void siftUp(TreeNodeRecord** heap, size_t i, bool backwards) {
    while (i > 0) {
        size_t p = (i - 1) / 2;
        if (!comesBefore(heap[i], heap[p], backwards)) return;
        TreeNodeRecord* t = heap[i];
        heap[i] = heap[p];
        heap[p] = t;
        i = p;
    }
}

// REQUIRES: heap[0, h) is a heap but for slot 0. Makes it one.
void siftDown(TreeNodeRecord** heap, size_t h, bool backwards) {
    size_t i = 0;
    for (;;) {
        size_t best = i;
        for (size_t c = 2 * i + 1; c <= 2 * i + 2; ++c)
            if (c < h && comesBefore(heap[c], heap[best], backwards)) best = c;
        if (best == i) return;
        TreeNodeRecord* t = heap[i];
        heap[i] = heap[best];
        heap[best] = t;
        i = best;
    }
}

}  // namespace

TreeWalkResult mergeWalk(TreeNodeRecord* const* roots, size_t n, const double* key, int length,
                         bool lean, bool backwards, TreeNodeRecord** heap, TreeVisitor visit,
                         void* context) {
    // Slot h is written only after roots[i], i >= h, has been read, so heap may alias roots.
    size_t h = 0;
    for (size_t i = 0; i < n; ++i) {
        TreeNodeRecord* start = splitPoint(key, length, roots[i], lean, backwards);
        if (start) {
            heap[h] = start;
            siftUp(heap, h, backwards);
            ++h;
        }
    }
    TreeNodeRecord* last = nullptr;
    while (h > 0) {
        TreeNodeRecord* top = heap[0];
        // The same key held by several trees, or by neighbours in one, is visited once.
        if (!last || compareNodesTolerant(top, last) != 0) {
            if (!visit(top, context)) return TREE_WALK_STOPPED;
            last = top;
        }
        heap[0] = backwards ? nodePrev(top) : nodeNext(top);
        if (!heap[0] && --h > 0) heap[0] = heap[h];
        siftDown(heap, h, backwards);
    }
    return TREE_WALK_COMPLETE;
}
