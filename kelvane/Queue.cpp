#include "Queue.h"

#include <climits>
#include <cstdint>
#include <string>

Queue::Queue(ConfigTuple config, std::shared_ptr<Random> random)
    : _random(random ? std::move(random) : std::make_shared<Random>()) {
    std::tie(_allMaps, _tmb, _totalImbalanceTimeouts, _levelImbalanceTimeouts,
             _maxVehicleCounts) = std::move(config);
    _mapCosts.setPool(_allMaps);
}

void Queue::enqueue(MatchmakerTime time, SquadKey key, int level,
                    const std::vector<VehType>& types,
                    const std::vector<std::vector<int>>& maps) {
    try {
        for (const std::vector<int>& memberMaps : maps) {
            // Restarts for every member: 1000, 666, 444, ... and 0 from the seventeenth map on.
            int cost = 1000;
            for (int map : memberMaps) {
                // Saturates: any number of lists may name the same map.
                int& total = _lastMaps[key].costs[map];
                total = total > INT_MAX - cost ? INT_MAX : total + cost;
                cost = static_cast<int>(cost / MAPS_DIST_COEFF);
            }
        }
        // Registered before the roster generator sees the squad (neither reads the other), so
        // that a failure in the generator, which undoes its own work, is undone here by an exact
        // removal from the registry.
        _squads.add(key, time, level, types);
        if (types.size() >= 2) {
            TeamState typeCounts{};
            for (VehType type : types) {
                typeCounts[condSquad] += 1;
                const VehCondition vehCond = convertVehTypes(type);
                if (vehCond != condSquad) typeCounts[vehCond] += 1;
            }
            _squadGenerator[level].enqueue(typeCounts, key, time);
        } else if (types.size() == 1) {
            const auto costs = _lastMaps.find(key);
            if (costs != _lastMaps.end())
                _mapCosts.add(key, level, convertVehTypes(types[0]), time, costs->second);
        }
    } catch (...) {
        // The key was not waiting: forgetting its registration and map costs restores the queue.
        // The index, taken in last, undoes its own part.
        _squads.remove(key);
        _lastMaps.erase(key);
        throw;
    }
}

void Queue::dequeue(SquadKey key) {
    const auto costs = _lastMaps.find(key);
    if (costs != _lastMaps.end()) _mapCosts.remove(costs->second);
    const int level = _squads.remove(key);
    if (level != -1) _squadGenerator[level].dequeue(key);
    if (costs != _lastMaps.end()) _lastMaps.erase(costs);
}

double Queue::_elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - _startTime).count();
}

MapKey Queue::formteams(MatchmakerTime time, Teams& result) {
    _startTime = std::chrono::steady_clock::now();
    return _formteams(time, result);
}

void Queue::_allowances(MatchmakerTime waitTime, TeamState& total, TeamState& level) const {
    for (int i = condSquad; i < condTotal; ++i) {
        level[i] = -1;
        total[i] = -1;
        for (uint32_t timeout : _levelImbalanceTimeouts[i]) {
            if (waitTime < timeout) break;
            ++level[i];
        }
        for (uint32_t timeout : _totalImbalanceTimeouts[i]) {
            if (waitTime < timeout) break;
            ++total[i];
        }
    }
}

size_t Queue::_openLayouts(MatchmakerTime waitTime) const {
    size_t open = 0;
    // Later layouts are not looked at once one is closed, even if their wait is lower.
    while (open < _tmb.size() && waitTime >= _tmb[open][3]) ++open;
    return open;
}

MapKey Queue::_formteams(MatchmakerTime time, Teams& result) {
    const auto began = std::chrono::steady_clock::now();
    FormationReport report;
    report.time = time;
    const MatchmakerTime waitTime = _squads.getAvgWaitTime(time);
    _allowances(waitTime, _curMaxTotalImbalance, _curMaxLevelImbalance);
    const size_t open = _openLayouts(waitTime);
    // An allowance of -1 admits no candidate in any layout: the search would only spend time.
    const bool admitting =
        std::all_of(_curMaxTotalImbalance.begin(), _curMaxTotalImbalance.end(),
                    [](int32_t allowance) { return allowance >= 0; }) &&
        std::all_of(_curMaxLevelImbalance.begin(), _curMaxLevelImbalance.end(),
                    [](int32_t allowance) { return allowance >= 0; });
    MapKey map = 0;
    for (size_t i = 0; i < open; ++i) {
        ++report.tried;
        if (!admitting) continue;
        // A try that fails must leave no keys behind.
        result.first.clear();
        result.second.clear();
        const MapKey found = _findTeams(result, _tmb[i]);
        report.visited += _search.visited();
        report.budget = report.budget || _search.cut();
        if (!result.first.empty() && !result.second.empty()) {
            map = found;
            report.formed = static_cast<int>(i);
            report.penalty = _search.penalty();
            break;
        }
        if (_elapsed() > TICK_TIMEOUT) {
            report.budget = report.budget || i + 1 < open;
            break;
        }
    }
    if (report.formed < 0) {
        result.first.clear();
        result.second.clear();
        _explain(report, waitTime);
    }
    report.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    _last = report;
    _called = true;
    return map;
}

void Queue::_explain(FormationReport& report, MatchmakerTime waitTime) const {
    using Reason = FormationReport::Reason;
    report.wait = waitTime;
    if (report.tried == 0) {
        report.reason = Reason::noLayoutOpen;
        report.hasThreshold = !_tmb.empty();
        if (report.hasThreshold) report.threshold = _tmb[0][3];
        return;
    }
    bool lacking = true;
    for (size_t i = 0; i < report.tried && lacking; ++i) {
        lacking = false;
        for (int level = 0; level < LEVEL_COUNT && !lacking; ++level) {
            const uint64_t places = 2 * uint64_t{_tmb[i][level]};
            const uint64_t waiting = _squads.levelPlayers(level);
            if (waiting >= places) continue;
            lacking = true;
            report.level = level;
            report.waiting = waiting;
            report.places = places;
        }
    }
    if (lacking) {
        report.reason = Reason::tooFewPlayers;
        return;
    }
    for (int i = condSquad; i < condTotal; ++i) {
        if (_curMaxTotalImbalance[i] < 0 || _curMaxLevelImbalance[i] < 0) {
            report.reason = Reason::noAllowance;
            report.condition = i;
            return;
        }
    }
    report.reason = report.budget ? Reason::budget : Reason::noBalancedSplit;
}

std::string FormationReport::reasonText() const {
    static const char* const kClassNames[CONDITION_COUNT] = {"squad players", "scouts", "SPGs",
                                                            "AT-SPGs", "heavies"};
    switch (reason) {
        case Reason::none:
            break;
        case Reason::noLayoutOpen:
            return "no layout open yet (average wait " + std::to_string(wait) +
                   (hasThreshold ? ", first threshold " + std::to_string(threshold)
                                 : std::string(", no layout configured")) +
                   ")";
        case Reason::tooFewPlayers:
            return "too few players (level " + std::to_string(level) + ": " +
                   std::to_string(waiting) + " waiting for " + std::to_string(places) +
                   " places)";
        case Reason::noAllowance:
            return std::string("no allowance for ") + kClassNames[condition] + " yet";
        case Reason::budget:
            return "search cut by the budget";
        case Reason::noBalancedSplit:
            return "no balanced split within the allowances";
    }
    return {};
}

QueueStats Queue::stats(MatchmakerTime time) const {
    QueueStats stats;
    stats.players = _squads.players();
    stats.entries = _squads.entries();
    for (int level = 0; level < LEVEL_COUNT; ++level) {
        QueueStats::Level& out = stats.levels[level];
        out.players = _squads.levelPlayers(level);
        out.singles = _squads.getPlayerCounts(level);
        out.squads = _squads.squadSizes(level);
        // Each list's first entry is its oldest. A time of 2**64 - 1 waits 0 whatever the time.
        MatchmakerTime first = _squadGenerator[level].oldest(UINT64_MAX);
        for (int i = condSquad; i < condTotal; ++i)
            first = std::min(first, _squads.getSquads(level, i).getMinTime(first));
        out.oldest = time > first ? time - first : 0;
    }
    stats.wait = _squads.getAvgWaitTime(time);
    _allowances(stats.wait, stats.totalAllowance, stats.levelAllowance);
    stats.layouts = _openLayouts(stats.wait);
    stats.called = _called;
    stats.last = _last;
    return stats;
}

MapKey Queue::_findTeams(Teams& result, const Tmb& tmb) {
    Solution current{};
    if (!_step1(current, tmb)) return 0;
    if (!_step2(current, tmb)) return 0;
    return _step3(current, result);
}

bool Queue::_step1(Solution& solution, const Tmb& tmb) {
    for (int level = 0; level < LEVEL_COUNT; ++level) {
        TeamSearch::Offer& offer = _search.offer(level);
        offer.size = _placesAt(tmb, level);
        offer.players = _squads.getPlayerCounts(level);
        // The offer depends on the running totals only through the caps left: the search asks
        // once, with nothing fixed yet, and leaves out what the caps left exclude.
        offer.compositions.clear();
        _squadGenerator[level].get(offer.compositions, -1,
                                   _getSquadConditions(SquadRoster{}, offer.size, level));
    }
    return _search.run(_maxVehicleCounts, _curMaxLevelImbalance, _curMaxTotalImbalance, _startTime,
                       solution);
}
