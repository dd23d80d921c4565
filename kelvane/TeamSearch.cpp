// The first pass as a dynamic programme over the running totals, with lower bounds deciding what
// needs solving.
//
// A state is what the levels left depend on: the class differences of the running totals and
// the room under the caps, that room clipped to the places left. Its value is the exact least
// that the levels from it on and the whole-battle term add; it is computed the first time the
// state is met and kept with the choice that attains it, so no state is solved twice in a layout.
// The winner is rebuilt from the bottom state by those choices: at each level the last candidate
// in the natural order that attains the state's value, which is the tie rule of the whole search
// (the order is lexicographic: bottom level first).
//
// Candidates of one level differ in what they add themselves and in the state they lead to. A
// level is searched from a state with these cuts, each only against the best of that same state,
// so that the value found is exact:
// - compositions in order of the least score any candidate through them can have; once that
//   least passes the best, no later one can win;
// - per composition, a bound from where its single players can take each class: the class's
//   own terms there plus what the levels above must add at the least (AboveBound), and the
//   filling keeps only rosters under the best;
// - per roster, its own terms plus that bound for the state it leads to, before that state is
//   solved. A tie with the best still counts when the candidate comes later.
// Two bounds say what the levels above must add at the least. Per class (AboveBound): the least
// over every sequence of moves the levels above can make of what those moves and the
// whole-battle term cost, each level's moves tabulated with nothing fixed (which only widens
// them). And, for a roster, with the top level taken whole: the least over the top's own
// candidates of their score plus the per-class bound of the rest. Queues are hard where the top
// is thin, and there a per-class bound misses what the few top players force together (an SPG
// that must go to one side, say); the top's candidates are few exactly then.
//
// Caps only narrow as levels are fixed, and narrower caps admit no roster that wider ones refuse:
// so a composition that single players cannot complete with nothing fixed never takes part, a
// level where none can be completed ends the search before it starts, and the reach tabulated
// with nothing fixed holds throughout. Nothing is allocated per candidate: buffers and the tables
// of solved states are kept from call to call.
#include "TeamSearch.h"

#include <algorithm>
#include <cstdlib>
#include <functional>

namespace teamscore {

int64_t squadTerm(const SquadRoster& squads) {
    int64_t penalty = 0;
    for (int i = condSquad; i < condTotal; ++i)
        penalty += int64_t{squadPenalty[i]} * std::abs(int64_t{squads.first[i]} - squads.second[i]);
    return penalty;
}

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

int64_t battleTerm(const SquadRoster& total, const TeamState& limit) {
    int64_t penalty = 0;
    for (int i = condSquad; i < condTotal; ++i) {
        const int64_t imbalance = std::abs(int64_t{total.first[i]} - total.second[i]);
        if (imbalance > limit[i]) return kUnreachable;
        penalty += totalPenalty[i] * imbalance;
    }
    return penalty;
}

int64_t fillTerm(int i, int64_t squads, int64_t d) {
    return playersPenalty[i] * std::abs(d - squads) + levelPenalty[i] * std::abs(d);
}

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

int64_t unitCost(int i) {
    // For a class the level's difference d is the sum of its single-player and squad
    // differences, so the level pays levelPenalty·|d| and at least the smaller other weight ·|d|.
    if (i == condSquad) return squadPenalty[condSquad];
    return levelPenalty[i] + std::min(playersPenalty[i], squadPenalty[i]);
}

int64_t hullCost(int i, int64_t x, int64_t lo, int64_t hi, int64_t limit) {
    // Each unit moved costs no more than the whole-battle weight: the cheapest s brings x as near
    // zero as the range allows.
    const int64_t s = std::clamp(-x, lo, hi);
    const int64_t left = std::abs(x + s);
    if (left > limit) return kUnreachable;
    return unitCost(i) * std::abs(s) + totalPenalty[i] * left;
}

void LevelReach::clear() {
    lo.fill(INT64_MAX);
    hi.fill(INT64_MIN);
    for (auto& table : least) table.clear();
}

void LevelReach::add(int i, int64_t e, int64_t cost) {
    if (least[i].empty()) return;  // beyond the tabulated width: the hull alone
    int64_t& slot = least[i][e - lo[i]];
    slot = std::min(slot, cost);
}

void AboveBound::reset(const TeamState& limit) {
    for (int i = condSquad; i < condTotal; ++i) {
        _limit[i] = limit[i];
        _hullLo[i] = _hullHi[i] = 0;
        _table[i].clear();
        // Within the limit the term is exact; past a wide limit the hull bound is exact too.
        const int64_t half = std::min<int64_t>(limit[i], kMaxWidth / 2);
        _from[i] = -half;
        for (int64_t x = -half; x <= half; ++x) _table[i].push_back(totalPenalty[i] * std::abs(x));
        _complete[i] = limit[i] <= kMaxWidth / 2;
    }
}

void AboveBound::addLevel(const LevelReach& level) {
    for (int i = condSquad; i < condTotal; ++i) {
        std::vector<int64_t>& table = _table[i];
        if (level.lo[i] > level.hi[i]) {  // the level has no move at all: nothing is in reach
            table.clear();
            _complete[i] = true;
            continue;
        }
        _hullLo[i] += level.lo[i];
        _hullHi[i] += level.hi[i];
        const std::vector<int64_t>& least = level.least[i];
        const int64_t oldFrom = _from[i], oldSize = static_cast<int64_t>(table.size());
        const int64_t width = oldSize + (level.hi[i] - level.lo[i]);
        if (!_complete[i] || least.empty() || oldSize == 0 || width > kMaxWidth) {
            // What cannot be tabulated whole is bounded by the hull of the moves alone.
            if (!(_complete[i] && oldSize == 0)) {
                table.clear();
                _complete[i] = false;
            }
            continue;
        }
        // x leaves this level; the level moves it by e, and x + e must lie in the old table.
        std::vector<int64_t> next(static_cast<size_t>(width), kUnreachable);
        const int64_t from = oldFrom - level.hi[i];
        for (int64_t slot = 0; slot < width; ++slot) {
            const int64_t x = from + slot;
            int64_t best = kUnreachable;
            for (int64_t e = level.lo[i]; e <= level.hi[i]; ++e) {
                const int64_t move = least[e - level.lo[i]];
                const int64_t old = x + e - oldFrom;
                if (move >= kUnreachable || old < 0 || old >= oldSize) continue;
                best = std::min(best, move + table[old]);
            }
            next[slot] = std::min(best, kUnreachable);
        }
        table.swap(next);
        _from[i] = from;
    }
}

int64_t AboveBound::at(const SquadRoster& total) const {
    int64_t bound = 0;
    for (int i = condSquad; i < condTotal; ++i) {
        const int64_t part = at(i, int64_t{total.first[i]} - total.second[i]);
        if (part >= kUnreachable) return kUnreachable;
        bound += part;
    }
    return bound;
}

}  // namespace teamscore

using namespace teamscore;

namespace {

// A small top level (at most three places per team) must be balanced exactly.
bool isTop(int size, int level) {
    return level == 0 && size <= 3;
}

// The caps both condition builders share: per class, as many as the level has places and the
// whole-team maximum still allows, and at most one SPG a team at a small top level.
Conditions levelCaps(const TeamState& caps, const SquadRoster& current, int size, int level) {
    Conditions conditions;
    for (int i = condSquad; i < condTotal; ++i) {
        int maxASize = std::min(size, caps[i] - current.first[i]);
        int maxBSize = std::min(size, caps[i] - current.second[i]);
        if (isTop(size, level) && i == condSpg) {
            maxASize = std::min(maxASize, 1);
            maxBSize = std::min(maxBSize, 1);
        }
        conditions[i] = SquadCondition(maxASize, maxBSize, 0, 0);
    }
    return conditions;
}

// Where a candidate stands in the natural order of its level: its composition, then its targets
// from the scout's to the heavy's, as the filling nests them.
struct Position {
    int32_t composition = -1;
    std::array<int32_t, condTotal - condScout> targets{};

    Position() = default;
    Position(int32_t index, const SquadRoster& squads, const SquadRoster& players)
        : composition(index) {
        for (int i = condScout; i < condTotal; ++i)
            targets[i - condScout] =
                squads.first[i] + players.first[i] - squads.second[i] - players.second[i];
    }
    bool operator>(const Position& other) const {
        if (composition != other.composition) return composition > other.composition;
        return targets > other.targets;
    }
};

}  // namespace

Conditions TeamSearch::squadConditions(const TeamState& caps, const TeamState& levelImbalance,
                                       const SquadRoster& current, int size, int level) {
    Conditions conditions = levelCaps(caps, current, size, level);
    if (isTop(size, level)) return conditions;  // balanced exactly
    for (int i = condSquad; i < condTotal; ++i) {
        // Single players can still even out what squads leave unbalanced.
        const int imbalance = i == condSquad ? levelImbalance[condSquad] : i == condSpg ? 1 : 3;
        conditions[i].minTeamImbalance = -imbalance;
        conditions[i].maxTeamImbalance = imbalance;
    }
    return conditions;
}

Conditions TeamSearch::playerConditions(const TeamState& caps, const TeamState& levelImbalance,
                                        const SquadRoster& current, int size, int level) {
    Conditions conditions = levelCaps(caps, current, size, level);
    if (!isTop(size, level)) {
        for (int i = condSquad; i < condTotal; ++i) {
            conditions[i].minTeamImbalance = -levelImbalance[i];
            conditions[i].maxTeamImbalance = levelImbalance[i];
        }
    }
    // The filling does not read this entry.
    conditions[condSquad] = SquadCondition(size, size, 0, 0);
    return conditions;
}

bool TeamSearch::checkPlayers(int& teamA, int& teamB, int imbalance, int squadA, int squadB,
                              int available, int maxTeamA, int maxTeamB) {
    // Players go to one side only: the fewest that reach the target difference.
    const int needPlayers = std::abs(squadA - squadB - imbalance);
    if (needPlayers > available) return false;
    teamA = 0;
    teamB = 0;
    if (squadA - squadB < imbalance)
        teamA = needPlayers;
    else
        teamB = needPlayers;
    if (teamA > maxTeamA) return false;
    return teamB <= maxTeamB;
}

void TeamSearch::fill(int type, MatchingResult& result, int index, const Conditions& conditions,
                      const TeamState& players, SquadRoster current, int freeA, int freeB,
                      FillBound* bound) {
    if (type == condSquad) {
        fill(condScout, result, index, conditions, players, current, freeA, freeB, bound);
        return;
    }
    const SquadRoster teams = std::get<0>(result[index]);  // a copy: result grows below
    const TeamState& teamA = teams.first;
    const TeamState& teamB = teams.second;

    if (type < condTotal) {
        const SquadCondition& cond = conditions[type];
        const int maxTeamA = std::min(cond.maxTeamASize - teamA[type], freeA);
        const int maxTeamB = std::min(cond.maxTeamBSize - teamB[type], freeB);
        if (maxTeamA < 0 || maxTeamB < 0) return;  // checkPlayers would refuse every target
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
            if (checkPlayers(vehA, vehB, imb, teamA[type], teamB[type], players[type], maxTeamA,
                             maxTeamB)) {
                if (bound != nullptr) {
                    // The room this roster leaves so far: the classes after this one may only
                    // take more of it.
                    TeamState roomA, roomB;
                    for (int i = condSquad; i < condTotal; ++i) {
                        const bool placed = i != condSquad && i < type;
                        roomA[i] =
                            static_cast<int>(bound->roomA[i]) - (placed ? current.first[i] : 0);
                        roomB[i] =
                            static_cast<int>(bound->roomB[i]) - (placed ? current.second[i] : 0);
                    }
                    roomA[type] -= vehA;
                    roomB[type] -= vehB;
                    bool open = false;
                    for (int b = 0; b < bound->branchCount; ++b) {
                        FillBound::Branch& branch = bound->branches[b];
                        const bool fits = branch.move == nullptr ||
                                          topFits(*branch.move, bound->topSize, roomA, roomB);
                        const int64_t spent =
                            fits ? std::min(kUnreachable,
                                            branch.spent[type] + bound->cost(branch, type, imb))
                                 : kUnreachable;
                        branch.spent[type + 1] = spent;
                        open = open || spent + branch.rest[type] < bound->budget;
                    }
                    if (!open) continue;
                }
                current.first[type] = vehA;
                current.second[type] = vehB;
                fill(type + 1, result, index, conditions, players, current, freeA - vehA,
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

bool TeamSearch::_outOfTime() {
    ++_visited;
    if (_untilClock-- != 0) return false;
    _untilClock = kClockCadence - 1;
    return _timed && std::chrono::duration<double>(Clock::now() - _start).count() > TICK_TIMEOUT;
}

TeamSearch::StateKey TeamSearch::_key(const SquadRoster& total, int64_t placesLeft) const {
    StateKey key;
    for (int i = condSquad; i < condTotal; ++i) {
        key[3 * i] = total.first[i] - total.second[i];
        key[3 * i + 1] =
            static_cast<int32_t>(std::min<int64_t>(int64_t{_caps[i]} - total.first[i], placesLeft));
        key[3 * i + 2] = static_cast<int32_t>(
            std::min<int64_t>(int64_t{_caps[i]} - total.second[i], placesLeft));
    }
    return key;
}

SquadRoster TeamSearch::_after(int level, const SquadRoster& current, const Choice& choice) const {
    // Squad players at condSquad; every vehicle of a class at the other slots.
    const SquadRoster& squads = std::get<0>(_levels[level].offer.compositions[choice.composition]);
    SquadRoster total = current;
    total.first[condSquad] += squads.first[condSquad];
    total.second[condSquad] += squads.second[condSquad];
    for (int i = condScout; i < condTotal; ++i) {
        total.first[i] += squads.first[i] + choice.players.first[i];
        total.second[i] += squads.second[i] + choice.players.second[i];
    }
    return total;
}

const std::pair<int64_t, int32_t>& TeamSearch::Level::ordered(size_t taken) {
    while (order.size() <= taken) {
        std::pop_heap(pending.begin(), pending.end(), std::greater<>());
        order.push_back(pending.back());
        pending.pop_back();
    }
    return order[taken];
}

bool TeamSearch::_prepare(int level) {
    Level& state = _levels[level];
    const Offer& offer = state.offer;
    const int size = offer.size;
    state.open = playerConditions(_caps, _levelImbalance, SquadRoster{}, size, level);
    state.compositions.clear();
    state.reach.clear();
    state.fewestA.fill(INT32_MAX);
    state.fewestB.fill(INT32_MAX);
    int64_t totalPlayers = 0;
    for (int count : offer.players) totalPlayers += count;

    // The bottom level's reach bounds nothing: there is no level below it.
    LevelReach& reach = state.reach;
    const bool reached = level < LEVEL_COUNT - 1;
    for (size_t index = 0; index < offer.compositions.size(); ++index) {
        const SquadRoster& roster = std::get<0>(offer.compositions[index]);
        const int teamALeft = size - roster.first[condSquad];
        const int teamBLeft = size - roster.second[condSquad];
        // Only compositions that leave no more places than there are single players.
        if (int64_t{teamALeft} + teamBLeft > totalPlayers) continue;
        Composition composition{static_cast<int32_t>(index), squadTerm(roster), {}, {}};
        bool fillable = true;
        for (int i = condScout; i < condTotal && fillable; ++i)
            fillable = fillRange(state.open[i], roster, i, offer.players[i], teamALeft, teamBLeft,
                                 composition.lo[i], composition.hi[i]);
        if (!fillable) continue;
        const int64_t squads = int64_t{roster.first[condSquad]} - roster.second[condSquad];
        composition.lo[condSquad] = composition.hi[condSquad] = squads;
        for (int i = condScout; i < condTotal; ++i) {
            const int64_t own = int64_t{roster.first[i]} - roster.second[i];
            const int64_t lo = composition.lo[i], hi = composition.hi[i];
            // fillTerm is convex with its bends at the squads' difference and at zero.
            composition.least += std::min(fillTerm(i, own, std::clamp(own, lo, hi)),
                                          fillTerm(i, own, std::clamp<int64_t>(0, lo, hi)));
        }
        for (int i = condSquad; i < condTotal; ++i) {
            state.fewestA[i] = std::min(state.fewestA[i], roster.first[i]);
            state.fewestB[i] = std::min(state.fewestB[i], roster.second[i]);
            if (reached) {
                reach.lo[i] = std::min(reach.lo[i], composition.lo[i]);
                reach.hi[i] = std::max(reach.hi[i], composition.hi[i]);
            }
        }
        state.compositions.push_back(composition);
    }
    if (reached) {
        for (int i = condSquad; i < condTotal; ++i)
            if (reach.lo[i] <= reach.hi[i] && reach.hi[i] - reach.lo[i] < LevelReach::kMaxWidth)
                reach.least[i].assign(static_cast<size_t>(reach.hi[i] - reach.lo[i] + 1),
                                      kUnreachable);
        // A class's share of the level's score: its squad term, then its player and level terms
        // where the single players take it.
        for (const Composition& composition : state.compositions) {
            const SquadRoster& roster = std::get<0>(offer.compositions[composition.index]);
            for (int i = condSquad; i < condTotal; ++i) {
                const int64_t squads = int64_t{roster.first[i]} - roster.second[i];
                const int64_t own = squadPenalty[i] * std::abs(squads);
                if (i == condSquad) {
                    reach.add(i, squads, own);
                    continue;
                }
                if (!reach.least[i].empty())
                    for (int64_t e = composition.lo[i]; e <= composition.hi[i]; ++e)
                        reach.add(i, e, own + fillTerm(i, squads, e));
            }
        }
    }
    // Cheapest first; among equal least scores the later first. Searches seldom go far down
    // the order: it is sorted as far as they go.
    state.order.clear();
    state.pending.clear();
    for (size_t at = 0; at < state.compositions.size(); ++at)
        state.pending.emplace_back(state.compositions[at].least, -static_cast<int32_t>(at));
    std::make_heap(state.pending.begin(), state.pending.end(), std::greater<>());
    // Some composition must be completed by single players; usually the first one settles it.
    for (size_t taken = 0; taken < state.compositions.size(); ++taken) {
        const Composition& composition =
            state.compositions[static_cast<size_t>(-state.ordered(taken).second)];
        const SquadRoster& roster = std::get<0>(offer.compositions[composition.index]);
        state.rosters.clear();
        state.rosters.emplace_back(roster, -1);
        fill(condSquad, state.rosters, 0, state.open, offer.players, SquadRoster{},
             size - roster.first[condSquad], size - roster.second[condSquad]);
        if (state.rosters.size() > 1) return true;
    }
    return false;
}

void TeamSearch::_listTop() {
    _top = TopMoves::tooMany;
    Level& top = _levels[0];
    _topMoves.clear();
    _moveIndex.clear();
    // Each class's share of the score, for the per-class bound: tighter than the ranges the
    // single players could reach, which stay if the top is not listed.
    LevelReach shares = top.reach;
    for (auto& table : shares.least) std::fill(table.begin(), table.end(), kUnreachable);
    size_t candidates = 0;
    for (const Composition& composition : top.compositions) {
        const SquadRoster& squads = std::get<0>(top.offer.compositions[composition.index]);
        top.rosters.clear();
        top.rosters.emplace_back(squads, -1);
        fill(condSquad, top.rosters, 0, top.open, top.offer.players, SquadRoster{},
             top.offer.size - squads.first[condSquad], top.offer.size - squads.second[condSquad]);
        candidates += top.rosters.size() - 1;
        if (candidates > kMaxListed) return;
        for (size_t player = 1; player < top.rosters.size(); ++player) {
            const SquadRoster& players = std::get<0>(top.rosters[player]);
            const SquadRoster total = _after(0, SquadRoster{}, {composition.index, players});
            std::array<int32_t, CONDITION_COUNT> diffs;
            for (int i = condSquad; i < condTotal; ++i) diffs[i] = total.first[i] - total.second[i];
            for (int i = condSquad; i < condTotal; ++i) {
                const int64_t dp = int64_t{players.first[i]} - players.second[i];
                const int64_t ds = int64_t{squads.first[i]} - squads.second[i];
                shares.add(i, i == condSquad ? ds : diffs[i],
                           playersPenalty[i] * std::abs(dp) + squadPenalty[i] * std::abs(ds) +
                               levelPenalty[i] * std::abs(dp + ds));
            }
            // What the caps must leave room for: the counts, and the pairs the places still
            // free are filled with (as the filling counts them).
            Move move{total.first, total.second, {}, diffs, levelTerms(squads, players), 0};
            int free = top.offer.size - squads.first[condSquad];
            for (int i = condSquad; i < condTotal; ++i) {
                move.pairs[i] = (top.offer.players[i] - players.first[i] - players.second[i]) / 2;
                free -= players.first[i];
            }
            move.free = free;
            // Candidates that add the same differences make one move that asks no more of the
            // caps than any of them: a bound, and far fewer moves to walk.
            if (int64_t* known = _moveIndex.find(diffs)) {
                Move& same = _topMoves[static_cast<size_t>(*known)];
                same.cost = std::min(same.cost, move.cost);
                for (int i = condSquad; i < condTotal; ++i) {
                    same.usedA[i] = std::min(same.usedA[i], move.usedA[i]);
                    same.usedB[i] = std::min(same.usedB[i], move.usedB[i]);
                    same.pairs[i] = std::max(same.pairs[i], move.pairs[i]);
                }
                same.free = std::min(same.free, move.free);
            } else {
                _moveIndex.insert(diffs, static_cast<int64_t>(_topMoves.size()));
                _topMoves.push_back(move);
            }
        }
    }
    std::sort(_topMoves.begin(), _topMoves.end(),
              [](const Move& a, const Move& b) { return a.cost < b.cost; });
    top.reach = shares;
    _top = TopMoves::listed;
    _bound();
}

void TeamSearch::_bound() {
    _levels[0].above.reset(_totalImbalance);
    _levels[0].besideTop.reset(_totalImbalance);
    for (int level = 1; level < LEVEL_COUNT; ++level) {
        _levels[level].above = _levels[level - 1].above;
        _levels[level].above.addLevel(_levels[level - 1].reach);
        _levels[level].besideTop = _levels[level - 1].besideTop;
        if (level > 1) _levels[level].besideTop.addLevel(_levels[level - 1].reach);
    }
}

bool TeamSearch::topFits(const Move& move, int size, const TeamState& roomA,
                         const TeamState& roomB) {
    int pairs = move.pairs[condSquad];
    for (int i = condSquad; i < condTotal; ++i) {
        // The caps of the top's conditions: its places, the room left, one SPG at a small top.
        const int most = isTop(size, 0) && i == condSpg ? std::min(size, 1) : size;
        const int capA = std::min(most, roomA[i]), capB = std::min(most, roomB[i]);
        if (move.usedA[i] > capA || move.usedB[i] > capB) return false;
        if (i != condSquad)
            pairs += std::min({move.pairs[i], capA - move.usedA[i], capB - move.usedB[i]});
    }
    return pairs >= move.free;
}

int64_t TeamSearch::_above(int level, const SquadRoster& total) {
    // Listed only once a level below needs it: a layout whose lower levels are empty never does.
    if (_top == TopMoves::unknown) _listTop();
    if (_top != TopMoves::listed) return _levels[level].above.at(total);
    // No top move puts more than the top's places in a team: room beyond them never binds.
    // The levels between take room too: at least their fewest squad members of each class.
    SquadRoster taken = total;
    for (int between = level - 1; between > 0; --between) {
        taken.first += _levels[between].fewestA;
        taken.second += _levels[between].fewestB;
    }
    const StateKey key = _key(taken, _levels[0].offer.size);
    if (const int64_t* known = _knownAbove[level].find(key)) return *known;
    const AboveBound& rest = _levels[level].besideTop;
    int64_t best = kUnreachable;
    for (const Move& move : _topMoves) {
        // Cheapest first, and the rest costs nothing at the least.
        if (move.cost >= best) break;
        TeamState roomA, roomB;
        for (int i = condSquad; i < condTotal; ++i) {
            roomA[i] = key[3 * i + 1];
            roomB[i] = key[3 * i + 2];
        }
        if (!topFits(move, _levels[0].offer.size, roomA, roomB)) continue;
        int64_t bound = move.cost;
        for (int i = condSquad; i < condTotal && bound < best; ++i)
            bound += rest.at(i, int64_t{key[3 * i]} + move.diffs[i]);
        best = std::min(best, bound);
    }
    _knownAbove[level].insert(key, best);
    return best;
}

int64_t TeamSearch::_compositionBound(const Level& level, const Composition& composition,
                                      const SquadRoster& current, const Conditions& conditions,
                                      const std::array<bool, CONDITION_COUNT>& narrowed,
                                      int64_t budget, FillBound& bound) const {
    const SquadRoster& squadRoster = std::get<0>(level.offer.compositions[composition.index]);
    const int teamALeft = level.offer.size - squadRoster.first[condSquad];
    const int teamBLeft = level.offer.size - squadRoster.second[condSquad];
    for (int i = condSquad; i < condTotal; ++i) {
        bound.below[i] = int64_t{current.first[i]} - current.second[i];
        bound.squads[i] = int64_t{squadRoster.first[i]} - squadRoster.second[i];
        bound.roomA[i] = int64_t{_caps[i]} - current.first[i] - squadRoster.first[i];
        bound.roomB[i] = int64_t{_caps[i]} - current.second[i] - squadRoster.second[i];
        for (int between = static_cast<int>(&level - &_levels[0]) - 1; between > 0; --between) {
            bound.roomA[i] -= _levels[between].fewestA[i];
            bound.roomB[i] -= _levels[between].fewestB[i];
        }
    }
    bound.budget = budget;
    // The least of one branch; kUnreachable once it reaches the budget. A range too wide to walk
    // is bounded by fillTerm alone.
    std::array<int64_t, CONDITION_COUNT> lo{}, hi{};
    const auto branchBound = [&](FillBound::Branch& branch, int64_t base) {
        int64_t total =
            base + squadTerm(squadRoster) +
            branch.above->at(condSquad, bound.below[0] + bound.squads[0] + branch.shift[condSquad]);
        if (total >= budget) return kUnreachable;
        branch.spent[condScout] = total;
        std::array<int64_t, CONDITION_COUNT> least{};
        for (int i = condScout; i < condTotal; ++i) {
            int64_t part =
                std::min(fillTerm(i, bound.squads[i], std::clamp(bound.squads[i], lo[i], hi[i])),
                         fillTerm(i, bound.squads[i], std::clamp<int64_t>(0, lo[i], hi[i])));
            if (hi[i] - lo[i] < LevelReach::kMaxWidth) {
                part = kUnreachable;
                for (int64_t d = lo[i]; d <= hi[i]; ++d)
                    part = std::min(part, bound.cost(branch, i, d));
            }
            total += part;
            // Parts never fall below zero: once over the budget, the rest cannot bring it back.
            if (total >= budget) return kUnreachable;
            least[i] = part;
        }
        branch.rest[condTotal - 1] = 0;
        for (int i = condTotal - 1; i > condScout; --i)
            branch.rest[i - 1] = branch.rest[i] + least[i];
        return total;
    };
    for (int i = condScout; i < condTotal; ++i) {
        // Where the caps have not narrowed, the range is the one found with nothing fixed.
        lo[i] = composition.lo[i];
        hi[i] = composition.hi[i];
        if (narrowed[i] && !fillRange(conditions[i], squadRoster, i, level.offer.players[i],
                                      teamALeft, teamBLeft, lo[i], hi[i]))
            return kUnreachable;
    }
    // Per class first: it is cheaper, and the top's moves taken whole can only bound higher.
    FillBound::Branch& first = bound.branches[0];
    first = FillBound::Branch{};
    first.above = &level.above;
    bound.branchCount = 1;
    const int64_t perClass = branchBound(first, 0);
    if (perClass >= budget || &level == &_levels[0] || _top != TopMoves::listed ||
        _topMoves.size() > FillBound::kMaxBranches)
        return perClass;
    int64_t least = kUnreachable;
    bound.branchCount = 0;
    bound.topSize = _levels[0].offer.size;
    TeamState roomA, roomB;
    for (int i = condSquad; i < condTotal; ++i) {
        roomA[i] = static_cast<int>(bound.roomA[i]);
        roomB[i] = static_cast<int>(bound.roomB[i]);
    }
    for (const Move& move : _topMoves) {
        // With the room the squads leave; the filling checks again as it places the classes.
        if (!topFits(move, bound.topSize, roomA, roomB)) continue;
        FillBound::Branch& branch = bound.branches[bound.branchCount];
        branch.above = &level.besideTop;
        branch.move = &move;
        for (int i = condSquad; i < condTotal; ++i) branch.shift[i] = move.diffs[i];
        const int64_t total = branchBound(branch, move.cost);
        if (total >= budget) continue;  // this move cannot lead under the budget
        least = std::min(least, total);
        ++bound.branchCount;
    }
    return least;
}

bool TeamSearch::_admits(int level, const SquadRoster& current, const Choice& choice) const {
    const Level& state = _levels[level];
    const Conditions conditions =
        playerConditions(_caps, _levelImbalance, current, state.offer.size, level);
    const SquadRoster& squads = std::get<0>(state.offer.compositions[choice.composition]);
    const SquadRoster& players = choice.players;
    // As the search would meet it: the composition within the caps left, each class's players
    // within the room their team has, and pairs enough for the places left.
    int pairs =
        (state.offer.players[condSquad] - players.first[condSquad] - players.second[condSquad]) / 2;
    for (int i = condSquad; i < condTotal; ++i) {
        if (squads.first[i] > _caps[i] - current.first[i] ||
            squads.second[i] > _caps[i] - current.second[i])
            return false;
        if (i == condSquad) continue;
        const int roomA = conditions[i].maxTeamASize - squads.first[i] - players.first[i];
        const int roomB = conditions[i].maxTeamBSize - squads.second[i] - players.second[i];
        if (roomA < 0 || roomB < 0) return false;
        pairs += std::min(
            {(state.offer.players[i] - players.first[i] - players.second[i]) / 2, roomA, roomB});
    }
    int free = state.offer.size - squads.first[condSquad];
    for (int i = condSquad; i < condTotal; ++i) free -= players.first[i];
    return free <= pairs;
}

int64_t TeamSearch::_solved(int level, const SquadRoster& current, Choice& choice) {
    auto& memo = _memo[level];
    const StateKey key = _key(current, _levels[level].placesLeft);
    if (const auto* known = memo.find(key)) {
        choice = known->second;
        return known->first;
    }
    // The same differences with the most room the caps can leave: a state whose candidates
    // include every candidate of this one. If the chain that wins there can be made here, it
    // wins here too, with the same value: nothing here scores less, and a later candidate that
    // tied here would have tied there.
    SquadRoster roomiest{};
    for (int i = condSquad; i < condTotal; ++i) {
        const int32_t diff = current.first[i] - current.second[i];
        roomiest.first[i] = std::max(diff, 0);
        roomiest.second[i] = std::max(-diff, 0);
    }
    if (level > 0 && _key(roomiest, _levels[level].placesLeft) != key) {
        const int64_t value = _solved(level, roomiest, choice);
        if (_stopped) return value;
        if (value >= kUnreachable) {
            memo.insert(key, {value, choice});
            return value;
        }
        bool same = true;
        SquadRoster here = current, there = roomiest;
        Choice step = choice;
        for (int below = level;; --below) {
            same = _admits(below, here, step);
            if (!same || below == 0) break;
            here = _after(below, here, step);
            there = _after(below, there, step);
            const auto* next = _memo[below - 1].find(_key(there, _levels[below - 1].placesLeft));
            if (next == nullptr) {  // not kept: the table is full
                same = false;
                break;
            }
            step = next->second;
        }
        if (same) {
            memo.insert(key, {value, choice});
            return value;
        }
    }
    const int64_t value = _solve(level, current, choice);
    if (!_stopped) memo.insert(key, {value, choice});
    return value;
}

int64_t TeamSearch::_solve(int level, const SquadRoster& current, Choice& choice) {
    Level& state = _levels[level];
    const int size = state.offer.size;
    const Conditions conditions = playerConditions(_caps, _levelImbalance, current, size, level);
    TeamState roomA, roomB;
    for (int i = condSquad; i < condTotal; ++i) {
        roomA[i] = _caps[i] - current.first[i];
        roomB[i] = _caps[i] - current.second[i];
    }
    std::array<bool, CONDITION_COUNT> narrowed;
    for (int i = condSquad; i < condTotal; ++i)
        narrowed[i] = conditions[i].maxTeamASize != state.open[i].maxTeamASize ||
                      conditions[i].maxTeamBSize != state.open[i].maxTeamBSize;
    int64_t best = kUnreachable;
    Position bestAt;
    FillBound bound;
    MatchingResult& rosters = state.rosters;  // the levels above use buffers of their own
    for (size_t taken = 0; taken < state.compositions.size(); ++taken) {
        const auto [least, at] = state.ordered(taken);
        if (least > best) break;
        const Composition& composition = state.compositions[static_cast<size_t>(-at)];
        // Only a later candidate can win on a tie.
        const bool later = composition.index > bestAt.composition;
        if (composition.least == best && !later) continue;
        const SquadRoster& squadRoster = std::get<0>(state.offer.compositions[composition.index]);
        // The offer with the caps left is the offer with nothing fixed, less what exceeds them.
        bool fits = true;
        for (int i = condSquad; i < condTotal && fits; ++i)
            fits = squadRoster.first[i] <= roomA[i] && squadRoster.second[i] <= roomB[i];
        if (!fits) continue;
        const int64_t budget = later ? std::min(best + 1, kUnreachable) : best;
        if (_compositionBound(state, composition, current, conditions, narrowed, budget, bound) >=
            budget)
            continue;
        rosters.clear();
        rosters.emplace_back(squadRoster, -1);
        fill(condSquad, rosters, 0, conditions, state.offer.players, SquadRoster{},
             size - squadRoster.first[condSquad], size - squadRoster.second[condSquad], &bound);

        // Above the top, the rosters most likely to win are solved first, so that the best
        // cuts the others: by their bound, and the later first among equal bounds.
        std::vector<std::pair<int64_t, int32_t>>& ranked = state.ranked;
        ranked.clear();
        for (size_t player = rosters.size(); player-- > 1;) {
            int64_t least = 0;
            if (level != 0) {
                const Choice candidate{composition.index, std::get<0>(rosters[player])};
                const SquadRoster total = _after(level, current, candidate);
                const int64_t own = levelTerms(squadRoster, candidate.players);
                // The per-class bound first: it is cheaper and often enough.
                least = own + state.above.at(total);
                if (least >= kUnreachable || least > best) continue;
                least = own + _above(level, total);
                if (least >= kUnreachable || least > best) continue;
            }
            ranked.emplace_back(least, -static_cast<int32_t>(player));
        }
        if (level != 0) std::sort(ranked.begin(), ranked.end());
        for (const auto& [bound, player] : ranked) {
            if (_outOfTime()) {
                _stopped = true;
                return best;
            }
            if (bound > best) break;
            const Choice candidate{composition.index,
                                   std::get<0>(rosters[static_cast<size_t>(-player)])};
            const Position at(composition.index, squadRoster, candidate.players);
            if (bound == best && !(at > bestAt)) continue;
            const SquadRoster total = _after(level, current, candidate);
            const int64_t own = levelTerms(squadRoster, candidate.players);
            int64_t rest;
            if (level == 0) {
                rest = battleTerm(total, _totalImbalance);
            } else {
                Choice next;
                rest = _solved(level - 1, total, next);
                if (_stopped) return best;
            }
            if (rest >= kUnreachable) continue;
            const int64_t value = own + rest;
            if (value < best || (value == best && at > bestAt)) {
                best = value;
                bestAt = at;
                choice = candidate;
            }
        }
    }
    return best;
}

bool TeamSearch::run(const TeamState& caps, const TeamState& levelImbalance,
                     const TeamState& totalImbalance, Clock::time_point start, Solution& solution) {
    _penalty = kNoSolution;
    _caps = caps;
    _levelImbalance = levelImbalance;
    _totalImbalance = totalImbalance;
    _start = start;
    _untilClock = 0;  // the first candidate reads the clock
    _timed = true;
    _stopped = false;
    _cut = false;
    _visited = 0;
    for (auto& memo : _memo) memo.clear();
    for (auto& known : _knownAbove) known.clear();
    int64_t placesLeft = 0;
    for (int level = 0; level < LEVEL_COUNT; ++level) {
        placesLeft += _levels[level].offer.size;
        _levels[level].placesLeft = placesLeft;
    }
    for (int level = 0; level < LEVEL_COUNT; ++level)
        if (!_prepare(level)) return false;
    _top = TopMoves::unknown;
    _bound();

    Choice choice;
    const int64_t best = _solve(LEVEL_COUNT - 1, SquadRoster{}, choice);
    _cut = _stopped;
    if (best > kNoSolution) return false;
    // Each level's choice leads to a state whose own choice is kept, or is found again: with
    // the clock off, a state solved once is solved alike.
    _timed = false;
    _stopped = false;
    SquadRoster current{};
    for (int level = LEVEL_COUNT - 1;; --level) {
        solution[level] = {std::get<0>(_levels[level].offer.compositions[choice.composition]),
                           choice.players};
        if (level == 0) break;
        current = _after(level, current, choice);
        _solved(level - 1, current, choice);
    }
    _penalty = best;
    return true;
}
