// The registry of the squads waiting in one queue. Lists single players per level and class,
// oldest first; counts players per class and keeps the sums of their enqueue times, so that the
// average wait costs constant work, and counts players and squad sizes per level.
#pragma once

#include <map>
#include <unordered_map>
#include <vector>

#include "NodePool.h"
#include "SquadKeysSortedList.h"
#include "Types.h"

class SquadInfo {
  public:
    // REQUIRES: level in 0 .. LEVEL_COUNT - 1; key not registered.
    void add(SquadKey key, MatchmakerTime time, int level, const std::vector<VehType>& types);
    // Forgets key. Returns its level when it has a member count other than one (so the owner can
    // drop it from that level's roster generator), otherwise -1; -1 too for an unknown key.
    int remove(SquadKey key);

    bool contains(SquadKey key) const { return _squadInfo.count(key) != 0; }
    // The single players of one level and class, oldest first.
    // REQUIRES: level in 0 .. LEVEL_COUNT - 1, type in condSquad .. condHeavy.
    const SquadKeysSortedList& getSquads(int level, int type) const {
        return _players[level][type];
    }
    TeamState getPlayerCounts(int level) const;
    // Players and entries (a single player is one entry) waiting.
    size_t players() const { return _waitingPlayers; }
    size_t entries() const { return _squadInfo.size(); }
    // Players waiting at a level, squad members included.
    size_t levelPlayers(int level) const { return _levelPlayers[level]; }
    // Squads of a member count other than one waiting at a level: members -> squads.
    const std::map<size_t, size_t>& squadSizes(int level) const { return _squadSizes[level]; }
    // The mean of the per-class mean enqueue times, subtracted from time; every class with players
    // weighs the same. 0 when nobody waits, and 0 when time is earlier than that mean.
    MatchmakerTime getAvgWaitTime(MatchmakerTime time) const;

  private:
    friend struct CoreTestAccess;
    // Wide enough that no number of 64-bit enqueue times can wrap the sum.
    using TimeSum = unsigned __int128;

    std::array<std::array<SquadKeysSortedList, CONDITION_COUNT>, LEVEL_COUNT> _players;
    // What a removal needs, held in the entry itself: the members are counted per class, since
    // their order matters to nobody.
    struct Registered {
        MatchmakerTime time;
        int level;
        VehCondition single;  // the class of a one-member squad
        size_t members;
        std::array<size_t, CONDITION_COUNT> perClass;
        SquadKeysSortedList::iterator listed;  // a single player's entry in its list
    };
    std::unordered_map<SquadKey, Registered, std::hash<SquadKey>, std::equal_to<SquadKey>,
                       nodepool::Allocator<std::pair<const SquadKey, Registered>>>
        _squadInfo;
    // Adds (sign 1) or takes away (sign -1) the members of entry in the totals.
    void _count(const Registered& entry, int sign);
    std::array<TimeSum, CONDITION_COUNT> _totalTime{};
    std::array<int, CONDITION_COUNT> _totalPlayers{};
    // Kept as squads come and go, so that what a queue holds is read at constant cost.
    size_t _waitingPlayers = 0;
    std::array<size_t, LEVEL_COUNT> _levelPlayers{};
    std::array<std::map<size_t, size_t>, LEVEL_COUNT> _squadSizes;
};
