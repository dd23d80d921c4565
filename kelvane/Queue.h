// A queue of waiting squads and the matchmaker that holds one queue per configured key.
//
// A Queue owns its configuration, the registry of its waiting squads, one roster generator per
// level, the map costs of every waiting squad and the scratch state of the team search. A
// formation call never removes anyone: the caller dequeues the squads of a formed battle itself.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "MapCostIndex.h"
#include "Random.h"
#include "SquadInfo.h"
#include "SquadRosterGenerator.h"
#include "TeamSearch.h"
#include "Types.h"

class Queue {
  public:
    // Draws from random, shared with the other queues of its matchmaker; a queue of its own
    // draws as rand() does before any srand.
    explicit Queue(ConfigTuple config, std::shared_ptr<Random> random = nullptr);

    // Takes a squad in: map costs from each member's recent maps (first = most recent), its
    // composition to the roster generator of its level if it has two or more members, and its
    // registration. REQUIRES: level in 0 .. LEVEL_COUNT - 1, key not waiting here.
    // On failure (allocation) the queue is left as it was.
    void enqueue(MatchmakerTime time, SquadKey key, int level, const std::vector<VehType>& types,
                 const std::vector<std::vector<int>>& maps);
    // Lets a squad go; an unknown key changes nothing.
    void dequeue(SquadKey key);
    // True iff key is waiting in this queue.
    bool contains(SquadKey key) const { return _squads.contains(key); }

    // Tries the layouts in order within one TICK_TIMEOUT budget. Returns the map and leaves both
    // teams' keys in result (both non-empty), or returns 0 with result empty.
    MapKey formteams(MatchmakerTime time, Teams& result);

  private:
    friend struct CoreTestAccess;

    // formteams once the call's clock has started.
    MapKey _formteams(MatchmakerTime time, Teams& result);
    MapKey _findTeams(Teams& result, const Tmb& tmb);
    // Seconds since the current formation call began.
    double _elapsed() const;
    // Places per team at a level of a layout. Sizes beyond INT32_MAX are no real layout; clamping
    // keeps the arithmetic on them defined.
    static int _placesAt(const Tmb& tmb, int level) {
        return static_cast<int>(std::min<uint32_t>(tmb[level], INT32_MAX));
    }

    // First pass: the lowest-penalty squad compositions and single-player counts per level.
    bool _step1(Solution& solution, const Tmb& tmb);
    Conditions _getSquadConditions(const SquadRoster& current, int size, int level) const {
        return TeamSearch::squadConditions(_maxVehicleCounts, _curMaxLevelImbalance, current, size,
                                           level);
    }
    Conditions _getPlayerConditions(const SquadRoster& current, int size, int level) const {
        return TeamSearch::playerConditions(_maxVehicleCounts, _curMaxLevelImbalance, current, size,
                                            level);
    }
    static void _processPlayers(int type, MatchingResult& result, int index,
                                const Conditions& conditions, const TeamState& players,
                                SquadRoster current, int freeA, int freeB) {
        TeamSearch::fill(type, result, index, conditions, players, current, freeA, freeB);
    }
    static bool _checkPlayers(int& teamA, int& teamB, int imbalance, int squadA, int squadB,
                              int available, int maxTeamA, int maxTeamB) {
        return TeamSearch::checkPlayers(teamA, teamB, imbalance, squadA, squadB, available,
                                        maxTeamA, maxTeamB);
    }

    // Second pass: tops both teams up with random pairs of single players.
    bool _step2(Solution& solution, const Tmb& tmb);

    // Third pass: squad keys, map choice, single-player keys.
    MapKey _step3(const Solution& solution, Teams& result);
    MapKey _addPlayersToTeam(Teams& solution, const std::array<Teams, LEVEL_COUNT>& squads,
                             const std::vector<SquadRoster>& players);
    // Totals are 64-bit: map costs saturate at INT_MAX each, and many of them add up.
    // REQUIRES: map in _allMaps.
    int64_t _getMapCost(MapKey map, int players, int level, int index,
                        std::vector<SquadKey>& result) const;
    int64_t _squadMapCost(SquadKey key, MapKey map) const;
    static void _fillSolution(Teams& solution, const std::vector<SquadKey>& keys, int count);

    std::array<SquadRosterGenerator, LEVEL_COUNT> _squadGenerator;
    // Per waiting squad: map -> cost; a map without an entry costs 0.
    MapCostIndex::LastMaps _lastMaps;
    // The same costs of the waiting single players, indexed for the map choice.
    MapCostIndex _mapCosts;
    // A monotonic clock, so that a stepped wall clock neither ends a search at once nor lets it
    // run unbounded.
    std::chrono::steady_clock::time_point _startTime;
    std::set<int> _allMaps;
    ImbalanceTimeouts _totalImbalanceTimeouts;
    ImbalanceTimeouts _levelImbalanceTimeouts;
    TeamState _maxVehicleCounts{};
    std::vector<Tmb> _tmb;
    TeamState _curMaxTotalImbalance{};
    TeamState _curMaxLevelImbalance{};
    SquadInfo _squads;
    std::shared_ptr<Random> _random;
    // The first pass's scratch state, kept from call to call so that it allocates only while
    // its buffers grow.
    TeamSearch _search;
};

class Matchmaker {
  public:
    // Builds one queue per configured key, all drawing from one generator seeded with seed.
    Matchmaker(unsigned int seed, const std::map<int, ConfigTuple>& config);

    // True iff key is a configured queue.
    bool checkQueue(QueueKey key) const { return _queues.count(key) != 0; }
    // True iff key is waiting in queue. Throws std::out_of_range for an unconfigured queue.
    bool contains(QueueKey queue, SquadKey key) const { return _queues.at(queue).contains(key); }

    // The operations of the named queue; an unconfigured key throws std::out_of_range and changes
    // nothing.
    void enqueue(QueueKey queue, MatchmakerTime time, SquadKey key, int level,
                 const std::vector<VehType>& types, const std::vector<std::vector<int>>& lastMaps);
    void dequeue(QueueKey queue, SquadKey key);
    MapKey formteams(QueueKey queue, MatchmakerTime time, Teams& result);

  private:
    friend struct CoreTestAccess;
    std::map<QueueKey, Queue> _queues;
};
