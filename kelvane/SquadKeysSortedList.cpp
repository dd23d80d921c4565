#include "SquadKeysSortedList.h"

void SquadKeysSortedList::insert(SquadKey key, MatchmakerTime time) {
    // multimap::insert places the entry at the upper bound of its time.
    record(_timeToKey.insert(TimeToKey::value_type(time, key)), key);
}

void SquadKeysSortedList::push_back(SquadKey key, MatchmakerTime time) {
    // A hint at the end lands after every equal time, and a wrong hint falls back to the same
    // upper-bound search as insert, so both operations give the same order.
    record(_timeToKey.emplace_hint(_timeToKey.end(), time, key), key);
}

void SquadKeysSortedList::record(iterator added, SquadKey key) {
    try {
        _keyToEntry[key] = added;
    } catch (...) {
        _timeToKey.erase(added);  // leave the list as it was if the entry cannot be recorded
        throw;
    }
}

void SquadKeysSortedList::remove(SquadKey key) {
    auto found = _keyToEntry.find(key);
    if (found == _keyToEntry.end()) return;
    _timeToKey.erase(found->second);
    _keyToEntry.erase(found);
}

MatchmakerTime SquadKeysSortedList::getEnqueueTime(SquadKey key, MatchmakerTime defaultTime) const {
    auto found = _keyToEntry.find(key);
    return found == _keyToEntry.end() ? defaultTime : found->second->first;
}

MatchmakerTime SquadKeysSortedList::getMinTime(MatchmakerTime defaultTime) const {
    return _timeToKey.empty() ? defaultTime : _timeToKey.begin()->first;
}
