#include "Queue.h"

#include <climits>

Queue::Queue(ConfigTuple config) {
    std::tie(_allMaps, _tmb, _totalImbalanceTimeouts, _levelImbalanceTimeouts,
             _maxVehicleCounts) = std::move(config);
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
                int& total = _lastMaps[key][map];
                total = total > INT_MAX - cost ? INT_MAX : total + cost;
                cost = static_cast<int>(cost / MAPS_DIST_COEFF);
            }
        }
        if (types.size() >= 2) {
            TeamState typeCounts{};
            for (VehType type : types) {
                typeCounts[condSquad] += 1;
                const VehCondition vehCond = convertVehTypes(type);
                if (vehCond != condSquad) typeCounts[vehCond] += 1;
            }
            _squadGenerator[level].enqueue(typeCounts, key, time);
        }
        _squads.add(key, time, level, types);
    } catch (...) {
        // The key was not waiting, so forgetting it everywhere restores the queue.
        _squadGenerator[level].dequeue(key);
        _squads.remove(key);
        _lastMaps.erase(key);
        throw;
    }
}

void Queue::dequeue(SquadKey key) {
    const int level = _squads.remove(key);
    if (level != -1) _squadGenerator[level].dequeue(key);
    _lastMaps.erase(key);
}
