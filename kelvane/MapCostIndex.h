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
// List order is enqueue time, equal times in arrival order; the index keeps the same order. Where
// a player stands is kept with its costs, which the queue looks up anyway when the player leaves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "NodePool.h"
#include "SquadKeysSortedList.h"
#include "Types.h"

class MapCostIndex {
    // List order: enqueue time; equal times stay in arrival order.
    struct Arrival {
        MatchmakerTime time;
        SquadKey key;
    };
    // The players of one cost, oldest first. New players nearly always arrive last, so taking
    // one in touches only the end of its group, and a departure only its neighbours; and few
    // costs occur (1000, 666, 444, ... and their sums), so the groups stay few and quick to find.
    using Group = std::list<Arrival, nodepool::Allocator<Arrival>>;
    using Groups =
        std::map<int, Group, std::less<int>, nodepool::Allocator<std::pair<const int, Group>>>;
    // The players of one level and class with a non-zero cost for one map, by cost.
    struct Costed {
        Groups groups;
        size_t size = 0;
    };

  public:
    // Where a player stands in the index for one map.
    struct Placed {
        Costed* costed;
        Groups::iterator group;
        Group::iterator at;
    };
    // A waiting squad's cost per map and, for a single player, where it stands in the index:
    // taking it out then needs no search.
    struct SquadCosts {
        // map -> cost; a map without an entry costs 0
        std::map<int, int, std::less<int>, nodepool::Allocator<std::pair<const int, int>>> costs;
        std::vector<Placed> placed;
    };
    using LastMaps =
        std::unordered_map<SquadKey, SquadCosts, std::hash<SquadKey>, std::equal_to<SquadKey>,
                           nodepool::Allocator<std::pair<const SquadKey, SquadCosts>>>;

    MapCostIndex() = default;
    // Placements point into the index: it is moved with its queue, never copied.
    MapCostIndex(const MapCostIndex&) = delete;
    MapCostIndex& operator=(const MapCostIndex&) = delete;
    MapCostIndex(MapCostIndex&&) = default;
    MapCostIndex& operator=(MapCostIndex&&) = default;

    // Indexes costs for the maps of pool only; costs for other maps are never asked for.
    // REQUIRES: nobody indexed yet.
    void setPool(const std::set<int>& pool);

    // Takes a single player in with its costs (maps outside the pool and costs of 0 are left
    // out), recording where it stands in squad.placed. REQUIRES: squad not indexed; level in
    // 0 .. LEVEL_COUNT - 1; cls a class from condSquad to condHeavy. On failure (allocation) the
    // index and squad are left as they were.
    void add(SquadKey key, int level, int cls, MatchmakerTime time, SquadCosts& squad);
    // Takes the player of squad out again; one not indexed changes nothing. Never throws.
    void remove(SquadCosts& squad) noexcept;

    // The `players` cheapest players of one level and class for `map`: lowest cost first, a
    // later arrival before an earlier one at equal cost. They are written to result from the
    // highest cost down, equal costs oldest first; returns the sum of their costs. `list` holds
    // exactly the players added with that level and class, and lastMaps their costs.
    // REQUIRES: map in the pool.
    int64_t select(MapKey map, int players, int level, int cls, const SquadKeysSortedList& list,
                   const LastMaps& lastMaps, std::vector<SquadKey>& result) const;

  private:
    // The slot of map in the pool, or the pool's size if it is not there.
    size_t _slot(MapKey map) const;
    // Erases one placement. Never throws.
    static void _erase(const Placed& placed) noexcept;
    Costed& _costed(int level, int cls, size_t slot) {
        return _byMap[(static_cast<size_t>(level) * CONDITION_COUNT + cls) * _pool.size() + slot];
    }
    const Costed& _costed(int level, int cls, size_t slot) const {
        return _byMap[(static_cast<size_t>(level) * CONDITION_COUNT + cls) * _pool.size() + slot];
    }

    std::vector<MapKey> _pool;  // ascending
    // [level][class][slot], flattened; sized once by setPool, so placements may point into it.
    std::vector<Costed> _byMap;
};
