#include "SquadInfo.h"

void SquadInfo::add(SquadKey key, MatchmakerTime time, int level,
                    const std::vector<VehType>& types) {
    Registered entry{time, level, condSquad, types.size(), {}, {}};
    for (VehType type : types) {
        const VehCondition cond = convertVehTypes(type);
        entry.perClass[cond] += 1;
        entry.single = cond;
    }
    const auto added = _squadInfo.insert_or_assign(key, entry).first;
    try {
        if (entry.members == 1)
            added->second.listed = _players[level][entry.single].place(key, time);
        else
            ++_squadSizes[level][entry.members];
    } catch (...) {
        // Nothing counted yet: forgetting the entry restores the registry.
        _squadInfo.erase(added);
        throw;
    }
    // The totals change last, once nothing can fail any more.
    _count(entry, 1);
}

void SquadInfo::_count(const Registered& entry, int sign) {
    if (sign > 0) {
        _waitingPlayers += entry.members;
        _levelPlayers[entry.level] += entry.members;
    } else {
        _waitingPlayers -= entry.members;
        _levelPlayers[entry.level] -= entry.members;
    }
    for (int c = condSquad; c < condTotal; ++c) {
        const size_t n = entry.perClass[c];
        if (n == 0) continue;
        // Both wrap as the sums of one member at a time would: they stay exact in the end.
        const TimeSum time = static_cast<TimeSum>(entry.time) * n;
        if (sign > 0) {
            _totalTime[c] += time;
            _totalPlayers[c] += static_cast<int>(n);
        } else {
            _totalTime[c] -= time;
            _totalPlayers[c] -= static_cast<int>(n);
        }
    }
}

int SquadInfo::remove(SquadKey key) {
    auto found = _squadInfo.find(key);
    if (found == _squadInfo.end()) return -1;
    const Registered entry = found->second;
    _squadInfo.erase(found);
    _count(entry, -1);
    if (entry.members == 1) {
        _players[entry.level][entry.single].erase(entry.listed);
        return -1;
    }
    const auto size = _squadSizes[entry.level].find(entry.members);
    if (--size->second == 0) _squadSizes[entry.level].erase(size);
    return entry.level;
}

TeamState SquadInfo::getPlayerCounts(int level) const {
    TeamState counts{};
    for (int c = condSquad; c < condTotal; ++c)
        counts[c] = static_cast<int32_t>(_players[level][c].size());
    return counts;
}

MatchmakerTime SquadInfo::getAvgWaitTime(MatchmakerTime time) const {
    TimeSum sum = 0;
    unsigned classes = 0;
    for (int c = condSquad; c < condTotal; ++c) {
        if (_totalPlayers[c] > 0) {
            // A class mean never exceeds the largest 64-bit time, so the sum of five fits easily.
            sum += _totalTime[c] / static_cast<unsigned>(_totalPlayers[c]);
            ++classes;
        }
    }
    if (classes == 0) return 0;
    const MatchmakerTime avgEnqueueTime = static_cast<MatchmakerTime>(sum / classes);
    return time < avgEnqueueTime ? 0 : time - avgEnqueueTime;
}
