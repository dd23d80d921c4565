#include "MapCostIndex.h"

#include <algorithm>
#include <cassert>
#include <iterator>

void MapCostIndex::setPool(const std::set<int>& pool) {
    _pool.assign(pool.begin(), pool.end());
    _byMap.clear();
    _byMap.resize(static_cast<size_t>(LEVEL_COUNT) * CONDITION_COUNT * _pool.size());
}

size_t MapCostIndex::_slot(MapKey map) const {
    const auto found = std::lower_bound(_pool.begin(), _pool.end(), map);
    return found != _pool.end() && *found == map ? static_cast<size_t>(found - _pool.begin())
                                                 : _pool.size();
}

void MapCostIndex::add(SquadKey key, int level, int cls, MatchmakerTime time, SquadCosts& squad) {
    assert(squad.placed.empty());
    try {
        for (const auto& [map, cost] : squad.costs) {
            // Costs only ever grow from 0, so a player without an entry costs nothing.
            assert(cost >= 0);
            const size_t slot = _slot(map);
            if (cost == 0 || slot == _pool.size()) continue;
            Costed& costed = _costed(level, cls, slot);
            squad.placed.reserve(squad.costs.size());
            const auto group = costed.groups.try_emplace(cost).first;
            try {
                // After every equal time, as the list keeps it: at the end in the usual case, else
                // after the last player who came no later.
                Group& players = group->second;
                auto before = players.end();
                while (before != players.begin() && time < std::prev(before)->time) --before;
                const auto at = players.emplace(before, Arrival{time, key});
                squad.placed.push_back(Placed{&costed, group, at});  // reserved: cannot throw
            } catch (...) {
                if (group->second.empty()) costed.groups.erase(group);
                throw;
            }
            ++costed.size;
        }
    } catch (...) {
        remove(squad);  // the placements made so far
        throw;
    }
}

void MapCostIndex::_erase(const Placed& placed) noexcept {
    placed.group->second.erase(placed.at);
    if (placed.group->second.empty()) placed.costed->groups.erase(placed.group);
    --placed.costed->size;
}

void MapCostIndex::remove(SquadCosts& squad) noexcept {
    for (const Placed& placed : squad.placed) _erase(placed);
    squad.placed.clear();
}

int64_t MapCostIndex::select(MapKey map, int players, int level, int cls,
                             const SquadKeysSortedList& list, const LastMaps& lastMaps,
                             std::vector<SquadKey>& result) const {
    result.clear();
    if (players <= 0) return 0;
    const size_t slot = _slot(map);
    const Costed* costed = slot < _pool.size() ? &_costed(level, cls, slot) : nullptr;
    const size_t costedCount = costed != nullptr ? costed->size : 0;
    const size_t wanted = static_cast<size_t>(players);
    // Every zero-cost player ranks before every costed one.
    const size_t zeros = std::min(wanted, list.size() - costedCount);
    const size_t paid = std::min(wanted - zeros, costedCount);
    result.resize(paid + zeros);

    // Both parts are walked cheapest first, newest first at equal cost, and written from the
    // back, so that result runs from the highest cost down and, at equal cost, oldest first.
    int64_t total = 0;
    size_t at = paid;
    for (auto group = paid > 0 ? costed->groups.begin() : Groups::const_iterator(); at > 0;
         ++group) {
        for (auto player = group->second.rbegin(); player != group->second.rend() && at > 0;
             ++player) {
            result[--at] = player->key;
            total += group->first;
        }
    }
    at = paid + zeros;
    for (auto entry = list.end(); at > paid && entry != list.begin();) {
        --entry;
        const SquadKey key = entry->second;
        if (costedCount != 0) {
            // Passed over when it has a cost for the map: it is among the costed ones.
            const auto squad = lastMaps.find(key);
            if (squad != lastMaps.end()) {
                const auto cost = squad->second.costs.find(map);
                if (cost != squad->second.costs.end() && cost->second != 0) continue;
            }
        }
        result[--at] = key;
    }
    return total;
}
