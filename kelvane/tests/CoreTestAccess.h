// Read access to the core's private state, for the tests only.
#pragma once

#include <map>
#include <vector>

#include "Queue.h"

struct CoreTestAccess {
    // The composition table as a map, composition -> (key, to team A), with the work noted for it
    // done, as its next use would.
    static std::map<SquadRoster, std::pair<uint64_t, bool>> rosters(const SquadRosterGenerator& g) {
        const_cast<SquadRosterGenerator&>(g)._bringUpToDate();
        return {g._rosters.begin(), g._rosters.end()};
    }
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
    static Random& random(Queue& q) { return *q._random; }
    static int bestSolutionPenalty(const Queue& q) { return int(q._search.penalty()); }
    static auto startTime(const Queue& q) { return q._startTime; }
    static const auto& tmb(const Queue& q) { return q._tmb; }
    static const auto& allMaps(const Queue& q) { return q._allMaps; }
    static const auto& maxVehicleCounts(const Queue& q) { return q._maxVehicleCounts; }

    // The team search's steps and the allowances they read.
    static TeamState& levelImbalance(Queue& q) { return q._curMaxLevelImbalance; }
    static TeamState& totalImbalance(Queue& q) { return q._curMaxTotalImbalance; }
    static void startClock(Queue& q, double secondsAgo = 0) {
        q._startTime = std::chrono::steady_clock::now() -
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(secondsAgo));
    }
    // A formation call whose clock started secondsAgo.
    static MapKey formteams(Queue& q, MatchmakerTime time, Teams& result, double secondsAgo) {
        startClock(q, secondsAgo);
        return q._formteams(time, result);
    }
    static bool checkPlayers(int& a, int& b, int imb, int squadA, int squadB, int available,
                             int maxA, int maxB) {
        return Queue::_checkPlayers(a, b, imb, squadA, squadB, available, maxA, maxB);
    }
    static Conditions squadConditions(const Queue& q, const SquadRoster& cur, int size, int lvl) {
        return q._getSquadConditions(cur, size, lvl);
    }
    static Conditions playerConditions(const Queue& q, const SquadRoster& cur, int size, int lvl) {
        return q._getPlayerConditions(cur, size, lvl);
    }
    static void processPlayers(Queue& q, MatchingResult& result, int index,
                               const Conditions& conditions, const TeamState& players, int freeA,
                               int freeB) {
        q._processPlayers(condSquad, result, index, conditions, players, SquadRoster{}, freeA,
                          freeB);
    }
    // The squad compositions a level's generator offers under conditions, in its order.
    static std::vector<SquadRoster> offer(Queue& q, int level, const Conditions& conditions) {
        MatchingResult offered;
        q._squadGenerator[level].get(offered, -1, conditions);
        std::vector<SquadRoster> rosters;
        for (const auto& entry : offered) rosters.push_back(std::get<0>(entry));
        return rosters;
    }
    // The compositions a level's generator offers under conditions, as the search takes them.
    static void get(Queue& q, int level, MatchingResult& out, const Conditions& conditions) {
        q._squadGenerator[level].get(out, -1, conditions);
    }
    static bool step1(Queue& q, Solution& s, const Tmb& tmb) { return q._step1(s, tmb); }
    static bool step2(Queue& q, Solution& s, const Tmb& tmb) { return q._step2(s, tmb); }
    static MapKey step3(Queue& q, const Solution& s, Teams& result) { return q._step3(s, result); }
    static int64_t mapCost(const Queue& q, MapKey map, int players, int level, int index,
                           std::vector<SquadKey>& keys) {
        return q._getMapCost(map, players, level, index, keys);
    }
    static void fillSolution(Teams& t, const std::vector<SquadKey>& keys, int count) {
        Queue::_fillSolution(t, keys, count);
    }
};

// Keys of a sorted list in list order.
inline std::vector<SquadKey> keysOf(const SquadKeysSortedList& list) {
    std::vector<SquadKey> keys;
    for (const auto& entry : list) keys.push_back(entry.second);
    return keys;
}

// A queue configuration; thresholds of one value for every class.
inline ConfigTuple makeConfig(std::set<int> maps, std::vector<Tmb> tmbs,
                              std::vector<uint32_t> totalImb, std::vector<uint32_t> levelImb,
                              TeamState caps) {
    ImbalanceTimeouts total, level;
    total.fill(totalImb);
    level.fill(levelImb);
    return ConfigTuple(std::move(maps), std::move(tmbs), total, level, caps);
}
