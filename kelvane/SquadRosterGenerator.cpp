#include "SquadRosterGenerator.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

void SquadRosterGenerator::_resetState() {
    _isValid = true;
    _rosters.clear();
    _codes.clear();
    // The empty composition ends every chain of addSquadsToTeam.
    _rosters.emplace_back(SquadRoster{}, std::make_pair(uint64_t{0}, false));
    _codes.push_back(0);
    _packed = true;
}

bool SquadRosterGenerator::_isPackable(const TeamState& state) {
    int special = 0;
    for (int i = condSquad; i < condTotal; ++i) {
        if (state[i] < 0 || state[i] > MAX_SQUAD_PLAYER_PER_LEVEL) return false;
        if (i != condSquad) special += state[i];
    }
    return special <= state[condSquad];
}

uint64_t SquadRosterGenerator::_pack(const SquadRoster& roster) {
    uint64_t code = 0;
    for (int i = condSquad; i < condTotal; ++i) code = code << 4 | uint64_t(roster.first[i]);
    for (int i = condSquad; i < condTotal; ++i) code = code << 4 | uint64_t(roster.second[i]);
    return code;
}

SquadRoster SquadRosterGenerator::_unpack(uint64_t code) {
    SquadRoster roster;
    for (int i = condTotal; i-- > condSquad;) {
        roster.second[i] = static_cast<int32_t>(code & 15);
        code >>= 4;
    }
    for (int i = condTotal; i-- > condSquad;) {
        roster.first[i] = static_cast<int32_t>(code & 15);
        code >>= 4;
    }
    return roster;
}

bool SquadRosterGenerator::_isStateValid(const TeamState& team) {
    return team[condSquad] <= MAX_SQUAD_PLAYER_PER_LEVEL && team[condSpg] <= 3;
}

void SquadRosterGenerator::_processSquad(SquadKey key) {
    const TeamState state = _squadsData.at(key);
    if (_packed && _isPackable(state)) {
        _processPacked(key, state);
    } else {
        _processGeneral(key, state);
    }
}

void SquadRosterGenerator::_processPacked(SquadKey key, const TeamState& state) {
    // The same walk as _processGeneral, on codes. Table counts are at most 6 and the squad's too,
    // so a sum stays below 16 in every field: adding codes adds the counts of one team, and the
    // placements keep the table's order.
    const uint64_t stateCode = _pack(SquadRoster(state, TeamState{}));
    const uint64_t addA = stateCode, addB = stateCode >> 20;
    constexpr int SQUAD_A = 36, SPG_A = 28, SQUAD_B = 16, SPG_B = 8;
    const auto validAt = [](uint64_t code, int squadShift, int spgShift) {
        return ((code >> squadShift) & 15) <= uint64_t(MAX_SQUAD_PLAYER_PER_LEVEL) &&
               ((code >> spgShift) & 15) <= 3;
    };
    _toA.clear();
    _toB.clear();
    const size_t size = _codes.size();
    const uint64_t* codes = _codes.data();
    size_t seekA = 0, seekB = 0;
    for (size_t position = 0; position < size; ++position) {
        const uint64_t teamA = codes[position] + addA;
        if (validAt(teamA, SQUAD_A, SPG_A)) {
            while (seekA < size && codes[seekA] < teamA) ++seekA;
            if (seekA == size || teamA < codes[seekA]) _toA.emplace_back(teamA, position);
        }
        const uint64_t teamB = codes[position] + addB;
        if (validAt(teamB, SQUAD_B, SPG_B)) {
            while (seekB < size && codes[seekB] < teamB) ++seekB;
            if (seekB == size || teamB < codes[seekB]) _toB.emplace_back(teamB, position);
        }
    }
    // Merged in one pass: the table, the new compositions of team A and of team B. A
    // composition reached both ways keeps the way found first: the earlier entry, and for the
    // same entry the placement in team A.
    _mergedRosters.clear();
    _mergedCodes.clear();
    _mergedRosters.reserve(size + _toA.size() + _toB.size());
    _mergedCodes.reserve(size + _toA.size() + _toB.size());
    size_t old = 0, a = 0, b = 0;
    constexpr uint64_t NONE = ~uint64_t{0};  // above every code
    while (true) {
        const uint64_t nextOld = old < size ? codes[old] : NONE;
        const uint64_t nextA = a < _toA.size() ? _toA[a].first : NONE;
        const uint64_t nextB = b < _toB.size() ? _toB[b].first : NONE;
        if (nextOld == NONE && nextA == NONE && nextB == NONE) break;
        if (nextOld < nextA && nextOld < nextB) {
            _mergedRosters.push_back(_rosters[old]);
            _mergedCodes.push_back(nextOld);
            ++old;
            continue;
        }
        bool inA;
        if (nextA < nextB) {
            inA = true;
            ++a;
        } else if (nextB < nextA) {
            inA = false;
            ++b;
        } else {
            inA = _toA[a].second <= _toB[b].second;
            ++a;
            ++b;
        }
        const uint64_t code = inA ? nextA : nextB;
        _mergedRosters.emplace_back(_unpack(code), std::make_pair(key, inA));
        _mergedCodes.push_back(code);
    }
    // Swapped in only when complete: a failed extension changes nothing.
    _rosters.swap(_mergedRosters);
    _codes.swap(_mergedCodes);
}

void SquadRosterGenerator::_processGeneral(SquadKey key, const TeamState& state) {
    _packed = false;  // the table may now hold counts that do not pack
    _codes.clear();
    // Adding the squad to one team keeps the table's order: walking the table in ascending order
    // gives each team's placements in ascending order too. So every placement is looked up with a
    // cursor into the table that only moves forward, and the new compositions of each team come
    // out sorted. Only the table as it was is walked: every link then leads to a composition
    // built from squads processed strictly earlier.
    std::vector<std::pair<SquadRoster, size_t>> toA, toB;  // composition, entry it extends
    const size_t size = _rosters.size();
    size_t seekA = 0, seekB = 0;
    for (size_t position = 0; position < size; ++position) {
        const TeamState& teamA0 = _rosters[position].first.first;
        const TeamState& teamB0 = _rosters[position].first.second;
        const TeamState teamA = teamA0 + state;
        if (_isStateValid(teamA)) {
            SquadRoster roster(teamA, teamB0);
            while (seekA < size && _rosters[seekA].first < roster) ++seekA;
            if (seekA == size || roster < _rosters[seekA].first) toA.emplace_back(roster, position);
        }
        const TeamState teamB = teamB0 + state;
        if (_isStateValid(teamB)) {
            SquadRoster roster(teamA0, teamB);
            while (seekB < size && _rosters[seekB].first < roster) ++seekB;
            if (seekB == size || roster < _rosters[seekB].first) toB.emplace_back(roster, position);
        }
    }
    // A composition reached both ways keeps the way found first: the earlier entry, and for the
    // same entry the placement in team A.
    AllRosters fresh;
    fresh.reserve(toA.size() + toB.size());
    size_t a = 0, b = 0;
    while (a < toA.size() || b < toB.size()) {
        bool inA;
        if (b == toB.size() || (a < toA.size() && toA[a].first < toB[b].first)) {
            inA = true;
            ++a;
        } else if (a == toA.size() || toB[b].first < toA[a].first) {
            inA = false;
            ++b;
        } else {
            inA = toA[a].second <= toB[b].second;
            ++a;
            ++b;
        }
        fresh.emplace_back(inA ? toA[a - 1].first : toB[b - 1].first, std::make_pair(key, inA));
    }
    AllRosters merged;
    merged.reserve(size + fresh.size());
    std::merge(_rosters.begin(), _rosters.end(), fresh.begin(), fresh.end(),
               std::back_inserter(merged),
               [](const auto& x, const auto& y) { return x.first < y.first; });
    // Swapped in only when complete: a failed extension changes nothing.
    _rosters.swap(merged);
}

void SquadRosterGenerator::_updateState() {
    _pending.clear();
    _pendingReset = false;
    _resetState();
    try {
        int processed = 0;
        for (const auto& entry : _keysList) {
            if (processed++ == MAX_SQUAD_IN_QUEUE) break;
            _processSquad(entry.second);
        }
    } catch (...) {
        _isValid = false;  // a rebuild cut short is redone on the next use
        throw;
    }
}

void SquadRosterGenerator::enqueue(TeamState state, SquadKey key, MatchmakerTime time) {
    const auto entry = _squadsData.insert_or_assign(key, state).first;
    try {
        _keysList.push_back(key, time);
    } catch (...) {
        _squadsData.erase(entry);
        throw;
    }
    // Beyond the limit the squad waits until a rebuild finds it among the oldest.
    if (_keysList.size() > static_cast<size_t>(MAX_SQUAD_IN_QUEUE)) return;
    // The table work is only noted here and done on the table's next use, so that an arrival
    // costs the same whatever the table holds, and work that a departure would void is never
    // done. The note keeps the order of the work: an extension by this squad, or a rebuild from
    // the list as it is now.
    try {
        if (_isValid) {
            _pending.push_back(key);
        } else {
            std::vector<SquadKey> rebuild;
            rebuild.reserve(_keysList.size());
            for (const auto& listed : _keysList) rebuild.push_back(listed.second);
            _pending.swap(rebuild);
            _pendingReset = true;
            _isValid = true;
        }
    } catch (...) {
        // Nothing was noted: the squad was never here.
        _keysList.remove(key);
        _squadsData.erase(key);
        throw;
    }
}

void SquadRosterGenerator::_bringUpToDate() {
    if (!_isValid) {
        _updateState();
        return;
    }
    if (_pending.empty() && !_pendingReset) return;
    try {
        if (_pendingReset) _resetState();
        _pendingReset = false;
        for (SquadKey key : _pending) _processSquad(key);
        _pending.clear();
    } catch (...) {
        // Work cut short is redone from the list on the next use.
        _pending.clear();
        _isValid = false;
        throw;
    }
}

bool SquadRosterGenerator::dequeue(SquadKey key) {
    auto found = _squadsData.find(key);
    if (found == _squadsData.end()) return false;
    // The table is rebuilt before its next use: work noted for it is void.
    _isValid = false;
    _pending.clear();
    _pendingReset = false;
    _squadsData.erase(found);
    _keysList.remove(key);
    return true;
}

bool SquadRosterGenerator::_isRosterMatched(const SquadRoster& roster,
                                            const Conditions& conditions) {
    for (int i = condSquad; i < condTotal; ++i) {
        const int valueA = roster.first[i];
        const int valueB = roster.second[i];
        const SquadCondition& cond = conditions[i];
        if (valueA < 0 || valueA > cond.maxTeamASize) return false;
        if (valueB < 0 || valueB > cond.maxTeamBSize) return false;
        const int diff = valueA - valueB;
        if (diff < cond.minTeamImbalance || diff > cond.maxTeamImbalance) return false;
    }
    return true;
}

void SquadRosterGenerator::get(MatchingResult& result, int index,
                               const Conditions& squadConditions) {
    _bringUpToDate();
    for (const auto& entry : _rosters) {
        if (_isRosterMatched(entry.first, squadConditions)) result.emplace_back(entry.first, index);
    }
}

void SquadRosterGenerator::addSquadsToTeam(Teams& teams, SquadRoster roster) {
    _bringUpToDate();
    while (roster.first[condSquad] + roster.second[condSquad] > 0) {
        const auto found = std::lower_bound(
            _rosters.begin(), _rosters.end(), roster,
            [](const auto& entry, const SquadRoster& r) { return entry.first < r; });
        if (found == _rosters.end() || found->first != roster)
            throw std::out_of_range("roster not in the table");
        const auto& link = found->second;
        const TeamState& squad = _squadsData.at(link.first);
        if (link.second) {
            teams.first.push_back(link.first);
            roster.first -= squad;
        } else {
            teams.second.push_back(link.first);
            roster.second -= squad;
        }
    }
}
