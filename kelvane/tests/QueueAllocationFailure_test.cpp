// An enqueue that runs out of memory part-way must leave the queue as it was. A replaced global
// allocator fails the n-th allocation while armed.
#include <gtest/gtest.h>

// The replaced pair below allocates with malloc and frees with free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <cstdlib>
#include <new>

#include "CoreTestAccess.h"

namespace {
long failAfter = -1;  // allocations left before one fails; -1 = never
}

void* operator new(size_t size) {
    if (failAfter == 0) {
        failAfter = -1;
        throw std::bad_alloc();
    }
    if (failAfter > 0) --failAfter;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

TEST(Queue, EnqueueThatRunsOutOfMemoryChangesNothing) {
    using A = CoreTestAccess;
    ImbalanceTimeouts none;
    const std::vector<std::vector<int>> maps = {{1, 2}, {2}};
    const std::vector<std::vector<VehType>> squads = {
        {typeScout}, {typeHeavy, typeSpg, typeMedium}, {typeMedium, typeMedium}};
    for (const auto& types : squads) {
        bool completed = false;
        for (long n = 0; !completed; ++n) {
            Queue q(ConfigTuple({1, 2}, {}, none, none, TeamState{}));
            // Arrival order differs from time order, so a rebuild would change the table.
            q.enqueue(10, 1, 2, {typeMedium, typeMedium}, {{2}});
            q.enqueue(5, 2, 2, {typeMedium, typeMedium}, {});
            const auto rosters = A::rosters(A::generator(q, 2));
            failAfter = n;
            try {
                q.enqueue(7, 9, 2, types, maps);
                completed = true;
            } catch (const std::bad_alloc&) {
                failAfter = -1;
                EXPECT_FALSE(q.contains(9)) << n;
                EXPECT_EQ(A::registered(A::squads(q)), 2u);
                EXPECT_EQ(A::lastMaps(q).size(), 1u);
                EXPECT_EQ(A::keysList(A::generator(q, 2)).size(), 2u);
                EXPECT_EQ(A::squads(q).getPlayerCounts(2), (TeamState{}));
                EXPECT_EQ(A::squads(q).getAvgWaitTime(10), 3u);  // mean enqueue time 7
                const QueueStats stats = q.stats(10);
                EXPECT_EQ(std::make_pair(stats.players, stats.entries), std::make_pair(4ul, 2ul));
                EXPECT_EQ(stats.levels[2].players, 4u);
                EXPECT_EQ(stats.levels[2].squads, (std::map<size_t, size_t>{{2, 2}}));
                EXPECT_TRUE(A::isValid(A::generator(q, 2))) << n;
                EXPECT_EQ(A::rosters(A::generator(q, 2)), rosters) << n;
                q.enqueue(7, 9, 2, types, maps);  // and the key can still be taken in
                EXPECT_TRUE(q.contains(9));
            }
            failAfter = -1;
            ASSERT_LT(n, 1000);
        }
    }
}
