#include <tuple>
#include <utility>

#include "Queue.h"

Matchmaker::Matchmaker(unsigned int seed, const std::map<int, ConfigTuple>& config) {
    // One generator for all queues: their draws interleave in the order of the calls, as they
    // did when every matchmaker drew from the process-wide rand().
    const auto random = std::make_shared<Random>(seed);
    for (const auto& entry : config)
        _queues.emplace(std::piecewise_construct, std::forward_as_tuple(entry.first),
                        std::forward_as_tuple(entry.second, random));
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
