// Shared vocabulary of the matchmaking core: times and keys, the two vehicle enumerations, the
// five-slot count vectors all balancing works on, the records passed between the search steps, the
// per-queue configuration and the tuning constants.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

// Times and durations in the caller's own unit.
using MatchmakerTime = uint64_t;
using SquadKey = uint64_t;
// 0 is what a formation call that formed no battle returns.
using MapKey = int32_t;
using QueueKey = int32_t;

// Vehicle type of one squad member, as scripts pass it.
enum VehType : int32_t {
    typeOther = 0,
    typeLight = 1,
    typeMedium = 2,
    typeHeavy = 3,
    typeAtspg = 4,
    typeSpg = 5,
    typeScout = 6,
    typeMediumFs = 7,
    typeMediumAl = 8,
    typeMediumAr = 9,
    typeHeavyAl = 10,
    typeHeavyAr = 11,
    typeAtspgGl = 12,
    typeAtspgAr = 13,
};

// Class used for balancing. condSquad doubles as the class of vehicles in none of the four special
// classes, and as the member count of a squad composition. condTotal is never an index.
enum VehCondition : int32_t {
    condSquad = 0,
    condScout = 1,
    condSpg = 2,
    condAt = 3,
    condHeavy = 4,
    condTotal = 5,
};

constexpr int CONDITION_COUNT = 5;
constexpr int LEVEL_COUNT = 3;
// Most squad members one team of a composition may hold at one level.
constexpr int MAX_SQUAD_PLAYER_PER_LEVEL = 6;
// Most squads per level the roster generator enumerates, oldest first.
constexpr int MAX_SQUAD_IN_QUEUE = 16;
// Each older recent map costs this many times less than the one before it.
constexpr double MAPS_DIST_COEFF = 1.5;
// Seconds a formation call may search.
constexpr double TICK_TIMEOUT = 0.045;

// Never fails: values outside the enumeration are of no special class.
VehCondition convertVehTypes(VehType type);

// Per-class counts (or limits, or weights), indexed by VehCondition.
using TeamState = std::array<int32_t, CONDITION_COUNT>;
// first is team A, second team B. Ordered lexicographically where it keys a map.
using SquadRoster = std::pair<TeamState, TeamState>;

// Bounds one class of a roster must meet: 0 <= A <= maxTeamASize, 0 <= B <= maxTeamBSize,
// minTeamImbalance <= A - B <= maxTeamImbalance, all inclusive.
struct SquadCondition {
    int32_t maxTeamASize = 0;
    int32_t maxTeamBSize = 0;
    int32_t minTeamImbalance = 0;
    int32_t maxTeamImbalance = 0;

    SquadCondition() = default;
    SquadCondition(int maxASize, int maxBSize, int minImbalance, int maxImbalance)
        : maxTeamASize(maxASize),
          maxTeamBSize(maxBSize),
          minTeamImbalance(minImbalance),
          maxTeamImbalance(maxImbalance) {}
};

using Conditions = std::array<SquadCondition, CONDITION_COUNT>;

// The first pass's search tree: each roster with the index of the entry it extends (-1 for none).
using MatchingResult = std::vector<std::tuple<SquadRoster, int>>;

// Per level: (squad composition, single players) of both teams.
using Solution = std::array<std::pair<SquadRoster, SquadRoster>, LEVEL_COUNT>;

// Squad keys of team A (first) and team B (second).
using Teams = std::pair<std::vector<SquadKey>, std::vector<SquadKey>>;

// Places per team at the top, middle and bottom level, then the average wait from which the
// layout is tried.
using Tmb = std::array<uint32_t, 4>;

// Per class: entry k is the average wait from which an imbalance of k is tolerated.
using ImbalanceTimeouts = std::array<std::vector<uint32_t>, CONDITION_COUNT>;

// One queue's configuration: maps, layouts, total and level imbalance timeouts, vehicle caps.
using ConfigTuple = std::tuple<std::set<int>, std::vector<Tmb>, ImbalanceTimeouts,
                               ImbalanceTimeouts, TeamState>;

// Penalty weights of the team search, indexed by VehCondition.
inline constexpr TeamState squadPenalty = {20, 5, 10, 3, 3};
inline constexpr TeamState playersPenalty = {0, 5, 10, 3, 3};
inline constexpr TeamState levelPenalty = {0, 20, 100, 10, 10};
inline constexpr TeamState totalPenalty = {30, 45, 200, 25, 20};

// Element-wise arithmetic; counts may go negative in intermediate results.
TeamState& operator+=(TeamState& left, const TeamState& right);
TeamState& operator-=(TeamState& left, const TeamState& right);
TeamState operator+(TeamState left, const TeamState& right);
TeamState operator-(TeamState left, const TeamState& right);
SquadRoster& operator+=(SquadRoster& left, const SquadRoster& right);
SquadRoster& operator-=(SquadRoster& left, const SquadRoster& right);
SquadRoster operator+(SquadRoster left, const SquadRoster& right);
SquadRoster operator-(SquadRoster left, const SquadRoster& right);
