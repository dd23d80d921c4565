// The first pass against a plain exhaustive one, and the second pass against a plain
// transcription, on random queues small enough to enumerate. Both references are written from
// the rules alone and share no code with the passes they check.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "BranchAndBound.h"
#include "CoreTestAccess.h"

namespace {

using A = CoreTestAccess;

std::array<int, 4> row(const SquadCondition& c) {
    return {c.maxTeamASize, c.maxTeamBSize, c.minTeamImbalance, c.maxTeamImbalance};
}

// Every candidate in order, the last of the lowest score kept. Also counts the conditions and
// fillings that differ from the module's, so that a fault in a candidate that never wins shows.
struct Exhaustive {
    Queue& q;
    Tmb tmb;
    TeamState caps, levelImb, totalImb;
    int best = 10000000, mismatches = 0;
    bool found = false;
    Solution chosen{}, chain{};

    Conditions conditions(const SquadRoster& cur, int level, bool squads) const {
        const int size = int(tmb[level]);
        const bool top = level == 0 && size <= 3;
        Conditions c;
        for (int i = 0; i < 5; ++i) {
            const int most = top && i == condSpg ? 1 : size;
            const int imb = top ? 0 : !squads || i == 0 ? levelImb[i] : i == condSpg ? 1 : 3;
            c[i] = SquadCondition(std::min({size, most, caps[i] - cur.first[i]}),
                                  std::min({size, most, caps[i] - cur.second[i]}), -imb, imb);
        }
        return c;
    }

    void fill(int i, const SquadRoster& s, const Conditions& c, const TeamState& n, SquadRoster r,
              int freeA, int freeB, std::vector<SquadRoster>& out) const {
        if (i < 5) {
            for (int t = c[i].minTeamImbalance; t <= c[i].maxTeamImbalance; ++t) {
                const int d = s.first[i] - s.second[i], need = std::abs(d - t);
                r.first[i] = d < t ? need : 0;
                r.second[i] = d < t ? 0 : need;
                if (need <= n[i] && r.first[i] <= std::min(c[i].maxTeamASize - s.first[i], freeA) &&
                    r.second[i] <= std::min(c[i].maxTeamBSize - s.second[i], freeB))
                    fill(i + 1, s, c, n, r, freeA - r.first[i], freeB - r.second[i], out);
            }
            return;
        }
        const int need = std::abs(freeA - freeB);
        r.first[0] = freeA > freeB ? need : 0;
        r.second[0] = freeA > freeB ? 0 : need;
        int pairs = (n[0] - need) / 2;
        for (int k = 1; k < 5; ++k)
            pairs += std::min({(n[k] - r.first[k] - r.second[k]) / 2,
                               c[k].maxTeamASize - s.first[k] - r.first[k],
                               c[k].maxTeamBSize - s.second[k] - r.second[k]});
        if (need <= n[0] && std::min(freeA, freeB) <= pairs) out.push_back(r);
    }

    void search(int level, const SquadRoster& cur) {
        const int size = int(tmb[level]);
        const TeamState n = A::squads(q).getPlayerCounts(level);
        const Conditions cs = conditions(cur, level, true), cp = conditions(cur, level, false);
        const Conditions mineS = A::squadConditions(q, cur, size, level);
        const Conditions mineP = A::playerConditions(q, cur, size, level);
        for (int i = 0; i < 5; ++i)
            mismatches += row(mineS[i]) != row(cs[i]) || (i > 0 && row(mineP[i]) != row(cp[i]));
        for (const SquadRoster& s : A::offer(q, level, cs)) {
            const int freeA = size - s.first[0], freeB = size - s.second[0];
            if (freeA + freeB > n[0] + n[1] + n[2] + n[3] + n[4]) continue;
            std::vector<SquadRoster> rosters;
            fill(1, s, cp, n, {}, freeA, freeB, rosters);
            MatchingResult mine{{s, -1}};
            A::processPlayers(q, mine, 0, cp, n, freeA, freeB);
            mismatches += mine.size() != rosters.size() + 1;
            for (size_t k = 0; k < rosters.size() && k + 1 < mine.size(); ++k)
                mismatches += std::get<0>(mine[k + 1]) != rosters[k];
            for (const SquadRoster& p : rosters) {
                chain[level] = {s, p};
                SquadRoster total = cur + s + p;
                total.first[0] -= p.first[0];
                total.second[0] -= p.second[0];
                if (level > 0) {
                    search(level - 1, total);
                    continue;
                }
                int score = 0;
                bool within = true;
                for (int i = 0; i < 5; ++i) {
                    const int t = std::abs(total.first[i] - total.second[i]);
                    within = within && t <= totalImb[i];
                    score += totalPenalty[i] * t;
                    for (const auto& [sq, pl] : chain) {
                        const int dp = pl.first[i] - pl.second[i], ds = sq.first[i] - sq.second[i];
                        score += playersPenalty[i] * std::abs(dp) + squadPenalty[i] * std::abs(ds) +
                                 levelPenalty[i] * std::abs(dp + ds);
                    }
                }
                if (within && score <= best) best = score, chosen = chain, found = true;
            }
        }
    }
};

// Pairs of single players go, one draw at a time, to a (level, class) place whose larger team
// count is the smallest, within the places, the pairs waiting and the caps over all levels.
bool referenceSecondPass(Queue& q, Solution& s, const Tmb& tmb) {
    TeamState byType = A::maxVehicleCounts(q), countA{}, countB{};
    byType[0] = 30;
    int byLevel[3], cur[3][5], pairs[3][5];
    for (int l = 0; l < 3; ++l) {
        const TeamState waiting = A::squads(q).getPlayerCounts(l);
        byLevel[l] = int(tmb[l]);
        for (int i = 0; i < 5; ++i) {
            int a = s[l].first.first[i] + s[l].second.first[i];
            int b = s[l].first.second[i] + s[l].second.second[i];
            for (int c = 1; i == 0 && c < 5; ++c)
                a -= s[l].first.first[c], b -= s[l].first.second[c];
            countA[i] += a, countB[i] += b, byLevel[l] -= a;
            cur[l][i] = std::max(a, b);
            pairs[l][i] = (waiting[i] - s[l].second.first[i] - s[l].second.second[i]) / 2;
        }
    }
    for (int i = 0; i < 5; ++i) byType[i] -= std::max(countA[i], countB[i]);
    for (;;) {
        std::vector<std::pair<int, int>> places;
        int least = 30;
        for (int l = 0; l < 3; ++l)
            for (int i = 0; i < 5 && byLevel[l] != 0; ++i) {
                if (cur[l][i] > least || byType[i] == 0 || pairs[l][i] == 0) continue;
                if (cur[l][i] < least) places.clear(), least = cur[l][i];
                places.emplace_back(l, i);
            }
        if (places.empty()) return byLevel[0] <= 0 && byLevel[1] <= 0 && byLevel[2] <= 0;
        const auto [l, i] = places[rand() % places.size()];
        ++cur[l][i], --pairs[l][i], --byType[i], --byLevel[l];
        ++s[l].second.first[i], ++s[l].second.second[i];
    }
}

// A queue that is hard to balance: a thin top level whose few single players often share one
// scarce class, caps that bind, many squads below, per-level and whole-battle allowances of 2 and
// 3. The top holds 1 to `top` single players and up to `top` - 2 squads, the levels below up to
// `singles` single players and `squads` squads.
struct HardQueue {
    TeamState caps, levelImb, totalImb;
    Queue q;

    HardQueue(std::mt19937& rng, int top, int singles, int squads)
        : caps(draw(rng, [&] { return rng() % 3 ? 15 : 1 + int(rng() % 3); })),
          levelImb(draw(rng, [&] { return 2 + int(rng() % 2); })),
          totalImb(draw(rng, [&] { return 1 + int(rng() % 3); })),
          q(makeConfig({1}, {}, {}, {}, caps)) {
        const VehType kinds[] = {typeMedium, typeScout, typeSpg, typeAtspg, typeHeavy};
        auto pick = [&](int n) { return int(rng() % unsigned(n)); };
        const VehType scarce = kinds[1 + pick(4)], favoured = kinds[pick(5)];
        SquadKey key = 1;
        for (int level = 0; level < 3; ++level) {
            for (int n = level == 0 ? 1 + pick(top) : 1 + pick(singles); n > 0; --n, ++key)
                q.enqueue(key, key, level, {level == 0 && pick(2) ? scarce : kinds[pick(5)]}, {});
            for (int n = level == 0 ? pick(top - 1) : 1 + pick(squads); n > 0; --n, ++key) {
                std::vector<VehType> members(2 + pick(2));
                for (VehType& m : members) m = pick(2) ? favoured : kinds[pick(5)];
                q.enqueue(key, key, level, members, {});
            }
        }
        A::levelImbalance(q) = levelImb;
        A::totalImbalance(q) = totalImb;
    }
    template <class Draw>
    static TeamState draw(std::mt19937&, Draw next) {
        TeamState state;
        for (int& value : state) value = next();
        return state;
    }
};

}  // namespace

// Thin top levels, binding caps and wide allowances are where the search must solve many states
// and where near-ties abound: a state's value off by a point changes the winner.
TEST(TeamSearchReference, HardQueuesChooseTheExhaustiveSolution) {
    std::mt19937 rng(11);
    int found = 0;
    for (int round = 0; round < 3000; ++round) {
        HardQueue hard(rng, 4, 8, 3);
        const Tmb tmb{1 + uint32_t(rng() % 2), 1 + uint32_t(rng() % 3), 1 + uint32_t(rng() % 3), 0};
        Exhaustive ref{hard.q, tmb, hard.caps, hard.levelImb, hard.totalImb};
        ref.search(2, {});
        Solution s{};
        A::startClock(hard.q, -3600);  // an hour ahead: the budget never decides
        ASSERT_EQ(A::step1(hard.q, s, tmb), ref.found) << "round " << round;
        if (!ref.found) continue;
        ++found;
        ASSERT_EQ(s, ref.chosen) << "round " << round;
        ASSERT_EQ(A::bestSolutionPenalty(hard.q), ref.best) << "round " << round;
    }
    EXPECT_GT(found, 400);
}

// Queues of the size the simulation sees, too large to enumerate: the search against the branch
// and bound it replaced, both exact.
TEST(TeamSearchReference, LargeHardQueuesChooseWhatTheBranchAndBoundChose) {
    std::mt19937 rng(5);
    const Tmb layouts[] = {{3, 5, 7, 0}, {4, 5, 6, 0}, {2, 5, 8, 0}, {1, 3, 4, 0}};
    int found = 0;
    for (int round = 0; round < 400; ++round) {
        HardQueue hard(rng, 6, 30, 7);
        const Tmb& tmb = layouts[round % 4];
        branchandbound::BranchAndBound ref(hard.q);
        Solution expected{}, s{};
        const bool any = ref.step1(expected, tmb);
        A::startClock(hard.q, -3600);  // an hour ahead: the budget never decides
        ASSERT_EQ(A::step1(hard.q, s, tmb), any) << "round " << round;
        if (!any) continue;
        ++found;
        ASSERT_EQ(s, expected) << "round " << round;
        ASSERT_EQ(A::bestSolutionPenalty(hard.q), ref.bestSolutionPenalty) << "round " << round;
    }
    EXPECT_GT(found, 70);
}

TEST(TeamSearchReference, RandomQueuesChooseTheExhaustiveSolution) {
    std::mt19937 rng(7);
    const VehType kinds[] = {typeMedium, typeScout, typeSpg, typeAtspg, typeHeavy};
    auto pick = [&](int n) { return int(rng() % unsigned(n)); };
    int found = 0, filled = 0;
    for (int round = 0; round < 7500; ++round) {
        // The last rounds: wider level allowances, whole-battle limits that bind, more squads,
        // where the bounds of the search cut the most.
        const bool wide = round >= 6000;
        // Caps that often bind, allowances from none to loose, sizes around the small top level,
        // half the vehicles of one class so that its pairs outnumber the room for them.
        TeamState caps, levelImb, totalImb;
        for (int i = 0; i < 5; ++i) {
            caps[i] = pick(3) == 0 ? 1 + pick(3) : 15;
            levelImb[i] = pick(60) == 0 ? -1 : pick(wide ? 5 : 3);
            totalImb[i] = pick(60) == 0 ? -1 : pick(wide ? 2 : 4);
        }
        const Tmb tmb{uint32_t(pick(5)), uint32_t(pick(4)), uint32_t(pick(4)), 0};
        const VehType favoured = kinds[pick(5)];
        auto vehicle = [&] { return pick(2) ? favoured : kinds[pick(5)]; };
        Queue q(makeConfig({1}, {}, {}, {}, caps));
        SquadKey key = 1;
        for (int level = 0; level < 3; ++level) {
            for (int n = pick(13); n > 0; --n, ++key) q.enqueue(key, key, level, {vehicle()}, {});
            for (int n = pick(wide ? 6 : 4); n > 0; --n, ++key) {
                std::vector<VehType> members(2 + pick(2));
                for (VehType& m : members) m = vehicle();
                q.enqueue(key, key, level, members, {});
            }
        }
        A::levelImbalance(q) = levelImb;
        A::totalImbalance(q) = totalImb;
        Exhaustive ref{q, tmb, caps, levelImb, totalImb};
        ref.search(2, {});
        ASSERT_EQ(ref.mismatches, 0) << "round " << round;
        // An allowance of -1 admits nothing, which lets a formation call skip the search.
        auto negative = [](const TeamState& allowances) {
            return *std::min_element(allowances.begin(), allowances.end()) < 0;
        };
        if (negative(levelImb) || negative(totalImb)) {
            ASSERT_FALSE(ref.found) << "round " << round;
        }
        Solution s{};
        A::startClock(q, -3600);  // an hour ahead: a busy machine cannot make the budget decide
        ASSERT_EQ(A::step1(q, s, tmb), ref.found) << "round " << round;
        if (!ref.found) continue;
        ++found;
        ASSERT_EQ(s, ref.chosen) << "round " << round;
        ASSERT_EQ(A::bestSolutionPenalty(q), ref.best) << "round " << round;

        Solution expected = s;
        srand(round);
        const bool complete = referenceSecondPass(q, expected, tmb);
        A::random(q).seed(round);
        ASSERT_EQ(A::step2(q, s, tmb), complete) << "round " << round;
        ASSERT_EQ(s, expected) << "round " << round;
        filled += complete;
    }
    // Both outcomes of both passes must be exercised, not only the trivial ones.
    EXPECT_GT(found, 1200);
    EXPECT_GT(filled, 1000);
}

// A single scout and a single heavy at the bottom, one place a team: scout to B and heavy to A,
// then scout to A and heavy to B, both score 103. The later must win, however the search walks.
TEST(TeamSearchReference, LaterOfTiedCandidatesWins) {
    const TeamState caps{15, 15, 15, 15, 15}, allowances{0, 1, 0, 0, 1};
    Queue q(makeConfig({1}, {}, {}, {}, caps));
    q.enqueue(1, 1, 2, {typeScout}, {});
    q.enqueue(1, 2, 2, {typeHeavy}, {});
    A::levelImbalance(q) = A::totalImbalance(q) = allowances;
    A::startClock(q);
    Solution s{};
    ASSERT_TRUE(A::step1(q, s, Tmb{0, 0, 1, 0}));
    EXPECT_EQ(s[2].second, (SquadRoster{{0, 1, 0, 0, 0}, {0, 0, 0, 0, 1}}));
    EXPECT_EQ(A::bestSolutionPenalty(q), 103);
}
