// The first pass of the team search: a depth-first enumeration from the bottom level up. At each
// level every squad composition the roster generator offers is completed with every admissible
// mix of single players, and the levels above are searched again for each of them. Complete
// candidates are scored with the penalty tables; the lowest score wins, the later one on a tie.
//
// All entries live in one growing MatchingResult, linked by parent index. Entries are copied or
// addressed by index, never held by reference across an append, since appending may move them.
#include <algorithm>
#include <cstdlib>

#include "Queue.h"

namespace {

// A small top level (at most three places per team) must be balanced exactly.
bool isTop(int size, int level) { return level == 0 && size <= 3; }

}  // namespace

// The caps both condition builders share: per class, as many as the level has places and the
// whole-team maximum still allows, and at most one SPG a team at a small top level.
static Conditions levelCaps(const TeamState& maxVehicleCounts, const SquadRoster& current,
                            int size, int level) {
    Conditions conditions;
    for (int i = condSquad; i < condTotal; ++i) {
        int maxASize = std::min(size, maxVehicleCounts[i] - current.first[i]);
        int maxBSize = std::min(size, maxVehicleCounts[i] - current.second[i]);
        if (isTop(size, level) && i == condSpg) {
            maxASize = std::min(maxASize, 1);
            maxBSize = std::min(maxBSize, 1);
        }
        conditions[i] = SquadCondition(maxASize, maxBSize, 0, 0);
    }
    return conditions;
}

Conditions Queue::_getSquadConditions(const SquadRoster& current, int size, int level) const {
    Conditions conditions = levelCaps(_maxVehicleCounts, current, size, level);
    if (isTop(size, level)) return conditions;  // balanced exactly
    for (int i = condSquad; i < condTotal; ++i) {
        // Single players can still even out what squads leave unbalanced.
        const int imbalance =
            i == condSquad ? _curMaxLevelImbalance[condSquad] : i == condSpg ? 1 : 3;
        conditions[i].minTeamImbalance = -imbalance;
        conditions[i].maxTeamImbalance = imbalance;
    }
    return conditions;
}

Conditions Queue::_getPlayerConditions(const SquadRoster& current, int size, int level) const {
    Conditions conditions = levelCaps(_maxVehicleCounts, current, size, level);
    if (!isTop(size, level)) {
        for (int i = condSquad; i < condTotal; ++i) {
            conditions[i].minTeamImbalance = -_curMaxLevelImbalance[i];
            conditions[i].maxTeamImbalance = _curMaxLevelImbalance[i];
        }
    }
    // The filling does not read this entry.
    conditions[condSquad] = SquadCondition(size, size, 0, 0);
    return conditions;
}

bool Queue::_checkPlayers(int& teamA, int& teamB, int imbalance, int squadA, int squadB,
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

void Queue::_processPlayers(int type, MatchingResult& result, int index,
                            const Conditions& conditions, const TeamState& players,
                            SquadRoster current, int freeA, int freeB) {
    if (type == condSquad) {
        _processPlayers(condScout, result, index, conditions, players, current, freeA, freeB);
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
        const int64_t from = std::max<int64_t>(cond.minTeamImbalance,
                                               squadDiff - std::min(players[type], maxTeamB));
        const int64_t to = std::min<int64_t>(cond.maxTeamImbalance,
                                             squadDiff + std::min(players[type], maxTeamA));
        for (int64_t target = from; target <= to; ++target) {
            const int imb = static_cast<int>(target);
            int vehA = 0, vehB = 0;
            if (_checkPlayers(vehA, vehB, imb, teamA[type], teamB[type], players[type], maxTeamA,
                              maxTeamB)) {
                current.first[type] = vehA;
                current.second[type] = vehB;
                _processPlayers(type + 1, result, index, conditions, players, current,
                                freeA - vehA, freeB - vehB);
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
    int totalFree =
        (players[condSquad] - current.first[condSquad] - current.second[condSquad]) / 2;
    for (int i = condScout; i < condTotal; ++i) {
        const int pairs = (players[i] - current.first[i] - current.second[i]) / 2;
        const int roomA = conditions[i].maxTeamASize - teamA[i] - current.first[i];
        const int roomB = conditions[i].maxTeamBSize - teamB[i] - current.second[i];
        totalFree += std::min({pairs, roomA, roomB});
    }
    if (freeA > totalFree) return;
    result.emplace_back(current, index);
}

int Queue::_generateSolution(const MatchingResult& result, int solutionIndex,
                             std::vector<int>& solution) const {
    int penalty = 0;
    for (int level = 0; level < LEVEL_COUNT; ++level) {
        solution.push_back(solutionIndex);
        const SquadRoster& state = std::get<0>(result[solutionIndex]);
        solutionIndex = std::get<1>(result[solutionIndex]);
        solution.push_back(solutionIndex);
        const SquadRoster& squadState = std::get<0>(result[solutionIndex]);
        solutionIndex = std::get<1>(result[solutionIndex]);
        for (int i = condSquad; i < condTotal; ++i) {
            const int dp = state.first[i] - state.second[i];
            const int ds = squadState.first[i] - squadState.second[i];
            penalty += playersPenalty[i] * std::abs(dp) + squadPenalty[i] * std::abs(ds) +
                       levelPenalty[i] * std::abs(dp + ds);
        }
    }
    return penalty;
}

void Queue::_processLevel(int level, MatchingResult& result, const SquadRoster& current,
                          int parent, const Tmb& tmb, std::vector<int>& solution) {
    const int size = _placesAt(tmb, level);
    const Conditions squadConditions = _getSquadConditions(current, size, level);
    const size_t sstart = result.size();
    _squadGenerator[level].get(result, parent, squadConditions);
    const size_t sfinish = result.size();

    for (size_t squad = sstart; squad < sfinish; ++squad) {
        const SquadRoster squadRoster = std::get<0>(result[squad]);
        const Conditions playerConditions = _getPlayerConditions(current, size, level);
        const TeamState players = _squads.getPlayerCounts(level);
        int64_t totalPlayers = 0;
        for (int count : players) totalPlayers += count;
        const int teamALeft = size - squadRoster.first[condSquad];
        const int teamBLeft = size - squadRoster.second[condSquad];
        if (int64_t{teamALeft} + teamBLeft > totalPlayers) continue;

        const size_t pstart = result.size();
        _processPlayers(condSquad, result, static_cast<int>(squad), playerConditions, players,
                        SquadRoster{}, teamALeft, teamBLeft);
        const size_t pfinish = result.size();

        for (size_t player = pstart; player < pfinish; ++player) {
            const SquadRoster playerRoster = std::get<0>(result[player]);
            if (_elapsed() > TICK_TIMEOUT) return;
            // Squad players at condSquad; every vehicle of a class at the other slots.
            SquadRoster total = current + playerRoster + squadRoster;
            total.first[condSquad] -= playerRoster.first[condSquad];
            total.second[condSquad] -= playerRoster.second[condSquad];
            if (level != 0) {
                _processLevel(level - 1, result, total, static_cast<int>(player), tmb, solution);
                continue;
            }
            TeamState typeImbalance{};
            bool needToContinue = false;
            for (int i = condSquad; i < condTotal; ++i) {
                typeImbalance[i] = std::abs(total.first[i] - total.second[i]);
                if (typeImbalance[i] > _curMaxTotalImbalance[i]) {
                    needToContinue = true;
                    break;
                }
            }
            if (needToContinue) continue;
            std::vector<int> curSolution;
            int penalty = _generateSolution(result, static_cast<int>(player), curSolution);
            for (int i = condSquad; i < condTotal; ++i)
                penalty += totalPenalty[i] * typeImbalance[i];
            if (penalty <= bestSolutionPenalty) {
                bestSolutionPenalty = penalty;
                solution = std::move(curSolution);
            }
        }
    }
}

bool Queue::_step1(Solution& solution, const Tmb& tmb) {
    bestSolutionPenalty = 10000000;
    MatchingResult result;
    std::vector<int> indices;
    _processLevel(LEVEL_COUNT - 1, result, SquadRoster{}, -1, tmb, indices);
    if (indices.empty()) return false;
    for (int l = 0; l < LEVEL_COUNT; ++l) {
        solution[l].first = std::get<0>(result[indices[2 * l + 1]]);
        solution[l].second = std::get<0>(result[indices[2 * l]]);
    }
    return true;
}
