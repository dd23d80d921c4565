#include "MapCostIndex.h"

#include <algorithm>
#include <cassert>

void MapCostIndex::setPool(const std::set<int>& pool) {
    assert(_players.empty());
    _pool.assign(pool.begin(), pool.end());
    _byMap.assign(static_cast<size_t>(LEVEL_COUNT) * CONDITION_COUNT * _pool.size(), Costed());
}

size_t MapCostIndex::_slot(MapKey map) const {
    const auto found = std::lower_bound(_pool.begin(), _pool.end(), map);
    return found != _pool.end() && *found == map ? static_cast<size_t>(found - _pool.begin())
                                                 : _pool.size();
}

int MapCostIndex::_costAt(const Player& player, size_t slot) {
    // A handful of entries: the maps of the player's recent lists that are in the pool.
    for (const auto& [at, cost] : player.costs)
        if (at == slot) return cost;
    return 0;
}

void MapCostIndex::add(SquadKey key, int level, int cls, MatchmakerTime time,
                       const std::map<int, int>& costs) {
    Player player{time, _arrivals++, level, cls, {}};
    for (const auto& [map, cost] : costs) {
        // Costs only ever grow from 0, so a player without an entry here costs nothing.
        assert(cost >= 0);
        if (cost == 0) continue;
        const size_t slot = _slot(map);
        if (slot < _pool.size()) player.costs.emplace_back(slot, cost);
    }
    if (player.costs.empty()) return;
    const auto added = _players.emplace(key, std::move(player)).first;
    try {
        const Player& p = added->second;
        for (const auto& [slot, cost] : p.costs)
            _costed(level, cls, slot).insert(Entry{cost, time, p.arrival, key});
    } catch (...) {
        remove(key);  // erases whichever entries made it in
        throw;
    }
}

void MapCostIndex::remove(SquadKey key) noexcept {
    const auto found = _players.find(key);
    if (found == _players.end()) return;
    const Player& p = found->second;
    for (const auto& [slot, cost] : p.costs)
        _costed(p.level, p.cls, slot).erase(Entry{cost, p.time, p.arrival, key});
    _players.erase(found);
}

int64_t MapCostIndex::select(MapKey map, int players, int level, int cls,
                             const SquadKeysSortedList& list, std::vector<SquadKey>& result) const {
    result.clear();
    if (players <= 0) return 0;
    const size_t slot = _slot(map);
    const Costed* costed = slot < _pool.size() ? &_costed(level, cls, slot) : nullptr;
    const size_t costedCount = costed != nullptr ? costed->size() : 0;
    const size_t wanted = static_cast<size_t>(players);
    // Every zero-cost player ranks before every costed one.
    const size_t zeros = std::min(wanted, list.size() - costedCount);
    const size_t paid = std::min(wanted - zeros, costedCount);
    result.resize(paid + zeros);

    // Both parts are walked cheapest first and written from the back, so that result runs from
    // the highest cost down and, at equal cost, oldest first.
    int64_t total = 0;
    if (paid > 0) {
        size_t at = paid;
        for (auto entry = costed->begin(); at > 0; ++entry) {
            result[--at] = entry->key;
            total += entry->cost;
        }
    }
    size_t at = paid + zeros;
    for (auto entry = list.end(); at > paid && entry != list.begin();) {
        --entry;
        const SquadKey key = entry->second;
        if (costedCount != 0) {
            const auto player = _players.find(key);
            if (player != _players.end() && _costAt(player->second, slot) != 0) continue;
        }
        result[--at] = key;
    }
    return total;
}
