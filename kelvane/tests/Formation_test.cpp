#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>

#include "CoreTestAccess.h"

namespace {

using A = CoreTestAccess;
using Keys = std::vector<SquadKey>;
const TeamState kCaps = {15, 15, 15, 15, 15};

// The allowances a formation call derives at the given average wait.
std::pair<TeamState, TeamState> allowancesAt(std::vector<uint32_t> totalImb,
                                             std::vector<uint32_t> levelImb,
                                             MatchmakerTime enqueued, MatchmakerTime now) {
    Queue q(makeConfig({1}, {}, std::move(totalImb), std::move(levelImb), kCaps));
    q.enqueue(enqueued, 1, 0, {typeMedium}, {});
    Teams result;
    EXPECT_EQ(q.formteams(now, result), 0);  // no layouts: nothing is tried
    EXPECT_TRUE(result.first.empty() && result.second.empty());
    return {A::totalImbalance(q), A::levelImbalance(q)};
}

TeamState all(int v) {
    return TeamState{v, v, v, v, v};
}

// Battles formed by one matchmaker with two single players of no class waiting at level 0.
MapKey formPair(const std::vector<Tmb>& tmbs, MatchmakerTime now, Teams& result) {
    Queue q(makeConfig({1, 2}, tmbs, {0}, {0}, kCaps));
    q.enqueue(0, 1, 0, {typeMedium}, {});
    q.enqueue(0, 2, 0, {typeMedium}, {});
    return q.formteams(now, result);
}

void expectSoundBattle(const Teams& teams, const std::set<SquadKey>& waiting) {
    std::set<SquadKey> seen;
    for (const Keys* side : {&teams.first, &teams.second}) {
        EXPECT_FALSE(side->empty());
        for (SquadKey k : *side) {
            EXPECT_EQ(waiting.count(k), 1u) << k << " is not waiting";
            EXPECT_TRUE(seen.insert(k).second) << k << " is in the battle twice";
        }
    }
}

}  // namespace

TEST(Formation, ThresholdScansStopAtTheFirstUnreached) {
    EXPECT_EQ(allowancesAt({}, {0, 30, 60}, 0, 45).second, all(1));
    EXPECT_EQ(allowancesAt({}, {0, 30, 60}, 0, 60).second, all(2));
    EXPECT_EQ(allowancesAt({}, {0, 30, 60}, 0, 0).second, all(0));
    EXPECT_EQ(allowancesAt({}, {0, 30, 60}, 0, 45).first, all(-1));  // no thresholds at all
    EXPECT_EQ(allowancesAt({5, 100, 6}, {}, 0, 50).first, all(0));
    EXPECT_EQ(allowancesAt({5}, {}, 0, 4).first, all(-1));
    // A formation time before the average enqueue time is a wait of 0, not a wrap-around.
    EXPECT_EQ(allowancesAt({0, 30, 60}, {0, 30, 60}, 1000, 10).first, all(0));
}

TEST(Formation, LayoutsAreTriedInOrderUntilAnUnreachedWait) {
    Teams result;
    // The first layout needs four players: it fails, and the second's wait is not reached.
    EXPECT_EQ(formPair({{2, 0, 0, 0}, {1, 0, 0, 100}}, 50, result), 0);
    EXPECT_TRUE(result.first.empty() && result.second.empty());  // the failed try left nothing
    EXPECT_NE(formPair({{2, 0, 0, 0}, {1, 0, 0, 100}}, 100, result), 0);
    EXPECT_EQ(result.first.size() + result.second.size(), 2u);
    // An unreached wait stops the scan even though a later layout's wait is reached.
    EXPECT_EQ(formPair({{1, 0, 0, 100}, {1, 0, 0, 0}}, 50, result), 0);
    // A wait equal to the threshold counts as reached.
    EXPECT_NE(formPair({{1, 0, 0, 50}}, 50, result), 0);
    EXPECT_EQ(formPair({}, 50, result), 0);
}

TEST(Formation, ThirtySinglePlayersFormTheSameFifteenAgainstFifteen) {
    const VehType mix[] = {typeMedium, typeLight, typeScout, typeSpg, typeAtspg, typeHeavy};
    auto run = [&](Teams& teams) {
        Matchmaker m(2024, {{1, makeConfig({3, 5, 8, 13}, {{15, 0, 0, 0}}, {0}, {0}, kCaps)}});
        for (SquadKey k = 1; k <= 30; ++k)
            m.enqueue(1, 100 + k, 1000 + k, 0, {mix[(k - 1) / 2 % 6]}, {{int(k % 4) * 5 + 3}});
        return m.formteams(1, 200, teams);
    };
    Teams first, second;
    const MapKey map = run(first);
    EXPECT_TRUE(map == 3 || map == 5 || map == 8 || map == 13) << map;
    EXPECT_EQ(first.first.size(), 15u);
    EXPECT_EQ(first.second.size(), 15u);
    std::set<SquadKey> waiting;
    for (SquadKey k = 1001; k <= 1030; ++k) waiting.insert(k);
    expectSoundBattle(first, waiting);
    EXPECT_EQ(run(second), map);  // the same seed forms the same battle
    EXPECT_EQ(second, first);
}

TEST(Formation, SquadsAndSinglesAcrossLevelsFormASoundBattle) {
    Matchmaker m(7, {{1, makeConfig({1, 2, 3, 4, 5}, {{3, 3, 3, 0}}, {0, 0, 0}, {0, 0}, kCaps)}});
    std::set<SquadKey> waiting;
    SquadKey key = 1;
    for (int level = 0; level < LEVEL_COUNT; ++level) {
        m.enqueue(1, key, key, level, {typeMedium, typeHeavy}, {{1, 2}, {3}});
        waiting.insert(key++);
        m.enqueue(1, key, key, level, {typeMedium, typeHeavy}, {{2}});
        waiting.insert(key++);
        for (int i = 0; i < 4; ++i) {
            m.enqueue(1, key, key, level, {i % 2 ? typeMedium : typeAtspg}, {{4}});
            waiting.insert(key++);
        }
    }
    Teams teams;
    const MapKey map = m.formteams(1, 100, teams);
    ASSERT_NE(map, 0);
    expectSoundBattle(teams, waiting);
    EXPECT_EQ(teams.first.size() + teams.second.size(), 12u);  // 3 + 3 + 3 a side, squads of 2
    EXPECT_EQ(map, 5);  // the only map nobody played recently
    Teams again;
    EXPECT_EQ(m.formteams(1, 100, again), 5);  // nothing was dequeued: a battle again
}

TEST(Formation, LargeQueueEndsNearTheBudgetAndFormsWithoutIt) {
    // Many squads and players on every level, with wide allowances. The first call builds every
    // level's composition table inside its budget, which on a busy machine (or under the
    // sanitizers) can take all of it: the call then ends soon after with no battle.
    Matchmaker m(5, {{1, makeConfig({1, 2, 3, 4, 5, 6}, {{15, 15, 15, 0}}, {0, 0, 0, 0, 0, 0},
                                    {0, 0, 0, 0, 0, 0}, kCaps)}});
    const VehType mix[] = {typeMedium, typeScout, typeSpg, typeAtspg, typeHeavy, typeLight};
    std::set<SquadKey> waiting;
    SquadKey key = 1;
    for (int level = 0; level < LEVEL_COUNT; ++level) {
        for (int s = 0; s < 16; ++s) {
            std::vector<VehType> members(2 + s % 2);
            for (size_t i = 0; i < members.size(); ++i) members[i] = mix[(s + i) % 6];
            m.enqueue(1, key, key, level, members, {});
            waiting.insert(key++);
        }
        for (int p = 0; p < 60; ++p) {
            m.enqueue(1, key, key, level, {mix[p % 6]}, {});
            waiting.insert(key++);
        }
    }
    const auto start = std::chrono::steady_clock::now();
    Teams teams;
    MapKey map = m.formteams(1, 100000, teams);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 5.0);  // bounded by the budget plus the try in progress
    if (map != 0)
        expectSoundBattle(teams, waiting);
    else
        EXPECT_TRUE(teams.first.empty() && teams.second.empty());

    teams = Teams{};
    map = CoreTestAccess::formteams(CoreTestAccess::queue(m, 1), 100000, teams, -3600);
    ASSERT_NE(map, 0);
    expectSoundBattle(teams, waiting);
}

TEST(Formation, ATryThatSpendsTheBudgetEndsTheCall) {
    // The first layout can never form, which shows only at the top: with four single players
    // each, the two lower levels take at least four squad players a team each, and the top, with
    // two single players for eight places, needs four more in one team, over the cap of eleven.
    // The second layout would form at once, but a call whose budget is spent when the first
    // try fails tries no more.
    Matchmaker m(5, {{1, makeConfig({1, 2}, {{4, 7, 7, 0}, {1, 0, 0, 0}}, {0, 0, 0, 0, 0, 0},
                                    {0, 0, 0, 0, 0, 0}, TeamState{11, 15, 15, 15, 15})}});
    const VehType mix[] = {typeMedium, typeScout, typeSpg, typeAtspg, typeHeavy, typeLight};
    SquadKey key = 1;
    for (int s = 0; s < 4; ++s, ++key) m.enqueue(1, key, key, 0, {typeMedium, typeMedium}, {});
    for (int p = 0; p < 2; ++p, ++key) m.enqueue(1, key, key, 0, {typeMedium}, {});
    for (int level = 1; level < LEVEL_COUNT; ++level) {
        for (int s = 0; s < 16; ++s, ++key) {
            std::vector<VehType> members(2 + s % 2);
            for (size_t i = 0; i < members.size(); ++i) members[i] = mix[(s + i) % 6];
            m.enqueue(1, key, key, level, members, {});
        }
        for (int p = 0; p < 4; ++p, ++key) m.enqueue(1, key, key, level, {mix[p % 6]}, {});
    }
    Teams teams;
    Queue& q = CoreTestAccess::queue(m, 1);
    EXPECT_NE(CoreTestAccess::formteams(q, 100000, teams, 0), 0);
    teams = Teams{};
    EXPECT_EQ(CoreTestAccess::formteams(q, 100000, teams, 1.0), 0);
    EXPECT_TRUE(teams.first.empty() && teams.second.empty());
}

TEST(Formation, ReportSaysWhenTheBudgetCutTheCall) {
    Matchmaker m(5, {{1, makeConfig({1}, {{1, 0, 0, 0}, {1, 0, 0, 0}}, {0}, {0}, kCaps)}});
    m.enqueue(1, 1, 1, 0, {typeScout}, {});
    m.enqueue(1, 1, 2, 0, {typeScout}, {});
    Queue& q = CoreTestAccess::queue(m, 1);
    Teams teams;
    ASSERT_EQ(CoreTestAccess::formteams(q, 10, teams, 1.0), 0);
    FormationReport last = q.stats(10).last;
    EXPECT_TRUE(last.budget);
    EXPECT_EQ(last.tried, 1u);  // the second layout is left untried
    EXPECT_EQ(last.reasonText(), "search cut by the budget");

    ASSERT_NE(m.formteams(1, 10, teams), 0);
    last = q.stats(10).last;
    EXPECT_FALSE(last.budget);
    EXPECT_EQ(std::make_tuple(last.tried, last.formed, last.penalty), std::make_tuple(1u, 0, 0));
    EXPECT_EQ(last.reason, FormationReport::Reason::none);
}
