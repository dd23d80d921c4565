#include <gtest/gtest.h>

#include <cstdlib>

#include "CoreTestAccess.h"

namespace {

using A = CoreTestAccess;
using Keys = std::vector<SquadKey>;

Queue queueWith(std::set<int> maps = {1}, TeamState caps = {15, 15, 15, 15, 15}) {
    return Queue(makeConfig(std::move(maps), {}, {}, {}, caps));
}

void enqueueSingles(Queue& q, SquadKey first, int count, int level, VehType type) {
    for (int i = 0; i < count; ++i) q.enqueue(first + i, first + i, level, {type}, {});
}

// The first value the C library's rand() gives after srand(seed): a queue seeded alike draws it.
int firstDraw(unsigned seed) {
    srand(seed);
    return rand();
}

}  // namespace

TEST(TeamAssembly, Step2DrawsNothingWhenEveryLevelIsFull) {
    Queue q = queueWith();
    enqueueSingles(q, 1, 2, 0, typeMedium);
    Solution s{};
    s[0].second = SquadRoster{{1, 0, 0, 0, 0}, {1, 0, 0, 0, 0}};
    const Solution before = s;
    const int expected = firstDraw(77);
    A::random(q).seed(77);
    EXPECT_TRUE(A::step2(q, s, Tmb{1, 0, 0, 0}));
    EXPECT_EQ(s, before);
    EXPECT_EQ(A::random(q).next(), expected);  // no draw was made
}

TEST(TeamAssembly, Step2PicksTheScarcestPlaceInPairs) {
    Queue q = queueWith();
    enqueueSingles(q, 1, 2, 0, typeMedium);
    enqueueSingles(q, 10, 4, 0, typeScout);
    Solution s{};
    s[0].second = SquadRoster{{0, 1, 0, 0, 0}, {0, 1, 0, 0, 0}};
    EXPECT_TRUE(A::step2(q, s, Tmb{2, 0, 0, 0}));
    EXPECT_EQ(s[0].second, (SquadRoster{{1, 1, 0, 0, 0}, {1, 1, 0, 0, 0}}));

    // Three places, two class-less players: one pair, two places of team A left open.
    Queue short2 = queueWith();
    enqueueSingles(short2, 1, 2, 0, typeMedium);
    Solution t{};
    EXPECT_FALSE(A::step2(short2, t, Tmb{3, 0, 0, 0}));
    EXPECT_EQ(t[0].second, (SquadRoster{{1, 0, 0, 0, 0}, {1, 0, 0, 0, 0}}));

    // Three waiting players of a class make one pair; a size of 0 takes nobody.
    Queue odd = queueWith();
    enqueueSingles(odd, 1, 3, 0, typeHeavy);
    enqueueSingles(odd, 10, 4, 1, typeHeavy);
    Solution u{};
    EXPECT_FALSE(A::step2(odd, u, Tmb{2, 0, 0, 0}));
    EXPECT_EQ(u[0].second, (SquadRoster{{0, 0, 0, 0, 1}, {0, 0, 0, 0, 1}}));
    EXPECT_EQ(u[1].second, SquadRoster{});
}

TEST(TeamAssembly, Step2NeverExceedsAClassCap) {
    Queue q = queueWith({1}, {15, 15, 15, 15, 0});
    enqueueSingles(q, 1, 4, 0, typeHeavy);
    enqueueSingles(q, 10, 2, 0, typeMedium);
    Solution s{};
    EXPECT_FALSE(A::step2(q, s, Tmb{2, 0, 0, 0}));
    EXPECT_EQ(s[0].second, (SquadRoster{{1, 0, 0, 0, 0}, {1, 0, 0, 0, 0}}));
}

TEST(TeamAssembly, Step2DrawsAmongEqualPlacesWithRandModN) {
    for (unsigned seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        Queue q = queueWith();
        enqueueSingles(q, 1, 2, 0, typeMedium);
        enqueueSingles(q, 10, 2, 0, typeHeavy);
        const int draw = firstDraw(seed);
        A::random(q).seed(seed);
        Solution s{};
        EXPECT_TRUE(A::step2(q, s, Tmb{1, 0, 0, 0}));
        // Candidates in class order: class-less first, heavies second.
        const int cls = draw % 2 == 0 ? condSquad : condHeavy;
        TeamState one{};
        one[cls] = 1;
        EXPECT_EQ(s[0].second, (SquadRoster{one, one})) << "seed " << seed;
    }
}

TEST(TeamAssembly, MapCostTakesTheCheapestNewestFirstOnTies) {
    Queue q = queueWith({5});
    enqueueSingles(q, 1, 3, 1, typeAtspg);  // all cost 0 for map 5
    Keys keys;
    EXPECT_EQ(A::mapCost(q, 5, 2, 1, condAt, keys), 0);
    EXPECT_EQ(keys, (Keys{2, 3}));
    Teams teams;
    A::fillSolution(teams, keys, 1);
    EXPECT_EQ(teams.first, (Keys{2}));
    EXPECT_EQ(teams.second, (Keys{3}));
    EXPECT_EQ(A::mapCost(q, 5, 0, 1, condAt, keys), 0);
    EXPECT_TRUE(keys.empty());
    EXPECT_EQ(A::mapCost(q, 5, 10, 1, condAt, keys), 0);  // fewer waiting than asked: all
    EXPECT_EQ(keys, (Keys{1, 2, 3}));

    Queue costs = queueWith({5});
    costs.enqueue(1, 1, 0, {typeSpg}, {{5}});     // 1000, the oldest
    costs.enqueue(2, 2, 0, {typeSpg}, {});        // 0
    costs.enqueue(3, 3, 0, {typeSpg}, {{6, 5}});  // 666
    EXPECT_EQ(A::mapCost(costs, 5, 2, 0, condSpg, keys), 666);
    EXPECT_EQ(keys, (Keys{3, 2}));
    Teams split;
    A::fillSolution(split, keys, 1);
    EXPECT_EQ(split.first, (Keys{3}));
}

TEST(TeamAssembly, SmallPoolDrawsFromEveryMap) {
    for (unsigned seed : {11u, 12u, 13u, 14u}) {
        Queue q = queueWith({4, 8, 9});
        q.enqueue(1, 7, 0, {typeMedium, typeMedium}, {{4, 8}});
        Solution s{};
        s[0].first = SquadRoster{{2, 0, 0, 0, 0}, {}};
        const int draw = firstDraw(seed);
        A::random(q).seed(seed);
        Teams teams;
        EXPECT_EQ(A::step3(q, s, teams), (std::vector<int>{4, 8, 9})[draw % 3]);
        EXPECT_EQ(teams.first, (Keys{7}));
        EXPECT_TRUE(teams.second.empty());
    }
}

TEST(TeamAssembly, RecentMapsLoseAndTiesFollowTheDraw) {
    for (unsigned seed : {21u, 22u, 23u, 24u}) {
        Queue q = queueWith({1, 2, 3, 4});
        q.enqueue(1, 7, 0, {typeMedium, typeMedium}, {{2, 3}});  // {2: 1000, 3: 666}
        Solution s{};
        s[0].first = SquadRoster{{}, {2, 0, 0, 0, 0}};
        const int draw = firstDraw(seed);
        A::random(q).seed(seed);
        Teams teams;
        EXPECT_EQ(A::step3(q, s, teams), draw % 2 == 0 ? 1 : 4);
        EXPECT_EQ(teams.second, (Keys{7}));
    }
}

TEST(TeamAssembly, NoBattleWhenEveryMapCostsTooMuch) {
    Queue q = queueWith({1, 2, 3, 4});
    // Map 4 costs 296 per list, so 4000 lists put every map above 1,000,000.
    const std::vector<std::vector<int>> played(4000, std::vector<int>{1, 2, 3, 4});
    q.enqueue(1, 7, 0, {typeMedium, typeMedium}, played);
    Solution s{};
    s[0].first = SquadRoster{{2, 0, 0, 0, 0}, {}};
    const int expected = firstDraw(3);
    A::random(q).seed(3);
    Teams teams;
    EXPECT_EQ(A::step3(q, s, teams), 0);
    EXPECT_TRUE(teams.first.empty() && teams.second.empty());
    EXPECT_EQ(A::random(q).next(), expected);  // nothing drawn from an empty list
}

TEST(TeamAssembly, TeamListsGoLevelByLevelSquadsThenClasses) {
    Queue q = queueWith({1});
    q.enqueue(1, 100, 0, {typeMedium, typeMedium}, {});
    q.enqueue(2, 101, 1, {typeHeavy, typeHeavy}, {});
    q.enqueue(3, 1, 0, {typeHeavy}, {});
    q.enqueue(4, 2, 0, {typeHeavy}, {});
    q.enqueue(5, 3, 0, {typeMedium}, {});
    q.enqueue(6, 4, 0, {typeMedium}, {});
    q.enqueue(7, 5, 1, {typeScout}, {});
    q.enqueue(8, 6, 1, {typeScout}, {});
    Solution s{};
    s[0].first = SquadRoster{{2, 0, 0, 0, 0}, {}};
    s[0].second = SquadRoster{{0, 0, 0, 0, 1}, {2, 0, 0, 0, 1}};
    s[1].first = SquadRoster{{}, {2, 0, 0, 0, 2}};
    s[1].second = SquadRoster{{0, 1, 0, 0, 0}, {0, 1, 0, 0, 0}};
    Teams teams;
    EXPECT_EQ(A::step3(q, s, teams), 1);
    EXPECT_EQ(teams.first, (Keys{100, 1, 5}));
    EXPECT_EQ(teams.second, (Keys{3, 4, 2, 101, 6}));
}

TEST(TeamAssembly, Step2IgnoresTheClassLessCapAndPlacesAboveThirty) {
    Queue q = queueWith({1}, {0, 15, 15, 15, 15});  // the configured class-less cap is not used
    enqueueSingles(q, 1, 2, 0, typeMedium);
    Solution s{};
    EXPECT_TRUE(A::step2(q, s, Tmb{1, 0, 0, 0}));
    EXPECT_EQ(s[0].second, (SquadRoster{{1, 0, 0, 0, 0}, {1, 0, 0, 0, 0}}));

    Queue crowded = queueWith({1}, {100, 100, 100, 100, 100});
    enqueueSingles(crowded, 1, 64, 0, typeHeavy);
    Solution t{};
    t[0].second = SquadRoster{{0, 0, 0, 0, 31}, {0, 0, 0, 0, 31}};
    const Solution before = t;
    // One pair of heavies is left, but a place already above 30 is never a candidate.
    EXPECT_FALSE(A::step2(crowded, t, Tmb{40, 0, 0, 0}));
    EXPECT_EQ(t, before);
}

TEST(TeamAssembly, MapScoringStopsOnlyWhenAPartialTotalExceedsTheBest) {
    for (unsigned seed : {31u, 32u, 33u, 34u}) {
        Queue q = queueWith({1, 2, 3, 4});
        q.enqueue(1, 7, 1, {typeMedium, typeMedium}, {{2, 3, 4}});  // costs only at level 1
        Solution s{};
        s[1].first = SquadRoster{{2, 0, 0, 0, 0}, {}};
        A::random(q).seed(seed);
        Teams teams;
        // Maps 2 to 4 tie with map 1 after level 0, but not over the battle.
        EXPECT_EQ(A::step3(q, s, teams), 1) << seed;
    }
}
