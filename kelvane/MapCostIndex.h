// The map costs of a queue's waiting single players, indexed so that the map choice takes the
// cheapest players for a map without walking everyone who waits.
//
// Most players cost 0 for most maps: a player's cost is non-zero only for the maps of its recent
// lists. So per level, class and map of the pool the index keeps just the players with a non-zero
// cost, ordered by cost; the zero-cost players are found by walking the level's list of that class
// from its newest end, passing over the players that the map's set holds. A selection then costs
// about the number of players it returns plus those it passes over, and taking a player in or out
// costs a few set operations, whatever the number waiting.
//
// List order is enqueue time, equal times in arrival order; the index reproduces it from the time
// and an arrival number it hands out itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "SquadKeysSortedList.h"
#include "Types.h"

class MapCostIndex {
  public:
    // Indexes costs for the maps of pool only; costs for other maps are never asked for.
    void setPool(const std::set<int>& pool);

    // Takes a single player in with its cost for each map (maps outside the pool and costs of 0
    // are ignored). REQUIRES: key not indexed; level in 0 .. LEVEL_COUNT - 1; cls a class from
    // condSquad to condHeavy. On failure (allocation) the index is left as it was.
    void add(SquadKey key, int level, int cls, MatchmakerTime time,
             const std::map<int, int>& costs);
    // Forgets key; an unknown key changes nothing. Never throws.
    void remove(SquadKey key) noexcept;

    // The `players` cheapest players of players[level][cls] (the list `list`, which must hold
    // exactly the players added with that level and class) for `map`: lowest cost first, a later
    // arrival before an earlier one at equal cost. They are written to result from the highest
    // cost down, equal costs oldest first; returns the sum of their costs.
    // REQUIRES: map in the pool.
    int64_t select(MapKey map, int players, int level, int cls, const SquadKeysSortedList& list,
                   std::vector<SquadKey>& result) const;

  private:
    // Ordered cheapest first and, at equal cost, newest first.
    struct Entry {
        int cost;
        MatchmakerTime time;
        uint64_t arrival;
        SquadKey key;
        bool operator<(const Entry& other) const {
            if (cost != other.cost) return cost < other.cost;
            if (time != other.time) return time > other.time;
            return arrival > other.arrival;
        }
    };
    using Costed = std::set<Entry>;

    struct Player {
        MatchmakerTime time;
        uint64_t arrival;
        int level;
        int cls;
        // (pool slot, cost) for every pool map with a non-zero cost, ascending by slot.
        std::vector<std::pair<size_t, int>> costs;
    };

    // The slot of map in the pool, or the pool's size if it is not there.
    size_t _slot(MapKey map) const;
    // Cost of the indexed player for the map at slot; 0 when it has none.
    static int _costAt(const Player& player, size_t slot);
    Costed& _costed(int level, int cls, size_t slot) {
        return _byMap[(static_cast<size_t>(level) * CONDITION_COUNT + cls) * _pool.size() + slot];
    }
    const Costed& _costed(int level, int cls, size_t slot) const {
        return _byMap[(static_cast<size_t>(level) * CONDITION_COUNT + cls) * _pool.size() + slot];
    }

    std::vector<MapKey> _pool;  // ascending
    // [level][class][slot], flattened.
    std::vector<Costed> _byMap;
    // Only players with a non-zero cost for some pool map; the others cost 0 everywhere.
    std::unordered_map<SquadKey, Player> _players;
    uint64_t _arrivals = 0;
};
