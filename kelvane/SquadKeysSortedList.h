// Squad keys with their enqueue times, walked oldest first. Entries with equal times keep the
// order in which they were added: a new entry always goes after every entry of the same time.
#pragma once

#include <cstddef>
#include <map>
#include <unordered_map>

#include "NodePool.h"
#include "Types.h"

class SquadKeysSortedList {
  public:
    using TimeToKey = std::multimap<MatchmakerTime, SquadKey, std::less<MatchmakerTime>,
                                    nodepool::Allocator<std::pair<const MatchmakerTime, SquadKey>>>;
    // Dereferenced: first is the enqueue time, second the squad key.
    using iterator = TimeToKey::iterator;
    using const_iterator = TimeToKey::const_iterator;
    // Each key's entry in the time order, so that a removal needs no search among equal times.
    using KeyToEntry =
        std::unordered_map<SquadKey, iterator, std::hash<SquadKey>, std::equal_to<SquadKey>,
                           nodepool::Allocator<std::pair<const SquadKey, iterator>>>;

    // REQUIRES: key is not in the list (a repeated key would leave an entry remove cannot reach).
    void insert(SquadKey key, MatchmakerTime time);
    // As insert, in constant amortised time when times arrive in non-decreasing order.
    void push_back(SquadKey key, MatchmakerTime time);
    // Removes key; an absent key is ignored.
    void remove(SquadKey key);

    // For an owner that keeps each entry's place itself: as insert, but the key is not indexed,
    // so a removal costs no search and no index entry. The owner removes the entry with erase;
    // contains, getEnqueueTime and remove do not see it. REQUIRES: key not in the list.
    iterator place(SquadKey key, MatchmakerTime time) {
        return _timeToKey.insert(TimeToKey::value_type(time, key));
    }
    // Removes an entry added by place. Never throws.
    void erase(iterator entry) noexcept { _timeToKey.erase(entry); }

    MatchmakerTime getEnqueueTime(SquadKey key, MatchmakerTime defaultTime) const;
    // The earliest time listed, or defaultTime when the list is empty.
    MatchmakerTime getMinTime(MatchmakerTime defaultTime) const;
    bool contains(SquadKey key) const { return _keyToEntry.count(key) != 0; }

    size_t size() const { return _timeToKey.size(); }
    iterator begin() { return _timeToKey.begin(); }
    iterator end() { return _timeToKey.end(); }
    const_iterator begin() const { return _timeToKey.begin(); }
    const_iterator end() const { return _timeToKey.end(); }

  private:
    // Records where an entry just added to _timeToKey stands; undoes the addition on failure.
    void record(iterator added, SquadKey key);

    TimeToKey _timeToKey;
    KeyToEntry _keyToEntry;
};
