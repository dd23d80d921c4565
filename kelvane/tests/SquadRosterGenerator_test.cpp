#include <gtest/gtest.h>

#include <map>
#include <random>

#include "CoreTestAccess.h"

namespace {

using Keys = std::vector<SquadKey>;
using A = CoreTestAccess;

TeamState squad(int members, int scouts = 0, int spgs = 0, int ats = 0, int heavies = 0) {
    return TeamState{members, scouts, spgs, ats, heavies};
}

SquadRoster roster(int a, int b) {
    return SquadRoster{squad(a), squad(b)};
}

// Conditions that admit every composition the generator can hold.
Conditions wide() {
    Conditions c;
    c.fill(SquadCondition(100, 100, -100, 100));
    return c;
}

std::vector<SquadRoster> emitted(SquadRosterGenerator& g, const Conditions& c, int index = 7) {
    MatchingResult result;
    g.get(result, index, c);
    std::vector<SquadRoster> rosters;
    for (const auto& entry : result) {
        EXPECT_EQ(std::get<1>(entry), index);
        rosters.push_back(std::get<0>(entry));
    }
    return rosters;
}

// Every link leads, squad by squad, back to the empty composition.
void expectChainsEndAtEmpty(SquadRosterGenerator& g) {
    for (const auto& entry : A::rosters(g)) {
        Teams teams;
        g.addSquadsToTeam(teams, entry.first);
        std::map<SquadKey, int> seen;
        for (SquadKey k : teams.first) ++seen[k];
        for (SquadKey k : teams.second) ++seen[k];
        for (const auto& s : seen) EXPECT_EQ(s.second, 1) << "squad used twice";
    }
}

}  // namespace

TEST(SquadRosterGenerator, EmptyGeneratorEmitsOnlyTheEmptyCompositionWhenAdmitted) {
    SquadRosterGenerator g;
    EXPECT_EQ(emitted(g, wide()), (std::vector<SquadRoster>{SquadRoster{}}));
    Conditions noZero = wide();
    noZero[condAt] = SquadCondition(5, 5, 1, 3);  // the range excludes a difference of 0
    EXPECT_TRUE(emitted(g, noZero).empty());
    Conditions negative = wide();
    negative[condScout].maxTeamBSize = -1;
    EXPECT_TRUE(emitted(g, negative).empty());
    Teams teams;
    g.addSquadsToTeam(teams, SquadRoster{});
    EXPECT_TRUE(teams.first.empty() && teams.second.empty());
}

TEST(SquadRosterGenerator, TwoEqualSquadsKeepTheFirstWayFound) {
    SquadRosterGenerator g;
    const SquadKey S1 = 11, S2 = 22;
    g.enqueue(squad(2), S1, 1);
    g.enqueue(squad(2), S2, 2);
    const std::map<SquadRoster, std::pair<uint64_t, bool>> expected = {
        {roster(0, 0), {0, false}}, {roster(0, 2), {S1, false}}, {roster(0, 4), {S2, false}},
        {roster(2, 0), {S1, true}}, {roster(2, 2), {S2, true}},  {roster(4, 0), {S2, true}},
    };
    EXPECT_EQ(A::rosters(g), expected);
    Teams teams;
    g.addSquadsToTeam(teams, roster(2, 2));
    EXPECT_EQ(teams.first, (Keys{S2}));
    EXPECT_EQ(teams.second, (Keys{S1}));
    // Appends after what is there, in reverse order of processing.
    teams = Teams{{5}, {6}};
    g.addSquadsToTeam(teams, roster(4, 0));
    EXPECT_EQ(teams.first, (Keys{5, S2, S1}));
    EXPECT_EQ(teams.second, (Keys{6}));
}

TEST(SquadRosterGenerator, TeamLimitsOfSixPlayersAndThreeSpgs) {
    SquadRosterGenerator g;
    for (SquadKey k = 1; k <= 3; ++k) g.enqueue(squad(3), k, k);
    int maxA = 0;
    for (const auto& entry : A::rosters(g)) maxA = std::max(maxA, entry.first.first[condSquad]);
    EXPECT_EQ(maxA, 6);  // two squads of three, never all three
    EXPECT_EQ(A::rosters(g).count(roster(6, 3)), 1u);

    SquadRosterGenerator spg;
    spg.enqueue(squad(4, 0, 4), 1, 1);  // four SPGs break the limit alone
    EXPECT_EQ(A::rosters(spg).size(), 1u);
    EXPECT_EQ(A::keysList(spg).size(), 1u);
    spg.enqueue(squad(3, 0, 3), 2, 2);
    EXPECT_EQ(A::rosters(spg).count(SquadRoster{squad(3, 0, 3), squad(0)}), 1u);
    spg.enqueue(squad(2, 0, 1), 3, 3);
    EXPECT_EQ(A::rosters(spg).count(SquadRoster{squad(5, 0, 4), squad(0)}), 0u);
    EXPECT_EQ(A::rosters(spg).count(SquadRoster{squad(3, 0, 3), squad(2, 0, 1)}), 1u);
    expectChainsEndAtEmpty(spg);
}

TEST(SquadRosterGenerator, OnlyTheSixteenOldestTakePartUntilOneLeaves) {
    SquadRosterGenerator g;
    // Squads 1..16 are pairs; the 17th is a pair with a scout, telling it apart.
    for (SquadKey k = 1; k <= 16; ++k) g.enqueue(squad(2), k, k);
    const SquadRoster withScout{squad(2, 1), squad(0)};
    g.enqueue(squad(2, 1), 17, 17);
    EXPECT_EQ(A::rosters(g).count(withScout), 0u);
    EXPECT_TRUE(A::isValid(g));
    EXPECT_TRUE(g.dequeue(3));
    EXPECT_FALSE(A::isValid(g));
    const auto stale = emitted(g, wide());  // get rebuilds from the 16 oldest
    EXPECT_TRUE(A::isValid(g));
    EXPECT_EQ(A::rosters(g).count(withScout), 1u);
    EXPECT_EQ(stale.size(), A::rosters(g).size());
    expectChainsEndAtEmpty(g);
}

TEST(SquadRosterGenerator, EnqueueAfterRemovalRebuilds) {
    SquadRosterGenerator g;
    g.enqueue(squad(2), 1, 1);
    g.enqueue(squad(3), 2, 2);
    g.dequeue(1);
    g.enqueue(squad(4), 3, 3);
    EXPECT_TRUE(A::isValid(g));
    for (const auto& entry : A::rosters(g)) {
        // Squad 1 is gone: no composition may hold a team of 2 or 5 players.
        for (int n : {entry.first.first[condSquad], entry.first.second[condSquad]})
            EXPECT_TRUE(n == 0 || n == 3 || n == 4) << n;
    }
    EXPECT_EQ(A::rosters(g).size(), 7u);  // 00, 30, 03, 40, 04, 34, 43 (7 = 3+4 over the cap)
}

TEST(SquadRosterGenerator, UnknownDequeueKeepsTheTableValid) {
    SquadRosterGenerator g;
    g.enqueue(squad(2), 1, 1);
    EXPECT_FALSE(g.dequeue(99));
    EXPECT_TRUE(A::isValid(g));
    EXPECT_TRUE(g.dequeue(1));
    EXPECT_FALSE(g.dequeue(1));
}

TEST(SquadRosterGenerator, GetFiltersInAscendingOrderAndAppends) {
    SquadRosterGenerator g;
    g.enqueue(squad(2, 1), 1, 1);
    g.enqueue(squad(2, 0, 0, 0, 2), 2, 2);
    Conditions c = wide();
    c[condSquad] = SquadCondition(2, 2, -2, 2);  // at most one squad per team
    c[condHeavy] = SquadCondition(1, 2, -2, 0);  // heavies only on team B
    MatchingResult result;
    result.emplace_back(roster(9, 9), -1);
    g.get(result, 0, c);
    ASSERT_EQ(result.size(), 6u);
    EXPECT_EQ(std::get<0>(result[0]), roster(9, 9));
    const std::vector<SquadRoster> expected = {
        SquadRoster{squad(0), squad(0)},
        SquadRoster{squad(0), squad(2, 0, 0, 0, 2)},
        SquadRoster{squad(0), squad(2, 1)},
        SquadRoster{squad(2, 1), squad(0)},
        SquadRoster{squad(2, 1), squad(2, 0, 0, 0, 2)},
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(std::get<0>(result[i + 1]), expected[i]) << i;
        EXPECT_EQ(std::get<1>(result[i + 1]), 0);
    }
}

TEST(SquadRosterGenerator, IncrementalTableEqualsAFullRebuild) {
    srand(12345);
    for (int round = 0; round < 30; ++round) {
        SquadRosterGenerator incremental, rebuilt;
        rebuilt.enqueue(squad(2), 1000, 0);  // removed below, forcing a rebuild
        const int count = 1 + rand() % 10;
        for (int i = 0; i < count; ++i) {
            const int members = 2 + rand() % 3;
            const TeamState s = squad(members, rand() % 2, rand() % 3, rand() % 2, rand() % 2);
            incremental.enqueue(s, i + 1, i + 1);
            rebuilt.enqueue(s, i + 1, i + 1);
        }
        rebuilt.dequeue(1000);
        emitted(rebuilt, wide());
        EXPECT_EQ(A::rosters(incremental), A::rosters(rebuilt)) << "round " << round;
        expectChainsEndAtEmpty(incremental);
    }
}

// The table against a plain transcription of the rules, on random arrivals and departures with
// more squads than take part: each composition once, with the squad and team that first reached
// it.
TEST(SquadRosterGenerator, TableMatchesAPlainModel) {
    std::mt19937 rng(99);
    auto pick = [&](int n) { return int(rng() % unsigned(n)); };
    for (int round = 0; round < 10; ++round) {
        SquadRosterGenerator g;
        std::vector<std::pair<SquadKey, TeamState>> waiting;  // oldest first
        for (SquadKey key = 1; key <= 30; ++key) {
            if (!waiting.empty() && pick(3) == 0) {
                const auto gone = waiting.begin() + pick(int(waiting.size()));
                g.dequeue(gone->first);
                waiting.erase(gone);
            } else {
                waiting.emplace_back(key, squad(2 + pick(3), pick(2), pick(3), pick(2), pick(2)));
                g.enqueue(waiting.back().second, key, key);
            }
            std::map<SquadRoster, std::pair<uint64_t, bool>> model{{SquadRoster{}, {0, false}}};
            for (size_t k = 0; k < waiting.size() && k < 16; ++k) {
                auto grown = model;
                for (const auto& entry : model)
                    for (bool toA : {true, false}) {
                        SquadRoster r = entry.first;
                        TeamState& team = toA ? r.first : r.second;
                        team += waiting[k].second;
                        if (team[0] <= 6 && team[2] <= 3 && !model.count(r))
                            grown.emplace(r, std::make_pair(waiting[k].first, toA));
                    }
                model.swap(grown);
            }
            // The list get walks, not only its map: every composition once.
            ASSERT_EQ(emitted(g, wide()).size(), model.size()) << "round " << round;
            ASSERT_EQ(A::rosters(g), model) << "round " << round << " key " << key;
        }
    }
}

// The table against a model that does every pass on arrival, as the rules state them, with times
// out of order and repeated: the order in which squads were taken in then shapes the links, and
// the deferred passes must keep it.
TEST(SquadRosterGenerator, DeferredWorkMatchesPassesDoneOnArrival) {
    using Table = std::map<SquadRoster, std::pair<uint64_t, bool>>;
    std::mt19937 rng(7);
    auto pick = [&](int n) { return int(rng() % unsigned(n)); };
    for (int round = 0; round < 40; ++round) {
        SquadRosterGenerator g;
        Table table{{SquadRoster{}, {0, false}}};
        bool valid = true;
        std::multimap<MatchmakerTime, SquadKey> list;  // equal times in arrival order
        std::map<SquadKey, TeamState> data;
        const auto process = [&](SquadKey key) {
            Table grown = table;
            for (const auto& entry : table)
                for (bool toA : {true, false}) {
                    SquadRoster r = entry.first;
                    TeamState& team = toA ? r.first : r.second;
                    team += data[key];
                    if (team[condSquad] <= 6 && team[condSpg] <= 3 && !grown.count(r))
                        grown.emplace(r, std::make_pair(key, toA));
                }
            table.swap(grown);
        };
        const auto rebuild = [&] {
            table = Table{{SquadRoster{}, {0, false}}};
            valid = true;
            int taken = 0;
            for (const auto& entry : list)
                if (taken++ < 16) process(entry.second);
        };
        for (SquadKey key = 1; key <= 60; ++key) {
            const int action = pick(6);
            if (action == 0 && !data.empty()) {
                auto gone = data.begin();
                std::advance(gone, pick(int(data.size())));
                const SquadKey k = gone->first;
                EXPECT_TRUE(g.dequeue(k));
                data.erase(gone);
                for (auto it = list.begin(); it != list.end(); ++it)
                    if (it->second == k) {
                        list.erase(it);
                        break;
                    }
                valid = false;
            } else if (action == 1) {
                if (!valid) rebuild();
                ASSERT_EQ(A::rosters(g), table) << "round " << round << " key " << key;
            } else {
                // Some squads carry more special vehicles than members: they take the general walk.
                const TeamState s = squad(2 + pick(3), pick(2), pick(3), pick(2), pick(3));
                const MatchmakerTime time = MatchmakerTime(pick(8));
                g.enqueue(s, key, time);
                data[key] = s;
                list.emplace(time, key);
                if (list.size() <= 16) {
                    if (valid) {
                        process(key);
                    } else {
                        rebuild();
                    }
                }
            }
        }
        if (!valid) rebuild();
        ASSERT_EQ(A::rosters(g), table) << "round " << round;
        expectChainsEndAtEmpty(g);
    }
}
