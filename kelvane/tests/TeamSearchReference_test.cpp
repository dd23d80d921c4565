// The pruned first pass against a plain exhaustive one, and the second pass against a plain
// transcription, on many random queues small enough to enumerate in full. The references are
// written from the rules alone, sharing no code with the passes they check.
#include <gtest/gtest.h>

#include <random>

#include "CoreTestAccess.h"

namespace {

using A = CoreTestAccess;

struct ExhaustiveFirstPass {
    Queue& q;
    Tmb tmb;
    TeamState caps, levelImb, totalImb;
    int best = 10000000;
    Solution chosen{}, chain{};
    bool found = false;
    int mismatches = 0;  // filling or conditions that differ from the module's

    // Per class (maxA, maxB, lowest, highest difference) at a level.
    Conditions conditions(const SquadRoster& cur, int level, bool forSquads) const {
        const int size = int(tmb[level]);
        const bool top = level == 0 && size <= 3;
        Conditions c;
        for (int i = 0; i < 5; ++i) {
            int a = std::min(size, caps[i] - cur.first[i]),
                b = std::min(size, caps[i] - cur.second[i]);
            if (top && i == condSpg) a = std::min(a, 1), b = std::min(b, 1);
            const int imb = top          ? 0
                            : !forSquads ? levelImb[i]
                            : i == 0     ? levelImb[0]
                            : i == 2     ? 1
                                         : 3;
            c[i] = SquadCondition(a, b, -imb, imb);
        }
        return c;
    }

    // Every single-player roster completing `squads`, in the order the rules list them.
    void fill(int cls, const SquadRoster& squads, const Conditions& c, const TeamState& waiting,
              SquadRoster roster, int freeA, int freeB, std::vector<SquadRoster>& out) const {
        if (cls < 5) {
            for (int target = c[cls].minTeamImbalance; target <= c[cls].maxTeamImbalance;
                 ++target) {
                const int diff = squads.first[cls] - squads.second[cls];
                const int need = std::abs(diff - target);
                const int toA = diff < target ? need : 0, toB = diff < target ? 0 : need;
                if (need > waiting[cls] ||
                    toA > std::min(c[cls].maxTeamASize - squads.first[cls], freeA) ||
                    toB > std::min(c[cls].maxTeamBSize - squads.second[cls], freeB))
                    continue;
                roster.first[cls] = toA;
                roster.second[cls] = toB;
                fill(cls + 1, squads, c, waiting, roster, freeA - toA, freeB - toB, out);
            }
            return;
        }
        const int need = std::abs(freeA - freeB);
        if (need > waiting[0]) return;
        roster.first[0] = freeA > freeB ? need : 0;
        roster.second[0] = freeA > freeB ? 0 : need;
        const int open = std::min(freeA, freeB);
        int pairs = (waiting[0] - need) / 2;
        for (int i = 1; i < 5; ++i)
            pairs += std::min({(waiting[i] - roster.first[i] - roster.second[i]) / 2,
                               c[i].maxTeamASize - squads.first[i] - roster.first[i],
                               c[i].maxTeamBSize - squads.second[i] - roster.second[i]});
        if (open <= pairs) out.push_back(roster);
    }

    void search(int level, const SquadRoster& cur) {
        const int size = int(tmb[level]);
        for (const SquadRoster& squads : A::offer(q, level, conditions(cur, level, true))) {
            const TeamState waiting = A::squads(q).getPlayerCounts(level);
            const int freeA = size - squads.first[0], freeB = size - squads.second[0];
            int all = 0;
            for (int n : waiting) all += n;
            if (freeA + freeB > all) continue;
            const Conditions c = conditions(cur, level, false);
            std::vector<SquadRoster> rosters;
            fill(1, squads, c, waiting, {}, freeA, freeB, rosters);
            // The steps themselves, not only the winner, so that a fault in a candidate that
            // never wins shows too.
            MatchingResult mine{{squads, -1}};
            A::processPlayers(q, mine, 0, c, waiting, freeA, freeB);
            std::vector<SquadRoster> fillings;
            for (size_t i = 1; i < mine.size(); ++i) fillings.push_back(std::get<0>(mine[i]));
            const Conditions mineS = A::squadConditions(q, cur, size, level);
            const Conditions mineP = A::playerConditions(q, cur, size, level);
            const Conditions refS = conditions(cur, level, true);
            auto row = [](const SquadCondition& x) {
                return std::make_tuple(x.maxTeamASize, x.maxTeamBSize, x.minTeamImbalance,
                                       x.maxTeamImbalance);
            };
            bool same = fillings == rosters;
            for (int i = 0; i < 5; ++i)
                same =
                    same && row(mineS[i]) == row(refS[i]) && (i == 0 || row(mineP[i]) == row(c[i]));
            mismatches += !same;
            for (const SquadRoster& players : rosters) {
                chain[level] = {squads, players};
                SquadRoster total = cur + squads + players;
                total.first[0] -= players.first[0];
                total.second[0] -= players.second[0];
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
                    for (const auto& [s, p] : chain) {
                        const int dp = p.first[i] - p.second[i], ds = s.first[i] - s.second[i];
                        score += playersPenalty[i] * std::abs(dp) + squadPenalty[i] * std::abs(ds) +
                                 levelPenalty[i] * std::abs(dp + ds);
                    }
                }
                if (within && score <= best) best = score, chosen = chain, found = true;
            }
        }
    }
};

// The second pass transcribed: pairs of single players go, one draw at a time, to a
// (level, class) place whose larger team count is the smallest.
bool referenceSecondPass(Queue& q, Solution& s, const Tmb& tmb) {
    TeamState byType = A::maxVehicleCounts(q), countA{}, countB{};
    byType[0] = 30;
    int byLevel[3], cur[3][5], pairs[3][5];
    for (int l = 0; l < 3; ++l) {
        const TeamState waiting = A::squads(q).getPlayerCounts(l);
        byLevel[l] = int(tmb[l]);
        for (int i = 0; i < 5; ++i) {
            int a = s[l].first.first[i] + s[l].second.first[i],
                b = s[l].first.second[i] + s[l].second.second[i];
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

}  // namespace

TEST(TeamSearchReference, RandomQueuesChooseTheExhaustiveSolution) {
    std::mt19937 rng(7);
    const VehType kinds[] = {typeMedium, typeScout, typeSpg, typeAtspg, typeHeavy};
    auto pick = [&](int n) { return int(rng() % unsigned(n)); };
    int found = 0, filled = 0;
    for (int round = 0; round < 6000; ++round) {
        // Caps that often bind, allowances from none to loose, sizes around the small top level.
        TeamState caps, levelImb, totalImb;
        for (int i = 0; i < 5; ++i) {
            caps[i] = pick(3) == 0 ? 1 + pick(3) : 15;
            levelImb[i] = pick(60) == 0 ? -1 : pick(3);
            totalImb[i] = pick(60) == 0 ? -1 : pick(4);
        }
        const Tmb tmb{uint32_t(pick(5)), uint32_t(pick(4)), uint32_t(pick(4)), 0};
        Queue q(makeConfig({1}, {}, {}, {}, caps));
        // Half the vehicles of one class, so that pairs of a class outnumber the room for them.
        const VehType favoured = kinds[pick(5)];
        auto vehicle = [&] { return pick(2) ? favoured : kinds[pick(5)]; };
        SquadKey key = 1;
        for (int level = 0; level < 3; ++level) {
            for (int n = pick(13); n > 0; --n) q.enqueue(key, key, level, {vehicle()}, {}), ++key;
            for (int n = pick(4); n > 0; --n) {
                std::vector<VehType> members(2 + pick(2));
                for (VehType& m : members) m = vehicle();
                q.enqueue(key, key, level, members, {}), ++key;
            }
        }
        A::levelImbalance(q) = levelImb;
        A::totalImbalance(q) = totalImb;
        ExhaustiveFirstPass ref{q, tmb, caps, levelImb, totalImb};
        ref.search(2, {});
        Solution s{};
        A::startClock(q);
        ASSERT_EQ(ref.mismatches, 0) << "round " << round;
        ASSERT_EQ(A::step1(q, s, tmb), ref.found) << "round " << round;
        if (!ref.found) continue;
        ++found;
        ASSERT_EQ(s, ref.chosen) << "round " << round;
        ASSERT_EQ(A::bestSolutionPenalty(q), ref.best) << "round " << round;

        Solution expected = s;
        srand(round);
        const bool complete = referenceSecondPass(q, expected, tmb);
        srand(round);
        ASSERT_EQ(A::step2(q, s, tmb), complete) << "round " << round;
        ASSERT_EQ(s, expected) << "round " << round;
        filled += complete;
    }
    // The random queues must exercise both outcomes, not only the trivial one.

    EXPECT_GT(found, 1200);
    EXPECT_GT(filled, 1000);
}

// A single scout and a single heavy at the bottom, one place a team: scout to B and heavy to A,
// then scout to A and heavy to B, both score 103. The later one must win, however the search
// walks them.
TEST(TeamSearchReference, LaterOfTiedCandidatesWins) {
    const TeamState caps{15, 15, 15, 15, 15}, allowances{0, 1, 0, 0, 1};
    Queue q(makeConfig({1}, {}, {}, {}, caps));
    q.enqueue(1, 1, 2, {typeScout}, {});
    q.enqueue(1, 2, 2, {typeHeavy}, {});
    A::levelImbalance(q) = allowances;
    A::totalImbalance(q) = allowances;
    const Tmb tmb{0, 0, 1, 0};
    ExhaustiveFirstPass ref{q, tmb, caps, allowances, allowances};
    ref.search(2, {});
    Solution s{};
    A::startClock(q);
    ASSERT_TRUE(A::step1(q, s, tmb));
    EXPECT_EQ(s[2].second, (SquadRoster{{0, 1, 0, 0, 0}, {0, 0, 0, 0, 1}}));
    EXPECT_EQ(s, ref.chosen);
    EXPECT_EQ(A::bestSolutionPenalty(q), 103);
}
