#include "MapCostIndex.h"

#include <algorithm>
#include <cassert>

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

void MapCostIndex::add(SquadKey key, int level, int cls, MatchmakerTime time,
                       const std::map<int, int>& costs) {
    auto next = costs.begin();
    try {
        for (; next != costs.end(); ++next) {
            const auto [map, cost] = *next;
            // Costs only ever grow from 0, so a player without an entry costs nothing.
            assert(cost >= 0);
            const size_t slot = _slot(map);
            if (cost == 0 || slot == _pool.size()) continue;
            Costed& costed = _costed(level, cls, slot);
            const auto group = costed.groups.try_emplace(cost).first;
            try {
                // After every equal time, as the list keeps it: at the end in the usual case.
                group->second.emplace_hint(group->second.end(), Arrival{time, key});
            } catch (...) {
                if (group->second.empty()) costed.groups.erase(group);
                throw;
            }
            ++costed.size;
        }
    } catch (...) {
        // Undo the maps placed so far.
        for (auto placed = costs.begin(); placed != next; ++placed) {
            const size_t slot = _slot(placed->first);
            if (placed->second != 0 && slot != _pool.size())
                _erase(_costed(level, cls, slot), placed->second, key, time);
        }
        throw;
    }
}

void MapCostIndex::_erase(Costed& costed, int cost, SquadKey key, MatchmakerTime time) noexcept {
    const auto group = costed.groups.find(cost);
    if (group == costed.groups.end()) return;
    // Players of equal time lie side by side; the key is among them.
    for (auto first = group->second.lower_bound(Arrival{time, key});
         first != group->second.end() && first->time == time; ++first) {
        if (first->key != key) continue;
        group->second.erase(first);
        if (group->second.empty()) costed.groups.erase(group);
        --costed.size;
        return;
    }
}

void MapCostIndex::remove(SquadKey key, int level, int cls, MatchmakerTime time,
                          const std::map<int, int>& costs) noexcept {
    for (const auto& [map, cost] : costs) {
        const size_t slot = _slot(map);
        if (cost != 0 && slot != _pool.size()) _erase(_costed(level, cls, slot), cost, key, time);
    }
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
            const auto costs = lastMaps.find(key);
            if (costs != lastMaps.end()) {
                const auto cost = costs->second.find(map);
                if (cost != costs->second.end() && cost->second != 0) continue;
            }
        }
        result[--at] = key;
    }
    return total;
}
