#include <cstdlib>

#include "Queue.h"

Matchmaker::Matchmaker(unsigned int seed, const std::map<int, ConfigTuple>& config) {
    for (const auto& entry : config) _queues.emplace(entry.first, entry.second);
    // Process-wide: a matchmaker created later seeds the generator again. Seeded last, so a
    // construction that fails leaves the other matchmakers' draws alone.
    srand(seed);
}

void Matchmaker::enqueue(QueueKey queue, MatchmakerTime time, SquadKey key, int level,
                         const std::vector<VehType>& types,
                         const std::vector<std::vector<int>>& lastMaps) {
    _queues.at(queue).enqueue(time, key, level, types, lastMaps);
}

void Matchmaker::dequeue(QueueKey queue, SquadKey key) { _queues.at(queue).dequeue(key); }

MapKey Matchmaker::formteams(QueueKey queue, MatchmakerTime time, Teams& result) {
    return _queues.at(queue).formteams(time, result);
}
