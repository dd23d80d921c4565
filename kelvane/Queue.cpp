#include "Queue.h"

#include <climits>

Queue::Queue(ConfigTuple config, std::shared_ptr<Random> random)
    : _random(random ? std::move(random) : std::make_shared<Random>()) {
    std::tie(_allMaps, _tmb, _totalImbalanceTimeouts, _levelImbalanceTimeouts,
             _maxVehicleCounts) = std::move(config);
    _mapCosts.setPool(_allMaps);
}

void Queue::enqueue(MatchmakerTime time, SquadKey key, int level,
                    const std::vector<VehType>& types,
                    const std::vector<std::vector<int>>& maps) {
    try {
        for (const std::vector<int>& memberMaps : maps) {
            // Restarts for every member: 1000, 666, 444, ... and 0 from the seventeenth map on.
            int cost = 1000;
            for (int map : memberMaps) {
                // Saturates: any number of lists may name the same map.
                int& total = _lastMaps[key].costs[map];
                total = total > INT_MAX - cost ? INT_MAX : total + cost;
                cost = static_cast<int>(cost / MAPS_DIST_COEFF);
            }
        }
        // Registered before the roster generator sees the squad (neither reads the other), so
        // that a failure in the generator, which undoes its own work, is undone here by an exact
        // removal from the registry.
        _squads.add(key, time, level, types);
        if (types.size() >= 2) {
            TeamState typeCounts{};
            for (VehType type : types) {
                typeCounts[condSquad] += 1;
                const VehCondition vehCond = convertVehTypes(type);
                if (vehCond != condSquad) typeCounts[vehCond] += 1;
            }
            _squadGenerator[level].enqueue(typeCounts, key, time);
        } else if (types.size() == 1) {
            const auto costs = _lastMaps.find(key);
            if (costs != _lastMaps.end())
                _mapCosts.add(key, level, convertVehTypes(types[0]), time, costs->second);
        }
    } catch (...) {
        // The key was not waiting: forgetting its registration and map costs restores the queue.
        // The index, taken in last, undoes its own part.
        _squads.remove(key);
        _lastMaps.erase(key);
        throw;
    }
}

void Queue::dequeue(SquadKey key) {
    const auto costs = _lastMaps.find(key);
    if (costs != _lastMaps.end()) _mapCosts.remove(costs->second);
    const int level = _squads.remove(key);
    if (level != -1) _squadGenerator[level].dequeue(key);
    if (costs != _lastMaps.end()) _lastMaps.erase(costs);
}

double Queue::_elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - _startTime).count();
}

MapKey Queue::formteams(MatchmakerTime time, Teams& result) {
    _startTime = std::chrono::steady_clock::now();
    return _formteams(time, result);
}

MapKey Queue::_formteams(MatchmakerTime time, Teams& result) {
    const MatchmakerTime waitTime = _squads.getAvgWaitTime(time);
    // Allowance k: the first k + 1 thresholds are reached; -1 admits no imbalance at all. The
    // scan stops at the first threshold above the wait.
    for (int i = condSquad; i < condTotal; ++i) {
        _curMaxLevelImbalance[i] = -1;
        _curMaxTotalImbalance[i] = -1;
        for (uint32_t timeout : _levelImbalanceTimeouts[i]) {
            if (waitTime < timeout) break;
            ++_curMaxLevelImbalance[i];
        }
        for (uint32_t timeout : _totalImbalanceTimeouts[i]) {
            if (waitTime < timeout) break;
            ++_curMaxTotalImbalance[i];
        }
    }
    for (const Tmb& tmb : _tmb) {
        if (waitTime < tmb[3]) break;
        // A try that fails must leave no keys behind.
        result.first.clear();
        result.second.clear();
        const MapKey map = _findTeams(result, tmb);
        if (!result.first.empty() && !result.second.empty()) return map;
        if (_elapsed() > TICK_TIMEOUT) break;
    }
    result.first.clear();
    result.second.clear();
    return 0;
}

MapKey Queue::_findTeams(Teams& result, const Tmb& tmb) {
    Solution current{};
    if (!_step1(current, tmb)) return 0;
    if (!_step2(current, tmb)) return 0;
    return _step3(current, result);
}

bool Queue::_step1(Solution& solution, const Tmb& tmb) {
    for (int level = 0; level < LEVEL_COUNT; ++level) {
        TeamSearch::Offer& offer = _search.offer(level);
        offer.size = _placesAt(tmb, level);
        offer.players = _squads.getPlayerCounts(level);
        // The offer depends on the running totals only through the caps left: the search asks
        // once, with nothing fixed yet, and leaves out what the caps left exclude.
        offer.compositions.clear();
        _squadGenerator[level].get(offer.compositions, -1,
                                   _getSquadConditions(SquadRoster{}, offer.size, level));
    }
    return _search.run(_maxVehicleCounts, _curMaxLevelImbalance, _curMaxTotalImbalance, _startTime,
                       solution);
}
