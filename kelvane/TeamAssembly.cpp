// The second and third passes of the team search. The second tops both teams up with random
// pairs of waiting single players; the third turns the counts into squad keys, picks the map the
// chosen players played least recently and then the single players with the lowest cost for it.
#include <map>

#include "Queue.h"

bool Queue::_step2(Solution& solution, const Tmb& tmb) {
    // Class-less players are limited only by the places.
    TeamState freeByType = _maxVehicleCounts;
    freeByType[condSquad] = 30;
    SquadRoster vehicleCounts{};
    int freeByLevel[LEVEL_COUNT];
    int current[LEVEL_COUNT][CONDITION_COUNT];
    int available[LEVEL_COUNT][CONDITION_COUNT];

    for (int level = 0; level < LEVEL_COUNT; ++level) {
        const SquadRoster& squads = solution[level].first;
        const SquadRoster& players = solution[level].second;
        const TeamState left = _squads.getPlayerCounts(level) - players.first - players.second;
        freeByLevel[level] = _placesAt(tmb, level);
        for (int i = condSquad; i < condTotal; ++i) {
            int teamA = players.first[i] + squads.first[i];
            int teamB = squads.second[i] + players.second[i];
            if (i == condSquad) {
                // Squad players of a special class are counted in their class.
                for (int c = condScout; c < condTotal; ++c) {
                    teamA -= squads.first[c];
                    teamB -= squads.second[c];
                }
            }
            vehicleCounts.first[i] += teamA;
            vehicleCounts.second[i] += teamB;
            current[level][i] = std::max(teamA, teamB);
            available[level][i] = left[i] / 2;
            freeByLevel[level] -= teamA;
        }
    }
    for (int i = condSquad; i < condTotal; ++i)
        freeByType[i] -= std::max(vehicleCounts.first[i], vehicleCounts.second[i]);

    std::vector<std::pair<int, int>> choice;
    for (;;) {
        // The scarcest (level, class) places, listed level by level and class by class.
        choice.clear();
        int minTypeCount = 30;
        for (int level = 0; level < LEVEL_COUNT; ++level) {
            if (freeByLevel[level] == 0) continue;
            for (int i = condSquad; i < condTotal; ++i) {
                if (current[level][i] > minTypeCount || freeByType[i] == 0 ||
                    available[level][i] == 0)
                    continue;
                if (current[level][i] < minTypeCount) {
                    choice.clear();
                    minTypeCount = current[level][i];
                }
                choice.emplace_back(level, i);
            }
        }
        if (choice.empty()) break;
        const auto [curLevel, curType] = choice[_random->next() % choice.size()];
        current[curLevel][curType] += 1;
        available[curLevel][curType] -= 1;
        freeByType[curType] -= 1;
        freeByLevel[curLevel] -= 1;
        solution[curLevel].second.first[curType] += 1;
        solution[curLevel].second.second[curType] += 1;
    }
    return freeByLevel[0] <= 0 && freeByLevel[1] <= 0 && freeByLevel[2] <= 0;
}

int64_t Queue::_squadMapCost(SquadKey key, MapKey map) const {
    // Looked up without inserting: an absent entry costs 0 all the same.
    const auto squad = _lastMaps.find(key);
    if (squad == _lastMaps.end()) return 0;
    const auto cost = squad->second.costs.find(map);
    return cost == squad->second.costs.end() ? 0 : cost->second;
}

int64_t Queue::_getMapCost(MapKey map, int players, int level, int index,
                           std::vector<SquadKey>& result) const {
    // The cheapest players, a later arrival before an earlier one at equal cost; listed from the
    // highest cost down, equal costs oldest first.
    return _mapCosts.select(map, players, level, index, _squads.getSquads(level, index), _lastMaps,
                            result);
}

void Queue::_fillSolution(Teams& solution, const std::vector<SquadKey>& keys, int count) {
    for (size_t i = 0; i < keys.size(); ++i) {
        if (static_cast<int64_t>(i) < count)
            solution.first.push_back(keys[i]);
        else
            solution.second.push_back(keys[i]);
    }
}

MapKey Queue::_addPlayersToTeam(Teams& solution, const std::array<Teams, LEVEL_COUNT>& squads,
                                const std::vector<SquadRoster>& players) {
    int64_t minValue = 1000000;
    std::vector<MapKey> bestMaps;
    // With so few maps, recency would decide nearly every battle: draw from the whole pool.
    const bool isLowLevel = _allMaps.size() <= 3;
    std::vector<SquadKey> temp;
    for (const int map : _allMaps) {
        int64_t value = 0;
        if (!isLowLevel) {
            for (int level = 0; level < LEVEL_COUNT; ++level) {
                for (SquadKey key : squads[level].first) value += _squadMapCost(key, map);
                for (SquadKey key : squads[level].second) value += _squadMapCost(key, map);
                for (int i = condSquad; i < condTotal; ++i)
                    value += _getMapCost(map, players[level].first[i] + players[level].second[i],
                                         level, i, temp);
                if (value > minValue) break;  // this map can no longer be chosen
            }
        }
        if (value < minValue) {
            bestMaps.assign(1, map);
            minValue = value;
        } else if (value == minValue) {
            bestMaps.push_back(map);
        }
    }
    // No map qualifies (or the pool is empty): no battle rather than a draw from nothing.
    if (bestMaps.empty()) return 0;
    const MapKey bestMap = bestMaps[_random->next() % bestMaps.size()];

    std::vector<SquadKey> playersKeys;
    for (int level = 0; level < LEVEL_COUNT; ++level) {
        const Teams& levelSquads = squads[level];
        solution.first.insert(solution.first.end(), levelSquads.first.begin(),
                              levelSquads.first.end());
        solution.second.insert(solution.second.end(), levelSquads.second.begin(),
                               levelSquads.second.end());
        for (int i = condSquad; i < condTotal; ++i) {
            _getMapCost(bestMap, players[level].first[i] + players[level].second[i], level, i,
                        playersKeys);
            _fillSolution(solution, playersKeys, players[level].first[i]);
        }
    }
    return bestMap;
}

MapKey Queue::_step3(const Solution& solution, Teams& result) {
    std::array<Teams, LEVEL_COUNT> squads;
    std::vector<SquadRoster> players;
    for (int level = 0; level < LEVEL_COUNT; ++level) {
        _squadGenerator[level].addSquadsToTeam(squads[level], solution[level].first);
        players.push_back(solution[level].second);
    }
    return _addPlayersToTeam(result, squads, players);
}
