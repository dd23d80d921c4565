// The first pass as it stood before it became a dynamic programme: a depth-first branch and
// bound over the levels, with lower bounds and a table of known bounds per running totals, here
// without the time budget. A second reference for the tests, for queues too large to enumerate:
// it shares the conditions and the filling's rules with the module, and nothing of its search.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "CoreTestAccess.h"

namespace branchandbound {

using ClassRange = std::array<int64_t, CONDITION_COUNT>;
using MemoKey = std::array<int32_t, 3 * CONDITION_COUNT>;

namespace {
// A small top level (at most three places per team) must be balanced exactly.
bool isTop(int size, int level) {
    return level == 0 && size <= 3;
}

// Above any score the search can keep.
constexpr int64_t kUnreachable = INT64_MAX / 4;

// What moving a class difference by one unit costs a level at the least. For squad players it is
// their squad term. For a class, the level's difference d is the sum of its single-player and
// squad differences, so the level pays levelPenalty·|d| and at least the smaller of the other two
// weights times |d|.
constexpr TeamState unitCost() {
    TeamState cost{};
    cost[condSquad] = squadPenalty[condSquad];
    for (int i = condScout; i < condTotal; ++i)
        cost[i] = levelPenalty[i] + std::min(playersPenalty[i], squadPenalty[i]);
    return cost;
}
constexpr TeamState kUnitCost = unitCost();

// restBound moves a difference with the cheaper tier first: sound only while each tier is
// cheaper than the whole-battle weight and the level weight alone the cheapest.
constexpr bool tiersOrdered() {
    for (int i = condSquad; i < condTotal; ++i)
        if (levelPenalty[i] > kUnitCost[i] || kUnitCost[i] > totalPenalty[i]) return false;
    return true;
}
static_assert(tiersOrdered(), "the whole-battle bound assumes cheaper level weights");

// The least that the whole-battle term, plus what the open levels pay for moving the class
// differences of `total`, can come to: each difference moves towards zero by up to near[i] units
// at nearCost[i] each, then up to far[i] units at farCost[i] each. kUnreachable when some class
// cannot come within its limit. REQUIRES: nearCost <= farCost <= totalPenalty class by class.
int64_t restBound(const SquadRoster& total, const TeamState& near, const TeamState& nearCost,
                  const TeamState& far, const TeamState& farCost, const TeamState& limit) {
    int64_t bound = 0;
    for (int i = condSquad; i < condTotal; ++i) {
        int64_t left = std::abs(int64_t{total.first[i]} - total.second[i]);
        const int64_t byNear = std::min<int64_t>(left, near[i]);
        left -= byNear;
        const int64_t byFar = std::min<int64_t>(left, far[i]);
        left -= byFar;
        if (left > limit[i]) return kUnreachable;
        bound += byNear * nearCost[i] + byFar * farCost[i] + left * totalPenalty[i];
    }
    return bound;
}

// The least that the levels above a level and the whole-battle term add for class i when the
// class difference stands at x below them and the levels above can move it by some s within
// lo .. hi (the sum of their ranges): each unit a level moves costs it at least kUnitCost, and
// that is no more than the whole-battle weight, so the cheapest s brings x as near zero as the
// range allows. kUnreachable when even that leaves x + s beyond the whole-battle limit.
int64_t aboveCost(int i, int64_t x, int64_t lo, int64_t hi, int64_t limit) {
    const int64_t s = std::clamp(-x, lo, hi);
    const int64_t left = std::abs(x + s);
    if (left > limit) return kUnreachable;
    return kUnitCost[i] * std::abs(s) + totalPenalty[i] * left;
}

// The same for every class of a level's running totals.
int64_t aboveBound(const SquadRoster& total, const ClassRange& lo, const ClassRange& hi,
                   const TeamState& limit) {
    int64_t bound = 0;
    for (int i = condSquad; i < condTotal; ++i) {
        const int64_t part =
            aboveCost(i, int64_t{total.first[i]} - total.second[i], lo[i], hi[i], limit[i]);
        if (part >= kUnreachable) return kUnreachable;
        bound += part;
    }
    return bound;
}

// The least that one class can cost from a level on, given the difference `below` of the levels
// under it, the difference `squads` of the level's squads and the range lo .. hi that the single
// players can bring the level's difference to: the level pays its player and level terms for the
// difference d it ends at, then the levels above and the whole-battle term at least
// aboveCost(below + d). Each part is convex in d, so the least of their sum lies at an end of the
// range or at a point where one of them bends. kUnreachable when no d in the range is within the
// limit.
int64_t classBound(int i, int64_t below, int64_t squads, int64_t lo, int64_t hi, int64_t aboveLo,
                   int64_t aboveHi, int64_t limit) {
    if (limit < 0) return kUnreachable;
    lo = std::max(lo, -below - aboveHi - limit);
    hi = std::min(hi, -below - aboveLo + limit);
    if (lo > hi) return kUnreachable;
    if (lo == hi)
        return playersPenalty[i] * std::abs(lo - squads) + levelPenalty[i] * std::abs(lo) +
               aboveCost(i, below + lo, aboveLo, aboveHi, limit);
    const int64_t points[] = {lo, hi, squads, 0, -below, -below - aboveLo, -below - aboveHi};
    int64_t least = kUnreachable;
    for (int64_t d : points) {
        d = std::clamp(d, lo, hi);
        least = std::min(least, playersPenalty[i] * std::abs(d - squads) +
                                    levelPenalty[i] * std::abs(d) +
                                    aboveCost(i, below + d, aboveLo, aboveHi, limit));
    }
    return least;
}

// Where the single players can take class i of a level from the squads' own difference: within
// the level's range, no further than the players waiting and the room on the receiving side
// allow (the room the filling counts, before any other class has taken places from it). False
// when the filling finds no target for the class, and so no roster at all.
bool fillRange(const SquadCondition& cond, const SquadRoster& squadRoster, int i, int players,
               int teamALeft, int teamBLeft, int64_t& lo, int64_t& hi) {
    const int64_t roomA = std::min(cond.maxTeamASize - squadRoster.first[i], teamALeft);
    const int64_t roomB = std::min(cond.maxTeamBSize - squadRoster.second[i], teamBLeft);
    if (roomA < 0 || roomB < 0) return false;
    const int64_t squads = int64_t{squadRoster.first[i]} - squadRoster.second[i];
    lo = std::max<int64_t>(cond.minTeamImbalance, squads - std::min<int64_t>(players, roomB));
    hi = std::min<int64_t>(cond.maxTeamImbalance, squads + std::min<int64_t>(players, roomA));
    return lo <= hi;
}

uint64_t hashKey(const MemoKey& key) {
    uint64_t h = 0x9e3779b97f4a7c15ULL;
    for (int32_t value : key) h = (h ^ static_cast<uint32_t>(value)) * 0xff51afd7ed558ccdULL;
    return h ^ (h >> 29);
}

bool sameConditions(const Conditions& a, const Conditions& b) {
    for (int i = condSquad; i < condTotal; ++i) {
        if (a[i].maxTeamASize != b[i].maxTeamASize || a[i].maxTeamBSize != b[i].maxTeamBSize ||
            a[i].minTeamImbalance != b[i].minTeamImbalance ||
            a[i].maxTeamImbalance != b[i].maxTeamImbalance)
            return false;
    }
    return true;
}

// The squad term of one level.
int64_t squadTerm(const SquadRoster& squads) {
    int64_t penalty = 0;
    for (int i = condSquad; i < condTotal; ++i)
        penalty += int64_t{squadPenalty[i]} * std::abs(int64_t{squads.first[i]} - squads.second[i]);
    return penalty;
}

// The score of one level: its player, squad and level terms.
int64_t levelTerms(const SquadRoster& squads, const SquadRoster& players) {
    int64_t penalty = 0;
    for (int i = condSquad; i < condTotal; ++i) {
        const int64_t dp = int64_t{players.first[i]} - players.second[i];
        const int64_t ds = int64_t{squads.first[i]} - squads.second[i];
        penalty += playersPenalty[i] * std::abs(dp) + squadPenalty[i] * std::abs(ds) +
                   levelPenalty[i] * std::abs(dp + ds);
    }
    return penalty;
}

}  // namespace

class BranchAndBound {
  public:
    explicit BranchAndBound(Queue& q)
        : queue(q),
          _maxVehicleCounts(CoreTestAccess::maxVehicleCounts(q)),
          _curMaxTotalImbalance(CoreTestAccess::totalImbalance(q)),
          _curMaxLevelImbalance(CoreTestAccess::levelImbalance(q)) {}
    bool step1(Solution& solution, const Tmb& tmb) { return _step1(solution, tmb); }
    int bestSolutionPenalty = 10000000;

  private:
    Queue& queue;
    const TeamState _maxVehicleCounts, _curMaxTotalImbalance, _curMaxLevelImbalance;
    Conditions _getSquadConditions(const SquadRoster& current, int size, int level) const {
        return TeamSearch::squadConditions(_maxVehicleCounts, _curMaxLevelImbalance, current, size,
                                           level);
    }
    Conditions _getPlayerConditions(const SquadRoster& current, int size, int level) const {
        return TeamSearch::playerConditions(_maxVehicleCounts, _curMaxLevelImbalance, current, size,
                                            level);
    }
    bool _step1(Solution& solution, const Tmb& tmb);
    void _processLevel(int level, const SquadRoster& current, int64_t penalty, const Tmb& tmb);
    bool _probeFillable(int level, size_t squad, int size);
    // What the first pass knows of the candidates through one squad composition, per class i:
    // the score of a roster that ends the class difference of the level at d is at least the
    // fixed part plus the sum of cost(i, d) over the classes; least[i] is the least cost(i, d)
    // of any d the filling can reach.
    struct FillBound {
        int64_t cost(int i, int64_t d) const;
        int64_t fixed = 0;
        std::array<int64_t, condTotal> least{}, below{}, squads{}, aboveLo{}, aboveHi{}, limit{};
        // Filling: rosters whose bound reaches budget are not kept; rest[i] is the sum of least
        // over the classes after i, spent[i] the sum of cost over the classes before i.
        int64_t budget = 0;
        std::array<int64_t, condTotal> rest{};
        std::array<int64_t, condTotal + 1> spent{};
    };
    // A lower bound on the score of every candidate through the given composition of `level`,
    // less the terms fixed already (the levels below and the composition's squad term); at
    // least budget once it reaches it. Leaves in fill what the filling needs to bound rosters.
    int64_t _compositionBound(const SquadRoster& squadTotal, const SquadRoster& squadRoster,
                              const Conditions& conditions, int level, int teamALeft, int teamBLeft,
                              int64_t budget, FillBound& fill) const;
    void _processPlayers(int type, MatchingResult& result, int index, const Conditions& conditions,
                         const TeamState& players, SquadRoster current, int freeA, int freeB,
                         FillBound* bound = nullptr);
    // Per running totals on entering a level (as a MemoKey): a lower bound on what that level,
    // the levels above it and the whole-battle term add to the score. Open addressing over a buffer
    // kept from call to call; clear() forgets every entry at once.
    class CostMemo {
      public:
        void clear();
        // 0 when nothing is known.
        int64_t find(const MemoKey& key) const;
        // Keeps the larger of the known bound and cost.
        void raise(const MemoKey& key, int64_t cost);

      private:
        struct Entry {
            MemoKey key{};
            int64_t cost = 0;
            uint32_t stamp = 0;  // current only when equal to _stamp
        };
        static constexpr size_t kMaxEntries = size_t{1} << 16;
        std::vector<Entry> _entries;  // empty or a power of two
        size_t _used = 0;
        uint32_t _stamp = 1;
    };

    // Scratch state of the first pass. Kept from call to call so that the search allocates only
    // while its buffers grow; every entry is rewritten before it is read in a call.
    struct FirstPass {
        // Per level: the squad compositions offered with nothing fixed yet that leave no more
        // places than there are single players waiting; whether single players can complete
        // each of them with nothing fixed yet (-1 until known); the player conditions then.
        std::array<MatchingResult, LEVEL_COUNT> squads;
        std::array<std::vector<signed char>, LEVEL_COUNT> fillable;
        std::array<Conditions, LEVEL_COUNT> openConditions;
        // Per level: the composition being completed, then its single-player rosters.
        std::array<MatchingResult, LEVEL_COUNT> players;
        std::array<FillBound, LEVEL_COUNT> fill;
        std::array<TeamState, LEVEL_COUNT> playerCounts{};
        // Per level: how far the class differences can still move at that level, and at the
        // levels above it.
        std::array<TeamState, LEVEL_COUNT> reach{};
        std::array<TeamState, LEVEL_COUNT> reachAbove{};
        // Per level: the sum over the levels above it of the least and the most each class
        // difference can end at there.
        std::array<ClassRange, LEVEL_COUNT> aboveLo{};
        std::array<ClassRange, LEVEL_COUNT> aboveHi{};
        Solution path{};  // the chain being tried
        Solution best{};
        int64_t bestPenalty = 0;
        // Per level: the costs known from running totals on entering it.
        std::array<CostMemo, LEVEL_COUNT> memo;
        // Per level: its places per team and those of the levels above it.
        std::array<int64_t, LEVEL_COUNT> placesLeft{};
        bool stopped = false;  // the budget ran out
    } _firstPass;
};

inline void BranchAndBound::CostMemo::clear() {
    ++_stamp;
    _used = 0;
    if (_stamp == 0) {  // wrapped: no stale entry may pass for a current one
        for (Entry& entry : _entries) entry.stamp = 0;
        _stamp = 1;
    }
}

inline int64_t BranchAndBound::CostMemo::find(const MemoKey& key) const {
    if (_entries.empty()) return 0;
    const size_t mask = _entries.size() - 1;
    for (size_t slot = hashKey(key) & mask;; slot = (slot + 1) & mask) {
        const Entry& entry = _entries[slot];
        if (entry.stamp != _stamp) return 0;
        if (entry.key == key) return entry.cost;
    }
}

inline void BranchAndBound::CostMemo::raise(const MemoKey& key, int64_t cost) {
    if (2 * (_used + 1) > _entries.size()) {
        // Full: bounds not kept are only bounds not used.
        if (_entries.size() >= kMaxEntries) return;
        std::vector<Entry> old;
        old.swap(_entries);
        _entries.assign(std::max<size_t>(1024, 2 * old.size()), Entry{});
        _used = 0;
        for (const Entry& entry : old)
            if (entry.stamp == _stamp) raise(entry.key, entry.cost);
    }
    const size_t mask = _entries.size() - 1;
    for (size_t slot = hashKey(key) & mask;; slot = (slot + 1) & mask) {
        Entry& entry = _entries[slot];
        if (entry.stamp != _stamp) {
            entry = Entry{key, cost, _stamp};
            ++_used;
            return;
        }
        if (entry.key == key) {
            entry.cost = std::max(entry.cost, cost);
            return;
        }
    }
}

inline int64_t BranchAndBound::FillBound::cost(int i, int64_t d) const {
    return playersPenalty[i] * std::abs(d - squads[i]) + levelPenalty[i] * std::abs(d) +
           aboveCost(i, below[i] + d, aboveLo[i], aboveHi[i], limit[i]);
}

inline void BranchAndBound::_processPlayers(int type, MatchingResult& result, int index,
                                            const Conditions& conditions, const TeamState& players,
                                            SquadRoster current, int freeA, int freeB,
                                            FillBound* bound) {
    if (type == condSquad) {
        _processPlayers(condScout, result, index, conditions, players, current, freeA, freeB,
                        bound);
        return;
    }
    const SquadRoster teams = std::get<0>(result[index]);  // a copy: result grows below
    const TeamState& teamA = teams.first;
    const TeamState& teamB = teams.second;

    if (type < condTotal) {
        const SquadCondition& cond = conditions[type];
        const int maxTeamA = std::min(cond.maxTeamASize - teamA[type], freeA);
        const int maxTeamB = std::min(cond.maxTeamBSize - teamB[type], freeB);
        if (maxTeamA < 0 || maxTeamB < 0) return;  // _checkPlayers would refuse every target
        // Only targets within reach of the available players and the room can succeed: walking
        // just those keeps the work bounded by the players, not by the configured allowance.
        const int64_t squadDiff = int64_t{teamA[type]} - teamB[type];
        const int64_t from =
            std::max<int64_t>(cond.minTeamImbalance, squadDiff - std::min(players[type], maxTeamB));
        const int64_t to =
            std::min<int64_t>(cond.maxTeamImbalance, squadDiff + std::min(players[type], maxTeamA));
        for (int64_t target = from; target <= to; ++target) {
            const int imb = static_cast<int>(target);
            int vehA = 0, vehB = 0;
            if (TeamSearch::checkPlayers(vehA, vehB, imb, teamA[type], teamB[type], players[type],
                                         maxTeamA, maxTeamB)) {
                if (bound != nullptr) {
                    const int64_t spent = bound->spent[type] + bound->cost(type, imb);
                    if (spent + bound->rest[type] >= bound->budget) continue;
                    bound->spent[type + 1] = spent;
                }
                current.first[type] = vehA;
                current.second[type] = vehB;
                _processPlayers(type + 1, result, index, conditions, players, current, freeA - vehA,
                                freeB - vehB, bound);
            }
        }
        return;
    }

    // All four classes placed: even out the free places with players of no special class.
    const int needPlayers = std::abs(freeA - freeB);
    if (needPlayers > players[condSquad]) return;
    if (freeA > freeB) {
        current.first[condSquad] = needPlayers;
        current.second[condSquad] = 0;
        freeA -= needPlayers;
    } else {
        current.first[condSquad] = 0;
        current.second[condSquad] = needPlayers;
        freeB -= needPlayers;
    }
    // The places still free are filled in pairs by the second pass: enough pairs must exist.
    int totalFree = (players[condSquad] - current.first[condSquad] - current.second[condSquad]) / 2;
    for (int i = condScout; i < condTotal; ++i) {
        const int pairs = (players[i] - current.first[i] - current.second[i]) / 2;
        const int roomA = conditions[i].maxTeamASize - teamA[i] - current.first[i];
        const int roomB = conditions[i].maxTeamBSize - teamB[i] - current.second[i];
        totalFree += std::min({pairs, roomA, roomB});
    }
    if (freeA > totalFree) return;
    result.emplace_back(current, index);
}

inline bool BranchAndBound::_probeFillable(int level, size_t squad, int size) {
    FirstPass& search = _firstPass;
    const SquadRoster& squadRoster = std::get<0>(search.squads[level][squad]);
    MatchingResult& rosters = search.players[level];
    rosters.clear();
    rosters.emplace_back(squadRoster, -1);
    _processPlayers(condSquad, rosters, 0, search.openConditions[level], search.playerCounts[level],
                    SquadRoster{}, size - squadRoster.first[condSquad],
                    size - squadRoster.second[condSquad]);
    search.fillable[level][squad] = rosters.size() > 1;
    return rosters.size() > 1;
}

// Squad players are fixed with the composition; each class difference of the level can end only
// within its fillRange.
inline int64_t BranchAndBound::_compositionBound(const SquadRoster& squadTotal,
                                                 const SquadRoster& squadRoster,
                                                 const Conditions& conditions, int level,
                                                 int teamALeft, int teamBLeft, int64_t budget,
                                                 FillBound& fill) const {
    const FirstPass& search = _firstPass;
    const ClassRange& aboveLo = search.aboveLo[level];
    const ClassRange& aboveHi = search.aboveHi[level];
    const TeamState& players = search.playerCounts[level];
    int64_t bound =
        aboveCost(condSquad, int64_t{squadTotal.first[condSquad]} - squadTotal.second[condSquad],
                  aboveLo[condSquad], aboveHi[condSquad], _curMaxTotalImbalance[condSquad]);
    if (bound >= budget) return kUnreachable;
    fill.fixed = bound;
    for (int i = condScout; i < condTotal; ++i) {
        int64_t lo = 0, hi = 0;
        if (!fillRange(conditions[i], squadRoster, i, players[i], teamALeft, teamBLeft, lo, hi))
            return kUnreachable;
        const int64_t part = classBound(i, int64_t{squadTotal.first[i]} - squadTotal.second[i],
                                        int64_t{squadRoster.first[i]} - squadRoster.second[i], lo,
                                        hi, aboveLo[i], aboveHi[i], _curMaxTotalImbalance[i]);
        bound += part;
        // Parts never fall below zero: once over the budget, the rest cannot bring it back.
        if (bound >= budget) return kUnreachable;
        fill.least[i] = part;
        fill.below[i] = int64_t{squadTotal.first[i]} - squadTotal.second[i];
        fill.squads[i] = int64_t{squadRoster.first[i]} - squadRoster.second[i];
        fill.aboveLo[i] = aboveLo[i];
        fill.aboveHi[i] = aboveHi[i];
        fill.limit[i] = _curMaxTotalImbalance[i];
    }
    return bound;
}

inline void BranchAndBound::_processLevel(int level, const SquadRoster& current, int64_t penalty,
                                          const Tmb& tmb) {
    FirstPass& search = _firstPass;
    const int size = static_cast<int>(std::min<uint32_t>(tmb[level], INT32_MAX));

    // The offer depends on the running totals only through the caps on the whole team: the
    // compositions offered with nothing fixed yet, less those over the caps left, are exactly
    // those offered now, in the same order.
    const MatchingResult& squads = search.squads[level];
    TeamState roomA, roomB;
    for (int i = condSquad; i < condTotal; ++i) {
        roomA[i] = _maxVehicleCounts[i] - current.first[i];
        roomB[i] = _maxVehicleCounts[i] - current.second[i];
    }
    const Conditions playerConditions = _getPlayerConditions(current, size, level);
    const bool capsOpen = sameConditions(playerConditions, search.openConditions[level]);
    const TeamState& players = search.playerCounts[level];
    TeamState classReach = search.reach[level];
    classReach[condSquad] = 0;

    // Neither buffer of this level is touched by the levels above, so entries stay in place.
    MatchingResult& rosters = search.players[level];
    FillBound& fill = search.fill[level];
    for (size_t squad = squads.size(); squad-- > 0;) {
        const SquadRoster& squadRoster = std::get<0>(squads[squad]);
        bool fits = true;
        for (int i = condSquad; i < condTotal && fits; ++i)
            fits = squadRoster.first[i] <= roomA[i] && squadRoster.second[i] <= roomB[i];
        if (!fits) continue;
        const int teamALeft = size - squadRoster.first[condSquad];
        const int teamBLeft = size - squadRoster.second[condSquad];

        SquadRoster squadTotal = current;
        squadTotal.first[condSquad] += squadRoster.first[condSquad];
        squadTotal.second[condSquad] += squadRoster.second[condSquad];
        const int64_t withSquads = penalty + squadTerm(squadRoster);
        // The single players of this level can still move each class difference by its reach
        // here, the levels above by theirs: a quick bound first, then the finer one.
        if (withSquads + restBound(squadTotal, classReach, levelPenalty, search.reachAbove[level],
                                   kUnitCost, _curMaxTotalImbalance) >=
            search.bestPenalty)
            continue;
        if (withSquads + _compositionBound(squadTotal, squadRoster, playerConditions, level,
                                           teamALeft, teamBLeft, search.bestPenalty - withSquads,
                                           fill) >=
            search.bestPenalty)
            continue;

        // Where the caps have not narrowed yet, the rosters are those the probe found.
        signed char& fillable = search.fillable[level][squad];
        bool ready = false;
        if (fillable < 0) {
            if (!_probeFillable(level, squad, size)) continue;
            ready = capsOpen;
        } else if (fillable == 0) {
            continue;
        }
        if (!ready) {
            rosters.clear();
            rosters.emplace_back(squadRoster, -1);
            // Only rosters that can still beat the best: the loop below would drop the others.
            fill.budget = search.bestPenalty - withSquads - fill.fixed;
            fill.rest[condTotal - 1] = 0;
            for (int i = condTotal - 1; i > condScout; --i)
                fill.rest[i - 1] = fill.rest[i] + fill.least[i];
            fill.spent[condScout] = 0;
            _processPlayers(condSquad, rosters, 0, playerConditions, players, SquadRoster{},
                            teamALeft, teamBLeft, &fill);
        }

        for (size_t player = rosters.size(); player-- > 1;) {
            const SquadRoster& playerRoster = std::get<0>(rosters[player]);
            // Squad players at condSquad; every vehicle of a class at the other slots.
            SquadRoster total = squadTotal;
            for (int i = condScout; i < condTotal; ++i) {
                total.first[i] += squadRoster.first[i] + playerRoster.first[i];
                total.second[i] += squadRoster.second[i] + playerRoster.second[i];
            }
            const int64_t withLevel = penalty + levelTerms(squadRoster, playerRoster);
            // At the top level nothing is left to move: the bound is the whole-battle term.
            const int64_t bound =
                withLevel + aboveBound(total, search.aboveLo[level], search.aboveHi[level],
                                       _curMaxTotalImbalance);
            if (bound >= search.bestPenalty) continue;
            if (level != 0) {
                // What the levels above cost from these totals on does not depend on how they
                // were reached: a search from them that ended with the best at B found nothing
                // cheaper than B less what led there, wherever it was entered from.
                // Of the totals only the class differences and the room left under the caps
                // matter, and the room only up to the places of the levels left: more than that
                // can never bind.
                MemoKey key;
                const int64_t places = search.placesLeft[level - 1];
                for (int i = condSquad; i < condTotal; ++i) {
                    key[3 * i] = total.first[i] - total.second[i];
                    key[3 * i + 1] = static_cast<int32_t>(
                        std::min<int64_t>(int64_t{_maxVehicleCounts[i]} - total.first[i], places));
                    key[3 * i + 2] = static_cast<int32_t>(
                        std::min<int64_t>(int64_t{_maxVehicleCounts[i]} - total.second[i], places));
                }
                const int64_t known = search.memo[level - 1].find(key);
                if (withLevel + known >= search.bestPenalty) continue;
                search.path[level] = {squadRoster, playerRoster};
                _processLevel(level - 1, total, withLevel, tmb);
                if (!search.stopped)
                    search.memo[level - 1].raise(key, search.bestPenalty - withLevel);
            } else {
                search.path[level] = {squadRoster, playerRoster};
                search.bestPenalty = bound;
                search.best = search.path;
            }
        }
    }
}

inline bool BranchAndBound::_step1(Solution& solution, const Tmb& tmb) {
    // A score of exactly this is still kept; the search keeps only strictly lower ones.
    bestSolutionPenalty = 10000000;
    FirstPass& search = _firstPass;
    search.bestPenalty = int64_t{bestSolutionPenalty} + 1;
    search.stopped = false;
    // The costs known depend on the layout.
    for (CostMemo& memo : search.memo) memo.clear();
    TeamState reachAbove{};
    ClassRange aboveLo{}, aboveHi{};
    int64_t placesLeft = 0;
    bool complete = true;  // every level has a composition to offer
    for (int level = 0; level < LEVEL_COUNT; ++level) {
        search.playerCounts[level] = CoreTestAccess::squads(queue).getPlayerCounts(level);
        const int size = static_cast<int>(std::min<uint32_t>(tmb[level], INT32_MAX));
        // How far the level's conditions let each class difference stand from zero: squad
        // players by the squad allowance, classes by the player allowance, both within the
        // places; nothing at a small top level.
        TeamState& reach = search.reach[level];
        for (int i = condSquad; i < condTotal; ++i) {
            const int cap = i == condSquad ? std::min(size, MAX_SQUAD_PLAYER_PER_LEVEL) : size;
            reach[i] =
                isTop(size, level) ? 0 : std::max(0, std::min(_curMaxLevelImbalance[i], cap));
        }
        search.reachAbove[level] = reachAbove;
        search.aboveLo[level] = aboveLo;
        search.aboveHi[level] = aboveHi;
        placesLeft += size;
        search.placesLeft[level] = placesLeft;
        // Only compositions that leave no more places than there are single players waiting.
        MatchingResult& squads = search.squads[level];
        squads.clear();
        CoreTestAccess::get(queue, level, squads, _getSquadConditions(SquadRoster{}, size, level));
        int64_t totalPlayers = 0;
        for (int count : search.playerCounts[level]) totalPlayers += count;
        squads.erase(std::remove_if(squads.begin(), squads.end(),
                                    [&](const std::tuple<SquadRoster, int>& entry) {
                                        const SquadRoster& roster = std::get<0>(entry);
                                        return int64_t{size} - roster.first[condSquad] + size -
                                                   roster.second[condSquad] >
                                               totalPlayers;
                                    }),
                     squads.end());
        search.fillable[level].assign(squads.size(), -1);
        search.openConditions[level] = _getPlayerConditions(SquadRoster{}, size, level);
        // A level where no composition can be completed ends the search before it starts; the
        // probe goes in the search's order, so usually the first composition settles it.
        bool any = false;
        for (size_t squad = squads.size(); squad-- > 0 && !any;)
            any = _probeFillable(level, squad, size);
        if (!any) complete = false;
        // Where each class difference of the level can end, over every composition: squad
        // players where the composition puts them, classes within their fillRange. Caps only
        // narrow as levels are fixed, so the ranges found with nothing fixed hold throughout.
        const Conditions& open = search.openConditions[level];
        TeamState lo, hi;
        lo.fill(INT32_MAX);
        hi.fill(INT32_MIN);
        for (const auto& entry : squads) {
            const SquadRoster& roster = std::get<0>(entry);
            TeamState rosterLo, rosterHi;
            bool fillable = true;
            for (int i = condScout; i < condTotal && fillable; ++i) {
                int64_t from = 0, to = 0;
                fillable = fillRange(open[i], roster, i, search.playerCounts[level][i],
                                     size - roster.first[condSquad],
                                     size - roster.second[condSquad], from, to);
                // No team holds more than its places at the level.
                rosterLo[i] = static_cast<int32_t>(std::max<int64_t>(from, -size));
                rosterHi[i] = static_cast<int32_t>(std::min<int64_t>(to, size));
            }
            if (!fillable) continue;
            rosterLo[condSquad] = rosterHi[condSquad] =
                roster.first[condSquad] - roster.second[condSquad];
            for (int i = condSquad; i < condTotal; ++i) {
                lo[i] = std::min(lo[i], rosterLo[i]);
                hi[i] = std::max(hi[i], rosterHi[i]);
            }
        }
        if (lo[condSquad] > hi[condSquad]) {
            complete = false;
            lo.fill(0);
            hi.fill(0);
        }
        for (int i = condSquad; i < condTotal; ++i)
            reach[i] = std::min(reach[i], std::max(std::abs(lo[i]), std::abs(hi[i])));
        for (int i = condSquad; i < condTotal; ++i) {
            aboveLo[i] += lo[i];
            aboveHi[i] += hi[i];
        }
        reachAbove += reach;
    }
    if (complete) _processLevel(LEVEL_COUNT - 1, SquadRoster{}, 0, tmb);
    if (search.bestPenalty > bestSolutionPenalty) return false;
    bestSolutionPenalty = static_cast<int>(search.bestPenalty);
    solution = search.best;
    return true;
}

}  // namespace branchandbound
