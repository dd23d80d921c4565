#include "SquadRosterGenerator.h"

void SquadRosterGenerator::_resetState() {
    _isValid = true;
    _orderedStale = true;
    _rosters.clear();
    // The empty composition ends every chain of addSquadsToTeam.
    _rosters.emplace(SquadRoster{}, std::make_pair(uint64_t{0}, false));
}

bool SquadRosterGenerator::_isStateValid(const TeamState& team) {
    return team[condSquad] <= MAX_SQUAD_PLAYER_PER_LEVEL && team[condSpg] <= 3;
}

void SquadRosterGenerator::_processSquad(SquadKey key) {
    const TeamState& state = _squadsData.at(key);
    // New compositions are collected apart so this pass walks only the table as it was: every
    // link then leads to a composition built from squads processed strictly earlier.
    AllRosters newRosters;
    for (const auto& entry : _rosters) {
        const TeamState& teamA0 = entry.first.first;
        const TeamState& teamB0 = entry.first.second;
        const TeamState teamA = teamA0 + state;
        if (_isStateValid(teamA)) {
            SquadRoster roster(teamA, teamB0);
            if (_rosters.count(roster) == 0 && newRosters.count(roster) == 0)
                newRosters.emplace(roster, std::make_pair(key, true));
        }
        const TeamState teamB = teamB0 + state;
        if (_isStateValid(teamB)) {
            SquadRoster roster(teamA0, teamB);
            if (_rosters.count(roster) == 0 && newRosters.count(roster) == 0)
                newRosters.emplace(roster, std::make_pair(key, false));
        }
    }
    // Splicing the nodes allocates nothing and cannot fail: a failed extension changes nothing.
    _orderedStale = true;
    _rosters.merge(newRosters);
}

void SquadRosterGenerator::_updateState() {
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
    try {
        if (_isValid) {
            _processSquad(key);
        } else {
            _updateState();
        }
    } catch (...) {
        // An extension that fails leaves the table as it was; a rebuild that fails leaves it
        // invalid, as it was. Either way the squad was never here.
        _keysList.remove(key);
        _squadsData.erase(key);
        throw;
    }
}

bool SquadRosterGenerator::dequeue(SquadKey key) {
    auto found = _squadsData.find(key);
    if (found == _squadsData.end()) return false;
    _isValid = false;
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
    if (!_isValid) _updateState();
    if (_orderedStale) {
        _ordered.clear();
        _ordered.reserve(_rosters.size());
        for (const auto& entry : _rosters) _ordered.push_back(entry.first);
        _orderedStale = false;
    }
    for (const SquadRoster& roster : _ordered) {
        if (_isRosterMatched(roster, squadConditions)) result.emplace_back(roster, index);
    }
}

void SquadRosterGenerator::addSquadsToTeam(Teams& teams, SquadRoster roster) const {
    while (roster.first[condSquad] + roster.second[condSquad] > 0) {
        const auto& link = _rosters.at(roster);
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
