#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "CoreTestAccess.h"

namespace {

using A = CoreTestAccess;
using Keys = std::vector<SquadKey>;

ConfigTuple config(std::set<int> maps = {1, 2, 3}) {
    ImbalanceTimeouts none;
    return ConfigTuple(std::move(maps), std::vector<Tmb>{{2, 2, 2, 0}}, none, none,
                       TeamState{6, 2, 2, 2, 2});
}

std::map<int, int> costs(const Queue& q, SquadKey key) {
    auto found = A::lastMaps(q).find(key);
    if (found == A::lastMaps(q).end()) return {};
    return {found->second.costs.begin(), found->second.costs.end()};
}

}  // namespace

TEST(Queue, NewQueueStartsAtRest) {
    Queue q(config());
    EXPECT_EQ(A::bestSolutionPenalty(q), 10000000);
    EXPECT_EQ(A::startTime(q).time_since_epoch().count(), 0);
    EXPECT_EQ(A::allMaps(q), (std::set<int>{1, 2, 3}));
    EXPECT_EQ(A::maxVehicleCounts(q), (TeamState{6, 2, 2, 2, 2}));
}

TEST(Queue, MapCostsFallByOneAndAHalfAndAddUpOverMembers) {
    Queue q(config());
    q.enqueue(100, 42, 0, {typeMedium, typeHeavy, typeSpg}, {{7, 3}, {7}, {}});
    EXPECT_EQ(costs(q, 42), (std::map<int, int>{{3, 666}, {7, 2000}}));

    std::vector<int> twenty;
    for (int m = 100; m < 120; ++m) twenty.push_back(m);
    q.enqueue(100, 43, 0, {typeMedium}, {twenty});
    const int expected[] = {1000, 666, 444, 296, 197, 131, 87, 58, 38, 25,
                            16,   10,  6,   4,   2,   1,   0,  0,  0,  0};
    const auto got = costs(q, 43);
    ASSERT_EQ(got.size(), 20u);  // the cost-0 entries exist too
    for (int i = 0; i < 20; ++i) EXPECT_EQ(got.at(100 + i), expected[i]) << i;

    q.enqueue(100, 44, 0, {typeMedium}, {{5, 5}});  // one member listing a map twice
    EXPECT_EQ(costs(q, 44), (std::map<int, int>{{5, 1666}}));
}

TEST(Queue, SquadsReachTheirLevelsGeneratorAsClassCounts) {
    Queue q(config());
    q.enqueue(1, 10, 1, {typeScout}, {});
    EXPECT_EQ(A::rosters(A::generator(q, 1)).size(), 1u);  // a single player reaches no generator
    EXPECT_EQ(q.contains(10), true);
    q.enqueue(2, 11, 1, {typeScout, typeMedium}, {});
    EXPECT_EQ(A::rosters(A::generator(q, 1)).count(SquadRoster{{2, 1, 0, 0, 0}, {}}), 1u);
    q.enqueue(3, 12, 2, {typeLight, typeLight}, {});
    EXPECT_EQ(A::rosters(A::generator(q, 2)).count(SquadRoster{{2, 0, 0, 0, 0}, {}}), 1u);
    EXPECT_EQ(A::rosters(A::generator(q, 0)).size(), 1u);
    EXPECT_EQ(A::squads(q).getPlayerCounts(1), (TeamState{0, 1, 0, 0, 0}));
}

TEST(Queue, DequeueForgetsEverywhereAndTwiceIsHarmless) {
    Queue q(config());
    q.enqueue(1, 10, 1, {typeHeavy, typeMedium}, {{3}});
    q.enqueue(1, 11, 1, {typeSpg}, {{4}});
    q.dequeue(10);
    EXPECT_FALSE(q.contains(10));
    EXPECT_TRUE(costs(q, 10).empty());
    EXPECT_EQ(A::keysList(A::generator(q, 1)).size(), 0u);
    EXPECT_FALSE(A::isValid(A::generator(q, 1)));
    q.dequeue(10);
    q.dequeue(11);
    q.dequeue(99);
    EXPECT_EQ(A::registered(A::squads(q)), 0u);
    EXPECT_TRUE(A::lastMaps(q).empty());
    EXPECT_EQ(A::squads(q).getPlayerCounts(1), (TeamState{}));
    // The key may come back.
    q.enqueue(2, 10, 0, {typeMedium, typeMedium}, {});
    EXPECT_TRUE(q.contains(10));
}

TEST(Matchmaker, ChecksAndForwardsToTheNamedQueue) {
    Matchmaker m(1, {{3, config()}, {-7, config({5})}});
    EXPECT_EQ(A::queueCount(m), 2u);
    EXPECT_TRUE(m.checkQueue(3));
    EXPECT_TRUE(m.checkQueue(-7));
    EXPECT_FALSE(m.checkQueue(4));
    m.enqueue(3, 1, 5, 0, {typeMedium}, {});
    EXPECT_TRUE(m.contains(3, 5));
    EXPECT_FALSE(m.contains(-7, 5));  // queues keep their own records of a key
    m.enqueue(-7, 1, 5, 0, {typeMedium}, {});
    m.dequeue(3, 5);
    EXPECT_FALSE(m.contains(3, 5));
    EXPECT_TRUE(m.contains(-7, 5));
    EXPECT_EQ(A::allMaps(A::queue(m, -7)), (std::set<int>{5}));
}

TEST(Matchmaker, UnknownQueueThrowsOutOfRangeAndChangesNothing) {
    Matchmaker empty(1, {});
    EXPECT_THROW(empty.enqueue(1, 1, 1, 0, {typeMedium}, {}), std::out_of_range);
    EXPECT_THROW(empty.dequeue(1, 1), std::out_of_range);
    Matchmaker m(1, {{3, config()}});
    EXPECT_THROW(m.dequeue(4, 1), std::out_of_range);
    EXPECT_THROW(m.contains(4, 1), std::out_of_range);
    EXPECT_EQ(A::registered(A::squads(A::queue(m, 3))), 0u);
}

TEST(Matchmaker, DrawsFromAGeneratorOfItsOwn) {
    // Two class-less players for one place a team: every battle draws the same number of times.
    const ConfigTuple pool = makeConfig({1}, {{1, 0, 0, 0}}, {0}, {0}, {1, 1, 1, 1, 1});
    auto battles = [&](bool disturbed) {
        Matchmaker m(99, {{3, pool}, {4, pool}});
        std::vector<int32_t> draws;
        for (int round = 0; round < 6; ++round) {
            if (disturbed) {
                Matchmaker other(99, {{3, pool}});
                srand(12345);
                rand();
            }
            // Queues of one matchmaker share its draws.
            Teams teams;
            m.enqueue(3 + round % 2, 10, 2 * round + 1, 0, {typeMedium}, {});
            m.enqueue(3 + round % 2, 10, 2 * round + 2, 0, {typeMedium}, {});
            EXPECT_EQ(m.formteams(3 + round % 2, 20, teams), 1);
            draws.push_back(A::random(A::queue(m, 3)).next());
        }
        return draws;
    };
    const std::vector<int32_t> quiet = battles(false);
    EXPECT_EQ(battles(true), quiet);
    // Each battle drew twice, for the second pass's pair and for the map, then the test once.
    Random expected(99);
    for (int32_t draw : quiet) {
        expected.next();
        expected.next();
        EXPECT_EQ(draw, expected.next());
    }
}
