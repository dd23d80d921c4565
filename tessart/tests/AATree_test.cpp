// Tests of the weighted AA tree core: an invariant checker, a sorted-array model of order,
// ranks, selections and searches, and a recursive reference tree for exact shapes.

#include "AATree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <deque>
#include <memory>
#include <random>
#include <set>
#include <vector>

namespace {

const double NEG_INF = -INFINITY;

// Stands for the scripting object that embeds a record.
struct Node {
    int id;
    int releases = 0;
    TreeNodeRecord rec;
};

Node* nodeOf(TreeNodeRecord* r) {
    return reinterpret_cast<Node*>(reinterpret_cast<char*>(r) - offsetof(Node, rec));
}

struct Pool {
    std::deque<Node> nodes;
    Node* make(std::vector<double> key, uint64_t weight) {
        nodes.push_back(Node{static_cast<int>(nodes.size()), 0, {}});
        Node* n = &nodes.back();
        setRecordKey(&n->rec, key.data(), static_cast<int>(key.size()));
        n->rec.weight = weight;
        n->rec.holder = n;
        return n;
    }
};

// Checks the AA level rules, parent links, holders, weightSums and hints of a subtree.
::testing::AssertionResult checkSubtree(const TreeNodeRecord* r) {
    if (!r) return ::testing::AssertionSuccess();
    auto fail = [r](const char* what) {
        return ::testing::AssertionFailure()
               << what << " at node " << nodeOf(const_cast<TreeNodeRecord*>(r))->id;
    };
    int lv = r->level, ll = r->left ? r->left->level : 0, rl = r->right ? r->right->level : 0;
    if (!r->holder) return fail("null holder");
    if (ll != lv - 1) return fail("left child not one level below");
    if (rl != lv && rl != lv - 1) return fail("right child level");
    if (r->right && r->right->right && r->right->right->level >= lv)
        return fail("two horizontal links");
    if ((r->left && r->left->parent != r) || (r->right && r->right->parent != r))
        return fail("parent link");
    uint64_t sum =
        r->weight + (r->left ? r->left->weightSum : 0) + (r->right ? r->right->weightSum : 0);
    if (sum != r->weightSum) return fail("weightSum");
    const TreeNodeRecord* grandchildren[4] = {
        r->left ? r->left->left : nullptr, r->left ? r->left->right : nullptr,
        r->right ? r->right->left : nullptr, r->right ? r->right->right : nullptr};
    for (int k = 0; k < 4; ++k)
        if (r->hint[k] != hintTo(r, grandchildren[k])) return fail("stale hint");
    if (r->upHint != hintTo(r, r->parent ? r->parent->parent : nullptr))
        return fail("stale up hint");
    auto left = checkSubtree(r->left);
    return left ? checkSubtree(r->right) : left;
}

::testing::AssertionResult checkTree(const TreeNodeRecord* root, bool ordered) {
    if (root && root->parent) return ::testing::AssertionFailure() << "root has a parent";
    auto result = checkSubtree(root);
    if (!result || !ordered) return result;
    TreeNodeRecord* r = leftmostNode(const_cast<TreeNodeRecord*>(root));
    for (TreeNodeRecord* next; r && (next = nodeNext(r)); r = next)
        if (compareExact(r, next) > 0) return ::testing::AssertionFailure() << "keys out of order";
    return ::testing::AssertionSuccess();
}

bool collect(TreeNodeRecord* r, void* nodes) {
    static_cast<std::vector<Node*>*>(nodes)->push_back(nodeOf(r));
    return true;
}

std::vector<Node*> inOrder(TreeNodeRecord* root) {
    std::vector<Node*> out;
    EXPECT_EQ(walkInOrder(root, collect, &out), TREE_WALK_COMPLETE);
    return out;
}

std::vector<Node*> sample(TreeNodeRecord* root, int32_t n,
                          TreeWalkResult expected = TREE_WALK_COMPLETE) {
    std::vector<Node*> out;
    EXPECT_EQ(sampleEvenly(root, n, collect, &out), expected);
    return out;
}

std::vector<int> ids(const std::vector<Node*>& nodes) {
    std::vector<int> out;
    for (Node* n : nodes) out.push_back(n->id);
    return out;
}

Node* at(TreeNodeRecord* root, uint64_t i) {
    TreeNodeRecord* r = selectByWeight(root, i);
    return r ? nodeOf(r) : nullptr;
}

// A recursive AA tree without parent links that rebalances every level of a path: an
// independent statement of the shapes the core must produce.
struct Ref {
    Node* node;
    int level = 1;
    Ref* left = nullptr;
    Ref* right = nullptr;
    size_t size = 1;
};

struct RefTree {
    std::vector<std::unique_ptr<Ref>> owned;
    Ref* root = nullptr;

    static int lv(Ref* t) { return t ? t->level : 0; }
    static size_t sz(Ref* t) { return t ? t->size : 0; }
    static void fix(Ref* t) { t->size = 1 + sz(t->left) + sz(t->right); }
    static Ref* skew(Ref* t) {
        if (!t || !t->left || t->level > t->left->level) return t;
        Ref* l = t->left;
        t->left = l->right, l->right = t;
        fix(t), fix(l);
        return l;
    }
    static Ref* split(Ref* t) {
        if (!t || !t->right || !t->right->right || t->level > t->right->right->level) return t;
        Ref* r = t->right;
        t->right = r->left, r->left = t, ++r->level;
        fix(t), fix(r);
        return r;
    }
    static Ref* insert(Ref* t, Ref* n, bool append) {
        if (!t) return n;
        if (!append && compareExact(&t->node->rec, &n->node->rec) > 0)
            t->left = insert(t->left, n, append);
        else
            t->right = insert(t->right, n, append);
        fix(t);
        return split(skew(t));
    }
    static Ref* rebalance(Ref* t) {
        if (t->level - 1 > std::min(lv(t->left), lv(t->right))) {
            --t->level;
            if (t->right && t->right->level > t->level) t->right->level = t->level;
        }
        t = skew(t);
        t->right = skew(t->right);
        if (t->right) t->right->right = skew(t->right->right);
        t = split(t);
        t->right = split(t->right);
        return t;
    }
    static Ref* removeMin(Ref* t, Ref** min) {
        if (!t->left) return *min = t, t->right;
        t->left = removeMin(t->left, min);
        fix(t);
        return rebalance(t);
    }
    static Ref* erase(Ref* t, size_t index) {
        size_t ls = sz(t->left);
        if (index < ls) {
            t->left = erase(t->left, index);
        } else if (index > ls) {
            t->right = erase(t->right, index - ls - 1);
        } else if (t->left && t->right) {
            Ref* s;
            Ref* right = removeMin(t->right, &s);
            s->left = t->left, s->right = right, s->level = t->level;
            t = s;
        } else {
            return t->left ? t->left : t->right;
        }
        fix(t);
        return rebalance(t);
    }

    void insert(Node* n, bool append) {
        owned.push_back(std::make_unique<Ref>());
        owned.back()->node = n;
        root = insert(root, owned.back().get(), append);
    }
    void erase(size_t index) { root = erase(root, index); }

    static ::testing::AssertionResult same(Ref* ref, TreeNodeRecord* r) {
        if (!ref && !r) return ::testing::AssertionSuccess();
        if (!ref || !r || ref->node != nodeOf(r) || ref->level != r->level)
            return ::testing::AssertionFailure()
                   << "shape differs from the reference near node " << (ref ? ref->node->id : -1);
        auto left = same(ref->left, r->left);
        return left ? same(ref->right, r->right) : left;
    }
};

// ---- Randomised runs against the model ----

struct RandomRun {
    std::mt19937_64 rng;
    Pool pool;
    TreeNodeRecord* root = nullptr;
    std::vector<Node*> model;  // in order
    RefTree ref;
    bool grid;  // multi-coordinate keys on a coarse grid, else single coordinates near each other

    RandomRun(uint64_t seed, bool grid) : rng(seed), grid(grid) {}

    double coord() {
        static const double near[] = {1.0, 1.00004, 1.00005, 1.00011, 1.0002, 2.0, 2.00009, 3.0};
        return grid ? static_cast<double>(rng() % 4) : near[rng() % 8];
    }
    std::vector<double> key() {
        std::vector<double> k(grid ? 1 + rng() % 3 : 1);
        for (double& c : k) c = coord();
        return k;
    }
    uint64_t weight() {
        static const uint64_t w[] = {0, 1, 1, 2, 3, 7, 1000};
        return w[rng() % 7];
    }

    void insert() {
        Node* n = pool.make(key(), weight());
        insertNode(&root, &n->rec, false, nullptr);
        auto pos = std::upper_bound(model.begin(), model.end(), n, [](Node* a, Node* b) {
            return compareExact(&a->rec, &b->rec) < 0;
        });
        model.insert(pos, n);
        ref.insert(n, false);
    }
    void erase() {
        size_t i = rng() % model.size();
        eraseNode(&root, &model[i]->rec);
        model.erase(model.begin() + i);
        ref.erase(i);
    }

    void check() {
        ASSERT_TRUE(checkTree(root, true));
        ASSERT_TRUE(RefTree::same(ref.root, root));
        ASSERT_EQ(inOrder(root), model);
        ASSERT_EQ(leftmostNode(root), model.empty() ? nullptr : &model.front()->rec);
        ASSERT_EQ(rightmostNode(root), model.empty() ? nullptr : &model.back()->rec);
        uint64_t total = 0;
        for (size_t j = 0; j < model.size(); ++j) {
            TreeNodeRecord* r = &model[j]->rec;
            ASSERT_EQ(nodeRank(r), total);
            ASSERT_EQ(nodePrev(r), j ? &model[j - 1]->rec : nullptr);
            ASSERT_EQ(nodeNext(r), j + 1 < model.size() ? &model[j + 1]->rec : nullptr);
            if (r->weight) {
                ASSERT_EQ(at(root, total), model[j]);
                ASSERT_EQ(at(root, total + r->weight - 1), model[j]);
            }
            total += r->weight;
        }
        ASSERT_EQ(at(root, total), nullptr);
        for (int q = 0; q < 4; ++q) checkSearches(key());
    }

    // Node keys are sorted and, in both key families, the tolerant comparison of a query with
    // them never goes back up along that order, so linear scans state the expected results.
    void checkSearches(std::vector<double> q) {
        int len = static_cast<int>(q.size());
        std::vector<int> tol, exact;
        for (Node* n : model) {
            tol.push_back(compareQueryTolerant(q.data(), len, &n->rec));
            exact.push_back(comparePrefixExact(q.data(), len, &n->rec));
        }
        auto last = [&](const std::vector<int>& c, auto pred) -> TreeNodeRecord* {
            for (size_t j = c.size(); j-- > 0;)
                if (pred(c[j])) return &model[j]->rec;
            return nullptr;
        };
        auto first = [&](const std::vector<int>& c, auto pred) -> TreeNodeRecord* {
            for (size_t j = 0; j < c.size(); ++j)
                if (pred(c[j])) return &model[j]->rec;
            return nullptr;
        };
        auto above = [](int c) { return c > 0; };  // the query is above the node
        auto atOrAbove = [](int c) { return c >= 0; };
        auto below = [](int c) { return c < 0; };
        auto atOrBelow = [](int c) { return c <= 0; };
        ASSERT_EQ(boundSearch(root, q.data(), len, false), last(tol, above));
        ASSERT_EQ(boundSearch(root, q.data(), len, true), first(tol, below));
        ASSERT_EQ(splitPoint(q.data(), len, root, true, true), last(tol, above));
        ASSERT_EQ(splitPoint(q.data(), len, root, true, false), first(tol, atOrBelow));
        ASSERT_EQ(splitPoint(q.data(), len, root, false, true), last(tol, atOrAbove));
        ASSERT_EQ(splitPoint(q.data(), len, root, false, false), first(tol, below));

        TreeNodeRecord* lo = last(exact, above);
        TreeNodeRecord* hi = first(exact, atOrBelow);
        double bound = coord() - 0.5;
        TreeNodeRecord* expected = !lo                                                       ? hi
                                   : !hi                                                     ? lo
                                   : std::fabs(lo->key0 - q[0]) > lo->key0 - bound           ? hi
                                   : std::fabs(hi->key0 - q[0]) > std::fabs(lo->key0 - q[0]) ? lo
                                                                                             : hi;
        ASSERT_EQ(closestNode(root, q.data(), len, bound), expected);
    }
};

void randomRun(uint64_t seed, bool grid, int steps) {
    RandomRun run(seed, grid);
    for (int step = 0; step < steps; ++step) {
        // Grow to about 150 nodes, then hover around that size.
        bool grow = run.model.empty() || run.rng() % 300 >= run.model.size();
        if (grow)
            run.insert();
        else
            run.erase();
        run.check();
        if (::testing::Test::HasFatalFailure()) {
            ADD_FAILURE() << "seed " << seed << ", step " << step;
            return;
        }
    }
    while (!run.model.empty()) {
        run.erase();
        run.check();
        if (::testing::Test::HasFatalFailure()) return;
    }
    EXPECT_EQ(run.root, nullptr);
}

TEST(AATreeRandom, NearKeysAgainstModel) {
    for (uint64_t seed = 1; seed <= 6; ++seed) randomRun(seed, false, 1500);
}

TEST(AATreeRandom, GridKeysAgainstModel) {
    for (uint64_t seed = 11; seed <= 16; ++seed) randomRun(seed, true, 1500);
}

TEST(AATreeRandom, AppendModeKeepsArrivalOrderAndReportsDisorder) {
    for (uint64_t seed = 21; seed <= 60; ++seed) {
        RandomRun run(seed, true);
        bool disorder = false;
        int length = 1 + static_cast<int>(run.rng() % 40);
        std::vector<std::vector<double>> keys;
        for (int i = 0; i < length; ++i) keys.push_back(run.key());
        if (seed % 2) std::sort(keys.begin(), keys.end());  // same order as compareExact on a grid
        for (auto& k : keys) {
            Node* n = run.pool.make(k, run.weight());
            insertNode(&run.root, &n->rec, true, &disorder);
            run.ref.insert(n, true);
            run.model.push_back(n);
            ASSERT_TRUE(checkTree(run.root, false));
            ASSERT_TRUE(RefTree::same(run.ref.root, run.root));
            ASSERT_EQ(inOrder(run.root), run.model);
            // The last record always lies on the right spine, so the flag reports exactly
            // whether the sequence so far has left key order.
            bool inOrderSoFar =
                std::is_sorted(run.model.begin(), run.model.end(),
                               [](Node* a, Node* b) { return compareExact(&a->rec, &b->rec) < 0; });
            ASSERT_EQ(disorder, !inOrderSoFar) << "seed " << seed;
        }
    }
}

TEST(AATreeRandom, AppendRecordsBuildsWhatAppendingOneByOneBuilds) {
    for (uint64_t seed = 61; seed <= 90; ++seed) {
        RandomRun run(seed, true);
        Pool pool;
        TreeNodeRecord* copy = nullptr;
        std::vector<TreeNodeRecord*> records;
        int length = static_cast<int>(run.rng() % (seed % 3 ? 40 : 3000));
        for (int i = 0; i < length; ++i) {
            auto key = run.key();
            uint64_t weight = run.weight();
            Node* n = run.pool.make(key, weight);
            insertNode(&run.root, &n->rec, true, nullptr);
            run.ref.insert(n, true);
            records.push_back(&pool.make(key, weight)->rec);
        }
        appendRecords(&copy, records.data(), records.size());
        ASSERT_TRUE(checkTree(copy, false)) << "seed " << seed;
        ASSERT_TRUE(RefTree::same(run.ref.root, run.root));
        // Record i of the copy stands where record i of the tree built one by one stands.
        std::vector<Node*> built = inOrder(run.root), copied = inOrder(copy);
        ASSERT_EQ(built.size(), copied.size());
        for (size_t i = 0; i < built.size(); ++i) {
            ASSERT_EQ(copied[i], nodeOf(records[i]));
            ASSERT_EQ(copied[i]->rec.level, built[i]->rec.level);
            ASSERT_EQ(copied[i]->rec.weightSum, built[i]->rec.weightSum);
            ASSERT_EQ(copied[i]->rec.parent ? nodeOf(copied[i]->rec.parent)->id : -1,
                      built[i]->rec.parent ? nodeOf(built[i]->rec.parent)->id : -1);
        }
    }
}

int idOf(const TreeNodeRecord* r) {
    return r ? nodeOf(const_cast<TreeNodeRecord*>(r))->id : -1;
}

// appendRecords, with running totals and without, against one-by-one appends at every count to
// 2500 and at a few large ones. Weights up to 2^64 - 1 make the sums wrap.
TEST(AATreeRandom, AppendRecordsMatchesOneByOneAppendsAtEveryCount) {
    std::mt19937_64 rng(7);
    std::vector<size_t> counts;
    for (size_t n = 0; n <= 2500; ++n) counts.push_back(n);
    counts.insert(counts.end(), {size_t(1) << 16, (size_t(1) << 17) - 1, 100000 + rng() % 50000});
    for (size_t count : counts) {
        std::vector<Node> built(count), copy(count);
        std::vector<TreeNodeRecord*> records;
        std::vector<uint64_t> sums(1, 0);
        TreeNodeRecord* root = nullptr;
        for (size_t i = 0; i < count; ++i) {
            uint64_t weight = rng() % 3 ? rng() % 1000 : rng();
            built[i].id = copy[i].id = static_cast<int>(i);
            built[i].rec.weight = copy[i].rec.weight = weight;
            built[i].rec.holder = copy[i].rec.holder = &built[i];
            for (int32_t& h : copy[i].rec.hint) h = 12345;  // as left by an earlier tree
            copy[i].rec.upHint = 12345;
            insertNode(&root, &built[i].rec, true, nullptr);
            records.push_back(&copy[i].rec);
            sums.push_back(sums.back() + weight);
        }
        const uint64_t* ways[] = {sums.data(), nullptr};
        for (const uint64_t* given : ways) {
            TreeNodeRecord* copyRoot = nullptr;
            appendRecords(&copyRoot, records.data(), count, given);
            ASSERT_EQ(idOf(copyRoot), idOf(root)) << count;
            ASSERT_TRUE(checkSubtree(copyRoot)) << count;
            for (size_t i = 0; i < count; ++i) {
                const TreeNodeRecord& a = built[i].rec;
                const TreeNodeRecord& b = copy[i].rec;
                ASSERT_TRUE(a.level == b.level && idOf(a.left) == idOf(b.left) &&
                            idOf(a.right) == idOf(b.right) && idOf(a.parent) == idOf(b.parent) &&
                            a.weightSum == b.weightSum)
                    << "node " << i << " of " << count << (given ? " with sums" : "");
            }
        }
    }
}

// Positions must start at 0, end at total - 1, and grow by gaps of g or g + 1, the longer gaps
// last; with n = 1 the one position is total / 2.
TEST(AATreeRandom, SamplingSpacingAndCoverage) {
    std::mt19937_64 rng(99);
    for (int trial = 0; trial < 300; ++trial) {
        Pool pool;
        TreeNodeRecord* root = nullptr;
        int count = 1 + static_cast<int>(rng() % 30);
        for (int i = 0; i < count; ++i)
            insertNode(&root, &pool.make({static_cast<double>(i)}, rng() % 5)->rec, false, nullptr);
        uint64_t total = root->weightSum;
        if (total == 0) continue;
        int32_t n = 1 + static_cast<int32_t>(rng() % total);
        std::vector<uint64_t> positions;
        if (n == 1) {
            positions.push_back(total / 2);
        } else {
            uint64_t g = (total - 1) / (n - 1), longGaps = (total - 1) % (n - 1);
            positions.push_back(0);
            for (int32_t i = 1; i < n; ++i)
                positions.push_back(positions.back() + g +
                                    (i >= n - static_cast<int32_t>(longGaps)));
            ASSERT_EQ(positions.back(), total - 1);
        }
        std::vector<Node*> expected;
        for (uint64_t p : positions) expected.push_back(at(root, p));
        ASSERT_EQ(sample(root, n), expected) << "total " << total << ", n " << n;
    }
}

// ---- Keys ----

TEST(AATreeKeys, ExactOrderAndFill) {
    Pool pool;
    Node* one = pool.make({1.0}, 1);
    Node* oneZero = pool.make({1.0, 0.0}, 1);
    Node* two = pool.make({2.0}, 1);
    Node* twoFilled = pool.make({2.0, NEG_INF}, 1);
    EXPECT_EQ(one->rec.keyRest[0], NEG_INF);
    EXPECT_EQ(one->rec.keyRest[1], NEG_INF);
    EXPECT_EQ(compareExact(&one->rec, &oneZero->rec), -1);
    EXPECT_EQ(compareExact(&oneZero->rec, &one->rec), 1);
    EXPECT_EQ(compareExact(&two->rec, &twoFilled->rec), 0);
    EXPECT_EQ(compareExact(&oneZero->rec, &two->rec), -1);

    double q[] = {1.0, 5.0};
    EXPECT_EQ(comparePrefixExact(q, 1, &oneZero->rec), 0);
    EXPECT_EQ(comparePrefixExact(q, 2, &oneZero->rec), 1);
    EXPECT_EQ(comparePrefixExact(q, 2, &one->rec), 1);  // against the -infinity fill
}

TEST(AATreeKeys, ToleranceAndNaN) {
    Pool pool;
    Node* a = pool.make({1.0, 2.0}, 1);
    Node* b = pool.make({1.00009, 1.0}, 1);
    Node* c = pool.make({1.00011, 3.0}, 1);
    Node* nan = pool.make({NAN, 9.0}, 1);
    double q[] = {1.00005, 2.0};
    EXPECT_EQ(compareQueryTolerant(q, 1, &a->rec), 0);
    EXPECT_EQ(compareQueryTolerant(q, 2, &a->rec), 0);
    EXPECT_EQ(compareQueryTolerant(q, 2, &b->rec), 1);  // first coordinate within tolerance
    EXPECT_EQ(compareQueryTolerant(q, 2, &c->rec), -1);
    EXPECT_EQ(compareNodesTolerant(&a->rec, &b->rec), 1);
    EXPECT_EQ(compareNodesTolerant(&a->rec, &c->rec), -1);  // 1.0 vs 1.00011 differs by > epsilon
    EXPECT_EQ(compareNodesTolerant(&a->rec, &a->rec), 0);
    // A difference of exactly KEY_EPSILON is still within the tolerance.
    Node* zero = pool.make({0.0}, 1);
    Node* eps = pool.make({KEY_EPSILON}, 1);
    EXPECT_EQ(compareQueryTolerant(&eps->rec.key0, 1, &zero->rec), 0);
    EXPECT_EQ(compareQueryTolerant(&zero->rec.key0, 1, &eps->rec), 0);
    EXPECT_EQ(compareNodesTolerant(&eps->rec, &zero->rec), 0);
    EXPECT_EQ(compareNodesTolerant(&zero->rec, &eps->rec), 0);
    // NaN is neither greater nor beyond the tolerance: the next coordinate decides.
    EXPECT_EQ(compareExact(&nan->rec, &a->rec), 1);
    EXPECT_EQ(comparePrefixExact(q, 1, &nan->rec), 0);
    EXPECT_EQ(compareQueryTolerant(q, 2, &nan->rec), -1);
    EXPECT_EQ(compareNodesTolerant(&nan->rec, &c->rec), 1);
}

// ---- Insertion and removal ----

TEST(AATreeUpdate, EqualKeysKeepInsertionOrder) {
    Pool pool;
    TreeNodeRecord* root = nullptr;
    std::vector<int> expected;
    for (int i = 0; i < 20; ++i) {
        Node* n = pool.make({5.0, static_cast<double>(i % 3 == 0)}, 1);
        insertNode(&root, &n->rec, false, nullptr);
    }
    for (int pass : {0, 1})
        for (int i = 0; i < 20; ++i)
            if ((i % 3 == 0) == pass) expected.push_back(i);
    EXPECT_EQ(ids(inOrder(root)), expected);
}

TEST(AATreeUpdate, AppendModeDisorderFlag) {
    for (auto keys : {std::vector<double>{1, 3, 2}, std::vector<double>{1, 2, 2, 3}}) {
        Pool pool;
        TreeNodeRecord* root = nullptr;
        bool disorder = false;
        for (double k : keys) insertNode(&root, &pool.make({k}, 1)->rec, true, &disorder);
        std::vector<double> order;
        for (Node* n : inOrder(root)) order.push_back(n->rec.key0);
        EXPECT_EQ(order, keys);
        EXPECT_EQ(disorder, keys.size() == 3);
    }
    Pool pool;
    TreeNodeRecord* root = nullptr;
    bool disorder = false;
    insertNode(&root, &pool.make({3.0}, 1)->rec, false, &disorder);
    insertNode(&root, &pool.make({1.0}, 1)->rec, false, &disorder);
    EXPECT_FALSE(disorder);  // ordered mode never reports
}

// Ascending keys 1..7 build the perfect tree; removing its root then moves the successor (5)
// up, lowers 6, and a skew at the root leaves 2 on top.
TEST(AATreeUpdate, ExactShapesAfterKnownSequence) {
    Pool pool;
    TreeNodeRecord* root = nullptr;
    std::vector<Node*> n;
    for (int k = 1; k <= 7; ++k) {
        n.push_back(pool.make({static_cast<double>(k)}, static_cast<uint64_t>(k)));
        insertNode(&root, &n.back()->rec, false, nullptr);
    }
    auto rec = [&](int k) { return &n[k - 1]->rec; };
    EXPECT_EQ(root, rec(4));
    EXPECT_EQ(root->level, 3);
    EXPECT_EQ(rec(2)->left, rec(1));
    EXPECT_EQ(rec(2)->right, rec(3));
    EXPECT_EQ(rec(6)->left, rec(5));
    EXPECT_EQ(rec(6)->right, rec(7));
    EXPECT_EQ(root->weightSum, 28u);
    TreeShape shape;
    ASSERT_TRUE(treeShape(root, &shape));
    EXPECT_EQ(shape.count, 7);
    EXPECT_EQ(shape.minDepth, 3);
    EXPECT_EQ(shape.maxDepth, 3);

    eraseNode(&root, rec(4));
    ASSERT_TRUE(checkTree(root, true));
    EXPECT_EQ(root, rec(2));
    EXPECT_EQ(rec(2)->level, 2);
    EXPECT_EQ(rec(2)->left, rec(1));
    EXPECT_EQ(rec(2)->right, rec(5));
    EXPECT_EQ(rec(5)->level, 2);
    EXPECT_EQ(rec(5)->left, rec(3));
    EXPECT_EQ(rec(5)->right, rec(6));
    EXPECT_EQ(rec(6)->level, 1);
    EXPECT_EQ(rec(6)->left, nullptr);
    EXPECT_EQ(rec(6)->right, rec(7));
    EXPECT_EQ(root->weightSum, 24u);
    ASSERT_TRUE(treeShape(root, &shape));
    EXPECT_EQ(shape.count, 6);
    EXPECT_EQ(shape.minDepth, 2);
    EXPECT_EQ(shape.maxDepth, 4);
}

TEST(AATreeUpdate, RemovalCases) {
    Pool pool;
    TreeNodeRecord* root = nullptr;
    Node* only = pool.make({1.0}, 4);
    insertNode(&root, &only->rec, false, nullptr);
    eraseNode(&root, &only->rec);
    EXPECT_EQ(root, nullptr);
    EXPECT_EQ(only->rec.holder, only);  // detaching is the caller's business

    // 1..4 give 2 (level 2) over 1 and 3 -> 4; 3 has no left child and takes 2's place.
    std::vector<Node*> n;
    for (int k = 1; k <= 4; ++k) {
        n.push_back(pool.make({static_cast<double>(k)}, static_cast<uint64_t>(k)));
        insertNode(&root, &n.back()->rec, false, nullptr);
    }
    ASSERT_EQ(root, &n[1]->rec);
    eraseNode(&root, &n[1]->rec);
    ASSERT_TRUE(checkTree(root, true));
    EXPECT_EQ(root, &n[2]->rec);
    EXPECT_EQ(root->level, 2);
    EXPECT_EQ(root->left, &n[0]->rec);
    EXPECT_EQ(root->right, &n[3]->rec);
    EXPECT_EQ(root->weightSum, 8u);

    // Removing that root too moves 4 up; with one child it cannot keep level 2, and 1 skews up.
    eraseNode(&root, &n[2]->rec);
    ASSERT_TRUE(checkTree(root, true));
    EXPECT_EQ(root, &n[0]->rec);
    EXPECT_EQ(root->right, &n[3]->rec);
    EXPECT_EQ(root->weightSum, 5u);
}

// ---- Rank and selection ----

TEST(AATreeRank, RanksAndSelectionWithZeroWeights) {
    Pool pool;
    TreeNodeRecord* root = nullptr;
    std::vector<uint64_t> weights = {2, 0, 1, 3, 0, 5};
    std::vector<Node*> n;
    for (size_t i = 0; i < weights.size(); ++i) {
        n.push_back(pool.make({static_cast<double>(i)}, weights[i]));
        insertNode(&root, &n.back()->rec, false, nullptr);
    }
    EXPECT_EQ(nodeRank(&n[0]->rec), 0u);
    for (size_t i = 0; i + 1 < n.size(); ++i)
        EXPECT_EQ(nodeRank(&n[i]->rec) + weights[i], nodeRank(&n[i + 1]->rec));
    std::vector<Node*> covering;
    for (uint64_t i = 0; i < 11; ++i) covering.push_back(at(root, i));
    EXPECT_EQ(covering, (std::vector<Node*>{n[0], n[0], n[2], n[3], n[3], n[3], n[5], n[5], n[5],
                                            n[5], n[5]}));
    EXPECT_EQ(at(root, 11), nullptr);
    EXPECT_EQ(at(root, UINT64_MAX), nullptr);
    EXPECT_EQ(selectByWeight(nullptr, 0), nullptr);
}

// ---- Searches ----

TEST(AATreeSearch, EmptyTree) {
    double q[] = {1.0};
    EXPECT_EQ(boundSearch(nullptr, q, 1, false), nullptr);
    EXPECT_EQ(boundSearch(nullptr, q, 1, true), nullptr);
    EXPECT_EQ(closestNode(nullptr, q, 1, 0.0), nullptr);
    EXPECT_EQ(splitPoint(q, 1, nullptr, true, false), nullptr);
    EXPECT_EQ(leftmostNode(nullptr), nullptr);
    EXPECT_EQ(rightmostNode(nullptr), nullptr);
    TreeShape shape = {9, 9, 9};
    ASSERT_TRUE(treeShape(nullptr, &shape));
    EXPECT_EQ(shape.count + shape.minDepth + shape.maxDepth, 0);
}

TEST(AATreeSearch, TolerantBounds) {
    Pool pool;
    TreeNodeRecord* root = nullptr;
    Node* a = pool.make({1.0}, 1);
    Node* b = pool.make({1.00005}, 1);
    insertNode(&root, &a->rec, false, nullptr);
    insertNode(&root, &b->rec, false, nullptr);
    double within[] = {1.00002}, past[] = {1.0002}, before[] = {0.9998};
    EXPECT_EQ(boundSearch(root, within, 1, false), nullptr);
    EXPECT_EQ(boundSearch(root, within, 1, true), nullptr);
    EXPECT_EQ(boundSearch(root, past, 1, false), &b->rec);
    EXPECT_EQ(boundSearch(root, past, 1, true), nullptr);
    EXPECT_EQ(boundSearch(root, before, 1, true), &a->rec);
    EXPECT_EQ(boundSearch(root, before, 1, false), nullptr);
}

// Descents settle the first coordinate on their own and hand only ties to the full comparison:
// NaN, and for the tolerant searches a difference of exactly KEY_EPSILON, must reach it.
TEST(AATreeSearch, DescentsPassFirstCoordinateTiesOn) {
    Pool pool;
    TreeNodeRecord* root = nullptr;
    Node* n3 = pool.make({NAN, 3.0}, 1);
    Node* n1 = pool.make({NAN, 1.0}, 1);
    Node* n2 = pool.make({NAN, 2.0}, 1);
    for (Node* n : {n3, n1, n2}) insertNode(&root, &n->rec, false, nullptr);
    EXPECT_EQ(ids(inOrder(root)), (std::vector<int>{n1->id, n2->id, n3->id}));
    double q[] = {NAN, 2.5};
    EXPECT_EQ(boundSearch(root, q, 2, false), &n2->rec);
    EXPECT_EQ(boundSearch(root, q, 2, true), &n3->rec);
    EXPECT_EQ(closestNode(root, q, 2, NEG_INF), &n3->rec);  // NaN distances: the one above

    Pool pool2;
    root = nullptr;
    Node* zero = pool2.make({0.0, 5.0}, 1);
    insertNode(&root, &zero->rec, false, nullptr);
    double within[] = {KEY_EPSILON, 4.0}, withinBelow[] = {-KEY_EPSILON, 6.0};
    EXPECT_EQ(boundSearch(root, within, 1, false), nullptr);
    EXPECT_EQ(boundSearch(root, within, 2, false), nullptr);  // 4 < 5 decides
    EXPECT_EQ(boundSearch(root, withinBelow, 1, true), nullptr);
    EXPECT_EQ(boundSearch(root, withinBelow, 2, true), nullptr);  // 6 > 5 decides
}

TEST(AATreeSearch, ClosestNodeLowerBoundAndTies) {
    Pool pool;
    TreeNodeRecord* root = nullptr;
    Node* one = pool.make({1.0}, 1);
    Node* three = pool.make({3.0}, 1);
    insertNode(&root, &one->rec, false, nullptr);
    insertNode(&root, &three->rec, false, nullptr);
    double mid[] = {2.0}, near[] = {1.9}, far[] = {5.0}, low[] = {0.0};
    EXPECT_EQ(closestNode(root, mid, 1, NEG_INF), &three->rec);
    EXPECT_EQ(closestNode(root, near, 1, NEG_INF), &one->rec);
    EXPECT_EQ(closestNode(root, near, 1, 1.5), &three->rec);
    EXPECT_EQ(closestNode(root, near, 1, 0.05), &one->rec);
    EXPECT_EQ(closestNode(root, near, 1, 0.2), &three->rec);  // 1.0 lies nearer the bound
    EXPECT_EQ(closestNode(root, far, 1, 100.0), &three->rec);
    EXPECT_EQ(closestNode(root, low, 1, 100.0), &one->rec);
}

// Keys 1, 5, 7 cut at 5: the four start points of a merge walk.
TEST(AATreeSearch, SplitPoints) {
    Pool pool;
    TreeNodeRecord* root = nullptr;
    std::vector<Node*> n;
    for (double k : {1.0, 5.0, 5.00003, 7.0}) {
        n.push_back(pool.make({k}, 1));
        insertNode(&root, &n.back()->rec, false, nullptr);
    }
    double key[] = {5.0};
    EXPECT_EQ(splitPoint(key, 1, root, true, false), &n[1]->rec);
    EXPECT_EQ(splitPoint(key, 1, root, false, false), &n[3]->rec);
    EXPECT_EQ(splitPoint(key, 1, root, true, true), &n[0]->rec);
    EXPECT_EQ(splitPoint(key, 1, root, false, true), &n[2]->rec);
}

// ---- Walks ----

TEST(AATreeWalk, SamplingExamples) {
    Pool pool;
    TreeNodeRecord* root = nullptr;
    for (int i = 0; i < 10; ++i)
        insertNode(&root, &pool.make({static_cast<double>(i)}, 1)->rec, false, nullptr);
    EXPECT_EQ(ids(sample(root, 4)), (std::vector<int>{0, 3, 6, 9}));
    EXPECT_EQ(ids(sample(root, 1)), (std::vector<int>{5}));
    EXPECT_EQ(sample(root, 11, TREE_WALK_FAILED).size(), 0u);
    EXPECT_EQ(sample(root, -1, TREE_WALK_FAILED).size(), 0u);
    EXPECT_EQ(sample(root, 0).size(), 0u);
    eraseNode(&root, leftmostNode(root));
    EXPECT_EQ(ids(sample(root, 4)), (std::vector<int>{1, 3, 6, 9}));
    for (int i = 0; i < 4; ++i) eraseNode(&root, rightmostNode(root));
    EXPECT_EQ(ids(sample(root, 5)), (std::vector<int>{1, 2, 3, 4, 5}));

    Pool more;
    TreeNodeRecord* single = nullptr;
    Node* seven = more.make({1.0}, 7);
    insertNode(&single, &seven->rec, false, nullptr);
    EXPECT_EQ(sample(single, 7), std::vector<Node*>(7, seven));
    EXPECT_EQ(sample(single, 1), std::vector<Node*>(1, seven));

    TreeNodeRecord* abc = nullptr;
    Node* a = more.make({1.0}, 1);
    Node* b = more.make({2.0}, 0);
    Node* c = more.make({3.0}, 3);
    for (Node* x : {a, b, c}) insertNode(&abc, &x->rec, false, nullptr);
    EXPECT_EQ(sample(abc, 4), (std::vector<Node*>{a, c, c, c}));
    EXPECT_EQ(sample(nullptr, 1, TREE_WALK_FAILED).size(), 0u);
}

TEST(AATreeWalk, VisitorStops) {
    Pool pool;
    TreeNodeRecord* root = nullptr;
    for (int i = 0; i < 10; ++i)
        insertNode(&root, &pool.make({static_cast<double>(i)}, 2)->rec, false, nullptr);
    int budget = 3;
    auto visit = [](TreeNodeRecord*, void* ctx) { return --*static_cast<int*>(ctx) > 0; };
    EXPECT_EQ(walkInOrder(root, visit, &budget), TREE_WALK_STOPPED);
    EXPECT_EQ(budget, 0);
    budget = 2;
    EXPECT_EQ(sampleEvenly(root, 20, visit, &budget), TREE_WALK_STOPPED);
    EXPECT_EQ(budget, 0);
}

// A chain is no AA tree, but it is the only way to get past the depth bound: the walks must
// fail cleanly at the first record that would not fit (ASan would catch a write past the stack).
TEST(AATreeWalk, DepthBeyondStackFails) {
    for (bool viaLeft : {false, true}) {
        for (int length : {TRAVERSAL_DEPTH, TRAVERSAL_DEPTH + 1}) {
            Pool pool;
            std::vector<Node*> chain;
            for (int i = 0; i < length; ++i) {
                chain.push_back(pool.make({static_cast<double>(viaLeft ? length - i : i)}, 1));
                if (i) {
                    (viaLeft ? chain[i - 1]->rec.left : chain[i - 1]->rec.right) = &chain[i]->rec;
                    chain[i]->rec.parent = &chain[i - 1]->rec;
                }
            }
            for (int i = length; i-- > 0;) {
                TreeNodeRecord* r = &chain[i]->rec;
                r->weightSum = r->weight + (i + 1 < length ? chain[i + 1]->rec.weightSum : 0);
            }
            TreeNodeRecord* root = &chain[0]->rec;
            bool fits = length <= TRAVERSAL_DEPTH;
            std::vector<Node*> seen;
            EXPECT_EQ(walkInOrder(root, collect, &seen),
                      fits ? TREE_WALK_COMPLETE : TREE_WALK_FAILED);
            EXPECT_EQ(seen.size(), fits ? static_cast<size_t>(length) : viaLeft ? 0u : 64u);
            TreeShape shape;
            EXPECT_EQ(treeShape(root, &shape), fits);
            if (fits) {
                EXPECT_EQ(shape.maxDepth, length);
            }
            EXPECT_EQ(sample(root, length, fits ? TREE_WALK_COMPLETE : TREE_WALK_FAILED).size(),
                      fits      ? static_cast<size_t>(length)
                      : viaLeft ? 0u
                                : 64u);
        }
    }
}

// Merge walks over 1 to 9 trees, some empty, against sorted vectors. Coordinates are small
// integers, the last one lowered by less than KEY_EPSILON, so equality within the tolerance is
// an equivalence (same integers, same length) whose classes the trees' exact order keeps
// together: the integers alone state the visits. Each visits the next class after the cut,
// through a record that is the first of its class in its own tree (which tree is up to the heap).
TEST(AATreeWalk, MergeWalkAgainstSortedModel) {
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 4000; ++trial) {
        Pool pool;
        std::vector<std::vector<int>> classOf;  // per node id: its integers, INT_MIN filled
        int spread = 2 + static_cast<int>(rng() % 4);
        auto key = [&](std::vector<int>& ints) {
            static const double jitter[] = {0, 0, 0.00003, 0.00007};
            std::vector<double> k(1 + rng() % 3);
            ints.assign(KEY_SIZE, INT_MIN);
            for (size_t c = 0; c < k.size(); ++c) k[c] = ints[c] = static_cast<int>(rng() % spread);
            k.back() -= jitter[rng() % 4];
            return k;
        };
        size_t n = 1 + rng() % 9;
        std::vector<TreeNodeRecord*> roots(n, nullptr);
        for (TreeNodeRecord*& root : roots) {
            for (int i = rng() % 4 ? static_cast<int>(rng() % 25) : 0; i > 0; --i) {
                classOf.emplace_back();
                insertNode(&root, &pool.make(key(classOf.back()), 1)->rec, false, nullptr);
            }
        }
        std::vector<int> queryClass;
        std::vector<double> query = key(queryClass);
        bool lean = rng() % 2, backwards = rng() % 2;

        std::vector<std::vector<int>> classes;
        std::set<Node*> firsts;
        for (TreeNodeRecord* root : roots) {
            std::vector<Node*> nodes = inOrder(root);
            if (backwards) std::reverse(nodes.begin(), nodes.end());
            for (size_t j = 0; j < nodes.size(); ++j) {
                const std::vector<int>& c = classOf[nodes[j]->id];
                int side = 0;  // the query against the record, over the query's coordinates
                for (size_t k = 0; k < query.size() && !side; ++k)
                    side = queryClass[k] < c[k] ? -1 : queryClass[k] > c[k];
                if (backwards ? side < 0 || (side == 0 && lean) : side > 0 || (side == 0 && !lean))
                    continue;
                classes.push_back(c);
                if (j == 0 || classOf[nodes[j - 1]->id] != c) firsts.insert(nodes[j]);
            }
        }
        std::sort(classes.begin(), classes.end());
        classes.erase(std::unique(classes.begin(), classes.end()), classes.end());
        if (backwards) std::reverse(classes.begin(), classes.end());

        struct Visits {
            std::vector<Node*> seen;
            size_t limit;
        } visits{{}, rng() % 3 ? SIZE_MAX : 1 + rng() % (classes.size() + 2)};
        auto visit = [](TreeNodeRecord* r, void* v) {
            auto* visits = static_cast<Visits*>(v);
            visits->seen.push_back(nodeOf(r));
            return visits->seen.size() < visits->limit;
        };
        // The scratch may be the roots' own array.
        std::vector<TreeNodeRecord*> scratch(n);
        TreeNodeRecord** heap = rng() % 2 ? roots.data() : scratch.data();
        TreeWalkResult result = mergeWalk(roots.data(), n, query.data(), int(query.size()), lean,
                                          backwards, heap, visit, &visits);
        SCOPED_TRACE(::testing::Message() << "trial " << trial);
        ASSERT_EQ(result, visits.limit <= classes.size() ? TREE_WALK_STOPPED : TREE_WALK_COMPLETE);
        ASSERT_EQ(visits.seen.size(), std::min(visits.limit, classes.size()));
        for (size_t i = 0; i < visits.seen.size(); ++i) {
            ASSERT_EQ(classOf[visits.seen[i]->id], classes[i]) << "visit " << i;
            ASSERT_TRUE(firsts.count(visits.seen[i])) << "visit " << i;
        }
    }
}

// ---- Release ----

struct ReleaseLog {
    TreeNodeRecord** root;
    std::vector<Node*> all;
    std::vector<int> order;
    bool sawAttached = false;
    TreeNodeRecord** other = nullptr;  // where a callback re-inserts a waiting record, if set
    Node* victim = nullptr;
    bool releaseOther = false;  // and then releases that tree from inside the callback
    bool reinserted = false;
};

void countRelease(TreeNodeRecord* r, void*) {
    ++nodeOf(r)->releases;
}

void logRelease(TreeNodeRecord* r, void* ctx) {
    auto* log = static_cast<ReleaseLog*>(ctx);
    Node* n = nodeOf(r);
    ++n->releases;
    log->order.push_back(n->id);
    if (*log->root) log->sawAttached = true;
    for (Node* x : log->all)
        if (x->rec.holder && x != log->victim) log->sawAttached = true;
    if (log->other && !log->reinserted) {
        log->reinserted = true;
        log->victim->rec.holder = log->victim;
        insertNode(log->other, &log->victim->rec, false, nullptr);
        if (log->releaseOther) releaseTree(log->other, countRelease, nullptr);
    }
}

// Keys 1..7 (ids 0..6) form the perfect tree 4(2(1, 3), 6(5, 7)).
const std::vector<int> POST_ORDER = {0, 2, 1, 4, 6, 5, 3};

TEST(AATreeRelease, DetachesEverythingFirstThenReleasesInPostOrder) {
    Pool pool;
    TreeNodeRecord* root = nullptr;
    ReleaseLog log{&root, {}, {}};
    for (int k = 1; k <= 7; ++k) {
        log.all.push_back(pool.make({static_cast<double>(k)}, 1));
        insertNode(&root, &log.all.back()->rec, false, nullptr);
    }
    releaseTree(&root, logRelease, &log);
    EXPECT_EQ(root, nullptr);
    EXPECT_FALSE(log.sawAttached);
    EXPECT_EQ(log.order, POST_ORDER);
    releaseTree(&root, logRelease, &log);  // an empty tree releases nothing
    EXPECT_EQ(log.order.size(), 7u);
}

// A callback that re-inserts a record still waiting for its release (and perhaps releases the
// tree it put it in) must not lead the walk astray: that record gets its release, the walk ends
// there, nothing is released twice by this tree, and the other tree stays sound.
TEST(AATreeRelease, CallbackReinsertingAWaitingRecord) {
    for (bool releaseOther : {false, true}) {
        for (int victimId : {0, 2, 4, 3}) {
            Pool pool;
            TreeNodeRecord* root = nullptr;
            ReleaseLog log{&root, {}, {}};
            for (int k = 1; k <= 7; ++k) {
                log.all.push_back(pool.make({static_cast<double>(k)}, 1));
                insertNode(&root, &log.all.back()->rec, false, nullptr);
            }
            TreeNodeRecord* other = nullptr;
            Node* resident = pool.make({0.5}, 1);
            insertNode(&other, &resident->rec, false, nullptr);
            log.other = &other;
            log.victim = log.all[victimId];
            log.releaseOther = releaseOther;
            releaseTree(&root, logRelease, &log);
            EXPECT_FALSE(log.sawAttached);
            // The first callback re-inserts the victim; when that is the record just released,
            // the walk goes on to the end.
            std::vector<int> expected = POST_ORDER;
            if (victimId != POST_ORDER[0])
                expected.resize(std::find(POST_ORDER.begin(), POST_ORDER.end(), victimId) -
                                POST_ORDER.begin() + 1);
            EXPECT_EQ(log.order, expected);
            EXPECT_EQ(log.victim->releases, releaseOther ? 2 : 1);
            EXPECT_EQ(resident->releases, releaseOther ? 1 : 0);
            ASSERT_TRUE(checkTree(other, true));
            EXPECT_EQ(inOrder(other).size(), releaseOther ? 0u : 2u);
        }
    }
}

}  // namespace

// ---- Boundary rules that neighbouring cases do not pin down ----

TEST(AATreeBoundaries, NaNDecidesNothingInEitherDirection) {
    Pool pool;
    Node* nan = pool.make({NAN, 9.0}, 1);
    Node* low = pool.make({5.0, 1.0}, 1);
    Node* high = pool.make({5.0, 20.0}, 1);
    double q[] = {1.0, 20.0};
    EXPECT_EQ(compareQueryTolerant(q, 1, &nan->rec), 0);
    EXPECT_EQ(compareQueryTolerant(q, 2, &nan->rec), 1);  // the second coordinate decides
    EXPECT_EQ(compareNodesTolerant(&nan->rec, &low->rec), 1);
    EXPECT_EQ(compareNodesTolerant(&nan->rec, &high->rec), -1);
    EXPECT_EQ(compareNodesTolerant(&low->rec, &nan->rec), -1);
}

TEST(AATreeBoundaries, ClosestNodeKeepsTheNodeBelowAtExactlyTheBoundDistance) {
    Pool pool;
    TreeNodeRecord* root = nullptr;
    Node* one = pool.make({1.0}, 1);
    Node* three = pool.make({3.0}, 1);
    insertNode(&root, &one->rec, false, nullptr);
    insertNode(&root, &three->rec, false, nullptr);
    double query[] = {1.5};
    // The distance below (0.5) equals its distance from the bound (1.0 - 0.5): not ruled out.
    EXPECT_EQ(closestNode(root, query, 1, 0.5), &one->rec);
    EXPECT_EQ(closestNode(root, query, 1, 0.50001), &three->rec);
}

TEST(AATreeBoundaries, ShapeCountsOnlyChildlessNodesAsLeaves) {
    Pool pool;
    TreeNodeRecord* root = nullptr;
    insertNode(&root, &pool.make({1.0}, 1)->rec, false, nullptr);
    insertNode(&root, &pool.make({2.0}, 1)->rec, false, nullptr);
    TreeShape shape{};
    ASSERT_TRUE(treeShape(root, &shape));
    // The root has one child: it is no leaf, so the shallowest leaf is at depth 2.
    EXPECT_EQ(shape.count, 2);
    EXPECT_EQ(shape.minDepth, 2);
    EXPECT_EQ(shape.maxDepth, 2);
}
