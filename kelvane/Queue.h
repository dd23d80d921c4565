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
#include <set>
#include <vector>

#include "MapCostIndex.h"
#include "SquadInfo.h"
#include "SquadRosterGenerator.h"
#include "Types.h"

class Queue {
  public:
    explicit Queue(ConfigTuple config);

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

    // Per class, one end of the differences the levels above a level can add up to: three
    // levels' places may exceed 32 bits.
    using ClassRange = std::array<int64_t, CONDITION_COUNT>;
    // Per class: the difference of the running totals, then the room left under the cap in
    // team A and in team B.
    using MemoKey = std::array<int32_t, 3 * CONDITION_COUNT>;

  private:
    friend struct CoreTestAccess;

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
    // Searches `level` and the levels above it, given the running totals and the penalty of the
    // levels below; improves _firstPass.best.
    void _processLevel(int level, const SquadRoster& current, int64_t penalty, const Tmb& tmb);
    // Whether single players complete the squad-th composition of a level with nothing fixed
    // yet; records it, and leaves the rosters found in the level's buffer.
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
    int _generateSolution(const MatchingResult& result, int solutionIndex,
                          std::vector<int>& solution) const;
    Conditions _getSquadConditions(const SquadRoster& current, int size, int level) const;
    Conditions _getPlayerConditions(const SquadRoster& current, int size, int level) const;
    // With a bound, leaves out the rosters whose bound reaches its budget.
    void _processPlayers(int type, MatchingResult& result, int index, const Conditions& conditions,
                         const TeamState& players, SquadRoster current, int freeA, int freeB,
                         FillBound* bound = nullptr);
    static bool _checkPlayers(int& teamA, int& teamB, int imbalance, int squadA, int squadB,
                              int available, int maxTeamA, int maxTeamB);

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
    int bestSolutionPenalty = 10000000;

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

class Matchmaker {
  public:
    // Seeds the process-wide rand() with seed and builds one queue per configured key.
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
