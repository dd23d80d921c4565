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
#include <string>
#include <vector>

#include "MapCostIndex.h"
#include "Random.h"
#include "SquadInfo.h"
#include "SquadRosterGenerator.h"
#include "TeamSearch.h"
#include "Types.h"

// What one formation call did, as an operator reads it.
struct FormationReport {
    // Why no battle formed: the first of these that held, in this order.
    enum class Reason {
        none,             // a battle formed
        noLayoutOpen,     // the average wait is below the first layout's threshold
        tooFewPlayers,    // every layout tried lacked players at some level
        noAllowance,      // a class's total or level allowance is -1, which admits no candidate
        budget,           // the budget cut the call short
        noBalancedSplit,  // no split of the waiting players keeps within the allowances
    };
    MatchmakerTime time = 0;
    double seconds = 0;   // wall time of the call
    size_t tried = 0;     // layouts tried
    int formed = -1;      // the index of the layout that formed the battle, or -1
    // The budget cut the call short: a search stopped by it, or open layouts left untried.
    bool budget = false;
    int64_t penalty = -1;  // the first pass's score of the battle formed, or -1
    uint64_t visited = 0;  // single-player candidates the searches looked at
    Reason reason = Reason::none;
    // The details of the reason. noLayoutOpen: the average wait and the first threshold (none
    // when no layout is configured); tooFewPlayers: the level of the last layout tried that
    // lacked players, with the players waiting there and the places of both teams;
    // noAllowance: the first class without one.
    MatchmakerTime wait = 0;
    bool hasThreshold = false;
    uint32_t threshold = 0;
    int level = 0;
    uint64_t waiting = 0, places = 0;
    int condition = 0;

    // The reason as a sentence; empty when a battle formed.
    std::string reasonText() const;
};

// What a queue holds at a time, and what its last formation call did.
struct QueueStats {
    struct Level {
        size_t players = 0;  // squad members included
        TeamState singles{};  // single players per class
        std::map<size_t, size_t> squads;  // squads of two or more: members -> squads
        MatchmakerTime oldest = 0;        // the longest wait, 0 when nobody waits
    };
    size_t players = 0;
    size_t entries = 0;  // squads, a single player counted as one
    std::array<Level, LEVEL_COUNT> levels;
    MatchmakerTime wait = 0;  // the average wait a formation call would compute
    TeamState totalAllowance{}, levelAllowance{};
    size_t layouts = 0;  // the layouts a formation call would try
    bool called = false;  // false before the first formation call
    FormationReport last;
};

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
    // What the queue holds at time and what its last formation call did. Changes nothing; costs
    // the same however many wait.
    QueueStats stats(MatchmakerTime time) const;

  private:
    friend struct CoreTestAccess;

    // formteams once the call's clock has started.
    MapKey _formteams(MatchmakerTime time, Teams& result);
    // The allowances at an average wait: k where the first k + 1 thresholds of a class are
    // reached, -1 where none is. The scan stops at the first threshold above the wait.
    void _allowances(MatchmakerTime waitTime, TeamState& total, TeamState& level) const;
    // How many layouts, from the first, have their wait threshold reached.
    size_t _openLayouts(MatchmakerTime waitTime) const;
    // Why a call that formed nothing formed nothing.
    void _explain(FormationReport& report, MatchmakerTime waitTime) const;
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
    bool _called = false;
    FormationReport _last;
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
    QueueStats stats(QueueKey queue, MatchmakerTime time) const {
        return _queues.at(queue).stats(time);
    }

  private:
    friend struct CoreTestAccess;
    std::map<QueueKey, Queue> _queues;
};
