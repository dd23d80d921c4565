#include <gtest/gtest.h>

#include <random>

#include "CoreTestAccess.h"

namespace {

using A = CoreTestAccess;

Queue openQueue(TeamState caps = {15, 15, 15, 15, 15}) {
    return Queue(makeConfig({1}, {}, {}, {}, caps));
}

std::vector<SquadRoster> rostersFrom(const MatchingResult& result, size_t from) {
    std::vector<SquadRoster> rosters;
    for (size_t i = from; i < result.size(); ++i) rosters.push_back(std::get<0>(result[i]));
    return rosters;
}

}  // namespace

TEST(TeamSearch, CheckPlayersAddsTheFewestToOneSide) {
    int a = -9, b = -9;
    // Squad difference +1, two available, room 5 a side.
    EXPECT_TRUE(A::checkPlayers(a, b, -1, 1, 0, 2, 5, 5));
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 2);
    EXPECT_TRUE(A::checkPlayers(a, b, 0, 1, 0, 2, 5, 5));
    EXPECT_EQ(b, 1);
    EXPECT_TRUE(A::checkPlayers(a, b, 1, 1, 0, 2, 5, 5));
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 0);
    EXPECT_TRUE(A::checkPlayers(a, b, 3, 1, 0, 2, 5, 5));
    EXPECT_EQ(a, 2);
    a = b = -9;
    EXPECT_FALSE(A::checkPlayers(a, b, -1, 1, 0, 1, 5, 5));  // not enough available
    EXPECT_EQ(a, -9);                                        // outputs untouched
    EXPECT_FALSE(A::checkPlayers(a, b, -1, 1, 0, 2, 5, 1));  // team B one short of room
    EXPECT_FALSE(A::checkPlayers(a, b, 3, 1, 0, 2, 1, 5));   // team A one short of room
}

TEST(TeamSearch, SmallTopLevelMustBalanceExactly) {
    Queue q = openQueue({15, 15, 2, 15, 15});
    A::levelImbalance(q) = {2, 2, 2, 2, 2};
    const SquadRoster current{{0, 0, 1, 0, 0}, {0, 0, 0, 0, 0}};
    for (const Conditions& c :
         {A::squadConditions(q, current, 3, 0), A::playerConditions(q, current, 3, 0)}) {
        for (int i = condScout; i < condTotal; ++i) {
            EXPECT_EQ(c[i].minTeamImbalance, 0);
            EXPECT_EQ(c[i].maxTeamImbalance, 0);
        }
        EXPECT_EQ(c[condSpg].maxTeamASize, 1);  // min(3, 2 - 1, 1)
        EXPECT_EQ(c[condSpg].maxTeamBSize, 1);
        EXPECT_EQ(c[condHeavy].maxTeamASize, 3);
    }
    EXPECT_EQ(A::squadConditions(q, current, 3, 0)[condSquad].maxTeamImbalance, 0);

    // Four places, or a lower level, use the ordinary ranges.
    A::levelImbalance(q) = {2, 1, 0, 4, 5};
    const Conditions squads = A::squadConditions(q, current, 4, 0);
    EXPECT_EQ(squads[condSquad].minTeamImbalance, -2);
    EXPECT_EQ(squads[condSpg].maxTeamImbalance, 1);
    EXPECT_EQ(squads[condScout].maxTeamImbalance, 3);
    EXPECT_EQ(squads[condHeavy].minTeamImbalance, -3);
    EXPECT_EQ(squads[condSpg].maxTeamASize, 1);  // the cap left: 2 - 1
    EXPECT_EQ(squads[condSpg].maxTeamBSize, 2);
    const Conditions players = A::playerConditions(q, current, 3, 1);
    EXPECT_EQ(players[condScout].maxTeamImbalance, 1);
    EXPECT_EQ(players[condSpg].minTeamImbalance, 0);
    EXPECT_EQ(players[condHeavy].minTeamImbalance, -5);
    EXPECT_EQ(players[condSquad].maxTeamASize, 3);  // (size, size, 0, 0)
    EXPECT_EQ(players[condSquad].minTeamImbalance, 0);
}

TEST(TeamSearch, FillingTriesScoutTargetsFromTheLowerEnd) {
    Queue q = openQueue();
    A::levelImbalance(q) = {0, 1, 0, 0, 0};
    MatchingResult result;
    // A squad of two in team A, one of them a scout: scout difference +1.
    result.emplace_back(SquadRoster{{2, 1, 0, 0, 0}, {}}, -1);
    const Conditions c = A::playerConditions(q, SquadRoster{}, 5, 1);
    A::processPlayers(q, result, 0, c, TeamState{10, 2, 0, 0, 0}, 3, 5);
    const auto rosters = rostersFrom(result, 1);
    ASSERT_EQ(rosters.size(), 3u);
    // Two scouts to B, one scout to B, none; class-less players even out the free places.
    EXPECT_EQ(rosters[0], (SquadRoster{{0, 0, 0, 0, 0}, {0, 2, 0, 0, 0}}));
    EXPECT_EQ(rosters[1], (SquadRoster{{0, 0, 0, 0, 0}, {1, 1, 0, 0, 0}}));
    EXPECT_EQ(rosters[2], (SquadRoster{{0, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}));
    for (size_t i = 1; i < result.size(); ++i) EXPECT_EQ(std::get<1>(result[i]), 0);
}

TEST(TeamSearch, FillingDropsWhatCannotBeEvenedOrPaired) {
    Queue q = openQueue();
    A::levelImbalance(q) = {0, 0, 0, 0, 0};
    MatchingResult result;
    result.emplace_back(SquadRoster{}, -1);
    const Conditions c = A::playerConditions(q, SquadRoster{}, 5, 1);
    // freeA 3, freeB 1: two class-less players would be needed, one waits.
    A::processPlayers(q, result, 0, c, TeamState{1, 0, 0, 0, 0}, 3, 1);
    EXPECT_EQ(result.size(), 1u);
    // Even but too few pairs left for the free places.
    A::processPlayers(q, result, 0, c, TeamState{3, 0, 0, 0, 0}, 2, 2);
    EXPECT_EQ(result.size(), 1u);
    // A full level needing no correction gives one all-zero roster.
    A::processPlayers(q, result, 0, c, TeamState{}, 0, 0);
    ASSERT_EQ(result.size(), 2u);
    EXPECT_EQ(std::get<0>(result[1]), SquadRoster{});
    // An allowance of -1 admits nothing at all.
    A::levelImbalance(q) = {0, -1, 0, 0, 0};
    A::processPlayers(q, result, 0, A::playerConditions(q, SquadRoster{}, 5, 1), TeamState{}, 0, 0);
    EXPECT_EQ(result.size(), 2u);
}

TEST(TeamSearch, LevelTermsScoreOneLevel) {
    // Two places a team: team A a squad of a scout and a heavy; B a single scout and a single
    // heavy. Squads 20·2 + 5 + 3, single players 5 + 3, level sums 0.
    const SquadRoster squads{{2, 1, 0, 0, 1}, {}}, players{{}, {0, 1, 0, 0, 1}};
    EXPECT_EQ(teamscore::levelTerms(squads, players), 56);
    EXPECT_EQ(teamscore::squadTerm(squads), 48);
}

TEST(TeamSearch, Step1WithTheBudgetSpentFindsNothing) {
    Queue q = openQueue();
    for (SquadKey k = 1; k <= 4; ++k) q.enqueue(1, k, 2, {typeMedium}, {});
    A::levelImbalance(q) = {0, 0, 0, 0, 0};
    A::totalImbalance(q) = {0, 0, 0, 0, 0};
    Solution s{};
    A::startClock(q);
    EXPECT_TRUE(A::step1(q, s, Tmb{0, 0, 2, 0}));
    A::startClock(q, 1.0);
    Solution untouched{};
    EXPECT_FALSE(A::step1(q, untouched, Tmb{0, 0, 2, 0}));
    EXPECT_EQ(untouched, Solution{});
}

// One squad of two at the bottom and two single players: the squad goes to either team and the
// singles to the other. Both candidates score 100; the one found later, squad in team A, wins.
TEST(TeamSearch, Step1KeepsTheLaterOfEqualCandidatesAndTheTotalLimit) {
    Queue q = openQueue();
    q.enqueue(1, 7, 2, {typeMedium, typeMedium}, {});
    q.enqueue(1, 8, 2, {typeMedium}, {});
    q.enqueue(1, 9, 2, {typeMedium}, {});
    A::levelImbalance(q) = {2, 0, 0, 0, 0};
    A::totalImbalance(q) = {2, 0, 0, 0, 0};  // exactly the squad-player imbalance
    A::startClock(q);
    Solution s{};
    ASSERT_TRUE(A::step1(q, s, Tmb{0, 0, 2, 0}));
    EXPECT_EQ(s[2].first, (SquadRoster{{2, 0, 0, 0, 0}, {}}));
    EXPECT_EQ(s[2].second, (SquadRoster{{}, {2, 0, 0, 0, 0}}));
    EXPECT_EQ(s[0], (std::pair<SquadRoster, SquadRoster>{}));
    EXPECT_EQ(A::bestSolutionPenalty(q), 100);

    A::totalImbalance(q) = {1, 0, 0, 0, 0};  // one less rejects both
    Solution none{};
    EXPECT_FALSE(A::step1(q, none, Tmb{0, 0, 2, 0}));
    EXPECT_EQ(A::bestSolutionPenalty(q), 10000000);
}

// The first pass leaves free places to the second, which fills them in pairs.
TEST(TeamSearch, EmptyMiddleLevelIsPassedThroughAndFreePlacesLeftForPairs) {
    Queue q = openQueue();
    for (SquadKey k = 1; k <= 2; ++k) q.enqueue(1, k, 0, {typeHeavy}, {});
    for (SquadKey k = 3; k <= 4; ++k) q.enqueue(1, k, 2, {typeSpg}, {});
    q.enqueue(1, 5, 1, {typeMedium, typeMedium}, {});  // waits at the middle level, 0 places
    A::levelImbalance(q) = {0, 0, 0, 0, 0};
    A::totalImbalance(q) = {0, 0, 0, 0, 0};
    A::startClock(q);
    Solution s{};
    ASSERT_TRUE(A::step1(q, s, Tmb{1, 0, 1, 0}));
    EXPECT_EQ(s, Solution{});
    EXPECT_EQ(A::bestSolutionPenalty(q), 0);
    ASSERT_TRUE(A::step2(q, s, Tmb{1, 0, 1, 0}));
    EXPECT_EQ(s[0].second, (SquadRoster{{0, 0, 0, 0, 1}, {0, 0, 0, 0, 1}}));
    EXPECT_EQ(s[1], (std::pair<SquadRoster, SquadRoster>{}));
    EXPECT_EQ(s[2].second, (SquadRoster{{0, 0, 1, 0, 0}, {0, 0, 1, 0, 0}}));
}

TEST(TeamSearch, PairsLeftMustAlsoFitTheRoomUnderTheCaps) {
    Queue q = openQueue({15, 15, 15, 15, 1});  // one heavy a team
    A::levelImbalance(q) = {0, 0, 0, 0, 0};
    MatchingResult result;
    result.emplace_back(SquadRoster{}, -1);
    // Four heavies make two pairs, but the caps leave room for one: two free places fail.
    A::processPlayers(q, result, 0, A::playerConditions(q, SquadRoster{}, 2, 1),
                      TeamState{0, 0, 0, 0, 4}, 2, 2);
    EXPECT_EQ(result.size(), 1u);
    A::processPlayers(q, result, 0, A::playerConditions(q, SquadRoster{}, 1, 1),
                      TeamState{0, 0, 0, 0, 4}, 1, 1);
    EXPECT_EQ(result.size(), 2u);
}

// Targets beyond the reach of the waiting players can never succeed: a huge allowance must give
// the same battle as one just wide enough, and no more work than the players allow.
TEST(TeamSearch, HugeLevelAllowancesGiveTheSameBattle) {
    auto form = [](size_t thresholds, Teams& teams) {
        Matchmaker m(9, {{1, makeConfig({1, 2, 3, 4}, {{2, 2, 2, 0}}, {0, 0, 0},
                                        std::vector<uint32_t>(thresholds, 0),
                                        TeamState{15, 15, 15, 15, 15})}});
        // Two classes only, so that even the wide search ends far inside the budget.
        SquadKey key = 1;
        for (int level = 0; level < LEVEL_COUNT; ++level) {
            m.enqueue(1, key, key, level, {typeHeavy, typeMedium}, {});
            ++key;
            for (int p = 0; p < 5; ++p, ++key)
                m.enqueue(1, key, key, level, {p % 2 ? typeHeavy : typeMedium}, {});
        }
        return m.formteams(1, 10, teams);
    };
    Teams wide, huge;
    const MapKey map = form(3, wide);
    ASSERT_NE(map, 0);
    EXPECT_EQ(form(20000, huge), map);
    EXPECT_EQ(huge, wide);
}

// The per-class bound against every sequence of moves of two levels, on random move tables:
// exact where it tabulates, and never above the least where a class keeps only its hull.
TEST(TeamSearch, AboveBoundIsTheLeastOverEveryMove) {
    std::mt19937 rng(3);
    auto pick = [&](int n) { return int(rng() % unsigned(n)); };
    for (int round = 0; round < 300; ++round) {
        TeamState limit;
        for (int& l : limit) l = pick(5) - 1;
        // Each move costs at least unitCost a unit, as a level's moves do.
        teamscore::LevelReach levels[2];
        for (auto& level : levels) {
            level.clear();
            for (int i = 0; i < 5; ++i) {
                level.lo[i] = -pick(4);
                level.hi[i] = pick(4);
                if (pick(8) == 0) continue;  // hull only
                level.least[i].assign(size_t(level.hi[i] - level.lo[i] + 1),
                                      teamscore::kUnreachable);
                for (int64_t e = level.lo[i]; e <= level.hi[i]; ++e)
                    if (pick(4) != 0)
                        level.add(i, e, teamscore::unitCost(i) * std::abs(e) + pick(30));
            }
        }
        teamscore::AboveBound bound;
        bound.reset(limit);
        bound.addLevel(levels[0]);
        bound.addLevel(levels[1]);
        for (int i = 0; i < 5; ++i) {
            const bool exact = !levels[0].least[i].empty() && !levels[1].least[i].empty();
            auto cost = [&](const teamscore::LevelReach& l, int64_t e) {
                return l.least[i].empty() ? teamscore::unitCost(i) * std::abs(e)
                                          : l.least[i][size_t(e - l.lo[i])];
            };
            for (int64_t x = -12; x <= 12; ++x) {
                int64_t least = teamscore::kUnreachable;
                for (int64_t a = levels[0].lo[i]; a <= levels[0].hi[i]; ++a)
                    for (int64_t b = levels[1].lo[i]; b <= levels[1].hi[i]; ++b) {
                        const int64_t left = std::abs(x + a + b);
                        if (left > limit[i] || cost(levels[0], a) >= teamscore::kUnreachable ||
                            cost(levels[1], b) >= teamscore::kUnreachable)
                            continue;
                        least = std::min(least, cost(levels[0], a) + cost(levels[1], b) +
                                                    totalPenalty[i] * left);
                    }
                if (exact)
                    ASSERT_EQ(bound.at(i, x), least) << round << " class " << i << " x " << x;
                else
                    ASSERT_LE(bound.at(i, x), least) << round << " class " << i << " x " << x;
            }
        }
    }
}
