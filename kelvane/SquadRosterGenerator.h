// The squads of two or more players at one level of a queue, and the table of every distinct pair
// of team compositions (team A, team B) they can form. Each composition keeps one way to build it,
// the squad that first completed it, so a chosen composition can be turned back into keys.
//
// The table grows by one pass per arriving squad and is rebuilt after a removal, both done only
// when the table is next used, so that an arrival or a departure costs little whatever the table
// holds. The result is the same as if every pass were done on arrival. Only the
// MAX_SQUAD_IN_QUEUE oldest squads take part, and no team holds more than
// MAX_SQUAD_PLAYER_PER_LEVEL squad players or more than 3 SPGs, which keeps it small.
#pragma once

#include <map>
#include <utility>
#include <vector>

#include "NodePool.h"
#include "SquadKeysSortedList.h"
#include "Types.h"

class SquadRosterGenerator {
  public:
    SquadRosterGenerator() { _resetState(); }

    // Records a squad (counts per class, condSquad = members); the table takes it in on its
    // next use.
    // REQUIRES: key not known here.
    void enqueue(TeamState state, SquadKey key, MatchmakerTime time);
    // Forgets key; true iff it was known. The table is rebuilt on its next use.
    bool dequeue(SquadKey key);
    // Appends every composition that meets squadConditions, in ascending order, each with index
    // as its parent. Entries already in result are kept.
    void get(MatchingResult& result, int index, const Conditions& squadConditions);
    // Appends the keys of the squads that build roster to teams.first and teams.second, the squad
    // that completed it first. REQUIRES: roster was emitted by get with no change since, or is
    // in the table that get would walk now.
    void addSquadsToTeam(Teams& teams, SquadRoster roster);
    // The earliest enqueue time of the squads known here, or defaultTime when there are none.
    MatchmakerTime oldest(MatchmakerTime defaultTime) const {
        return _keysList.getMinTime(defaultTime);
    }

  private:
    friend struct CoreTestAccess;
    // Composition -> (key of the squad that completed it, whether that squad went to team A),
    // sorted by composition, each composition once. Contiguous: the search walks the table once
    // per visit of a level, far more often than the table changes.
    using AllRosters = std::vector<std::pair<SquadRoster, std::pair<uint64_t, bool>>>;

    void _resetState();
    void _updateState();
    // Does the table work noted by enqueue, or the rebuild after a removal.
    void _bringUpToDate();
    void _processSquad(SquadKey key);
    // _processSquad on the packed codes of the table; the general one serves any other squad.
    void _processPacked(SquadKey key, const TeamState& state);
    void _processGeneral(SquadKey key, const TeamState& state);
    // A squad whose counts lie in 0 .. MAX_SQUAD_PLAYER_PER_LEVEL with no more members in the
    // special classes than members: every team built of such squads that passes _isStateValid
    // has all its counts in 0 .. 6, so a composition packs into 4 bits a count.
    static bool _isPackable(const TeamState& state);
    static uint64_t _pack(const SquadRoster& roster);
    static SquadRoster _unpack(uint64_t code);
    static bool _isStateValid(const TeamState& team);
    static bool _isRosterMatched(const SquadRoster& roster, const Conditions& conditions);

    AllRosters _rosters;
    // While _packed, the code of each composition of _rosters, in the same order: team A's counts
    // then team B's, 4 bits each, the first count highest, so that codes sort as compositions do.
    std::vector<uint64_t> _codes;
    bool _packed = true;
    // Scratch of _processPacked, kept so that an extension allocates only while it grows.
    std::vector<std::pair<uint64_t, size_t>> _toA, _toB;
    AllRosters _mergedRosters;
    std::vector<uint64_t> _mergedCodes;
    std::map<SquadKey, TeamState, std::less<SquadKey>,
             nodepool::Allocator<std::pair<const SquadKey, TeamState>>>
        _squadsData;
    SquadKeysSortedList _keysList;
    // False after a removal: the table is rebuilt from _keysList before its next use.
    bool _isValid = true;
    // Table work noted by enqueue and not done yet, done in this order on the next use: a reset
    // if _pendingReset, then an extension by each squad of _pending. Every key in it is known.
    std::vector<SquadKey> _pending;
    bool _pendingReset = false;
};
