#include "SquadInfo.h"

void SquadInfo::add(SquadKey key, MatchmakerTime time, int level,
                    const std::vector<VehType>& types) {
    std::vector<VehCondition> condTypes;
    condTypes.reserve(types.size());
    for (VehType type : types) condTypes.push_back(convertVehTypes(type));
    auto entry = _squadInfo.insert_or_assign(key, std::make_tuple(time, level, std::move(condTypes)));
    const std::vector<VehCondition>& conds = std::get<2>(entry.first->second);
    if (conds.size() == 1) {
        try {
            _players[level][conds[0]].insert(key, time);
        } catch (...) {
            // Nothing counted yet: forgetting the entry restores the registry.
            _squadInfo.erase(entry.first);
            throw;
        }
    }
    // The totals change last, once nothing can fail any more.
    for (VehCondition cond : conds) {
        _totalTime[cond] += time;
        _totalPlayers[cond] += 1;
    }
}

int SquadInfo::remove(SquadKey key) {
    auto found = _squadInfo.find(key);
    if (found == _squadInfo.end()) return -1;
    const MatchmakerTime time = std::get<0>(found->second);
    const int level = std::get<1>(found->second);
    const std::vector<VehCondition> conds = std::move(std::get<2>(found->second));
    _squadInfo.erase(found);
    for (VehCondition cond : conds) {
        _totalPlayers[cond] -= 1;
        _totalTime[cond] -= time;
    }
    if (conds.size() == 1) {
        _players[level][conds[0]].remove(key);
        return -1;
    }
    return level;
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
