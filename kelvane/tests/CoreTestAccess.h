// Read access to the core's private state, for the tests only.
#pragma once

#include <vector>

#include "Queue.h"

struct CoreTestAccess {
    static const auto& rosters(const SquadRosterGenerator& g) { return g._rosters; }
    static bool isValid(const SquadRosterGenerator& g) { return g._isValid; }
    static const auto& keysList(const SquadRosterGenerator& g) { return g._keysList; }

    static const auto& totalTime(const SquadInfo& s) { return s._totalTime; }
    static const auto& totalPlayers(const SquadInfo& s) { return s._totalPlayers; }
    static size_t registered(const SquadInfo& s) { return s._squadInfo.size(); }

    static Queue& queue(Matchmaker& m, QueueKey key) { return m._queues.at(key); }
    static size_t queueCount(const Matchmaker& m) { return m._queues.size(); }
    static const auto& lastMaps(const Queue& q) { return q._lastMaps; }
    static const SquadRosterGenerator& generator(const Queue& q, int level) {
        return q._squadGenerator[level];
    }
    static const SquadInfo& squads(const Queue& q) { return q._squads; }
    static int bestSolutionPenalty(const Queue& q) { return q.bestSolutionPenalty; }
    static auto startTime(const Queue& q) { return q._startTime; }
    static const auto& tmb(const Queue& q) { return q._tmb; }
    static const auto& allMaps(const Queue& q) { return q._allMaps; }
    static const auto& maxVehicleCounts(const Queue& q) { return q._maxVehicleCounts; }
};

// Keys of a sorted list in list order.
inline std::vector<SquadKey> keysOf(const SquadKeysSortedList& list) {
    std::vector<SquadKey> keys;
    for (const auto& entry : list) keys.push_back(entry.second);
    return keys;
}
