#include "SquadKeysSortedList.h"

void SquadKeysSortedList::insert(SquadKey key, MatchmakerTime time) {
    // multimap::insert places the entry at the upper bound of its time.
    record(_timeToKey.insert(TimeToKey::value_type(time, key)), key, time);
}

void SquadKeysSortedList::push_back(SquadKey key, MatchmakerTime time) {
    // A hint at the end lands after every equal time, and a wrong hint falls back to the same
    // upper-bound search as insert, so both operations give the same order.
    record(_timeToKey.emplace_hint(_timeToKey.end(), time, key), key, time);
}

void SquadKeysSortedList::record(iterator added, SquadKey key, MatchmakerTime time) {
    try {
        _keyToTime[key] = time;
    } catch (...) {
        _timeToKey.erase(added);  // leave the list as it was if the time cannot be recorded
        throw;
    }
}

void SquadKeysSortedList::remove(SquadKey key) {
    auto found = _keyToTime.find(key);
    if (found == _keyToTime.end()) return;
    auto range = _timeToKey.equal_range(found->second);
    _keyToTime.erase(found);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == key) {
            _timeToKey.erase(it);
            return;
        }
    }
}

MatchmakerTime SquadKeysSortedList::getEnqueueTime(SquadKey key,
                                                   MatchmakerTime defaultTime) const {
    auto found = _keyToTime.find(key);
    return found == _keyToTime.end() ? defaultTime : found->second;
}

MatchmakerTime SquadKeysSortedList::getMinTime(MatchmakerTime defaultTime) const {
    return _timeToKey.empty() ? defaultTime : _timeToKey.begin()->first;
}
