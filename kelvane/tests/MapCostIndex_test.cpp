// The indexed map choice against the plain walk over every waiting player of a level and class,
// kept here as the reference, on random queues as players come and go.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>

#include "CoreTestAccess.h"

namespace {

using A = CoreTestAccess;
using Keys = std::vector<SquadKey>;

// The walk over the whole list: keep the cheapest, dropping the oldest of the most expensive.
int64_t referenceMapCost(const Queue& q, MapKey map, int players, int level, int cls,
                         Keys& result) {
    result.clear();
    if (players <= 0) return 0;
    std::multimap<int64_t, SquadKey, std::greater<int64_t>> bestValues;
    for (const auto& entry : A::squads(q).getSquads(level, cls)) {
        int64_t cost = 0;
        const auto squad = A::lastMaps(q).find(entry.second);
        if (squad != A::lastMaps(q).end()) {
            const auto found = squad->second.costs.find(map);
            if (found != squad->second.costs.end()) cost = found->second;
        }
        bestValues.emplace(cost, entry.second);
        if (bestValues.size() > static_cast<size_t>(players)) bestValues.erase(bestValues.begin());
    }
    int64_t total = 0;
    for (const auto& entry : bestValues) {
        result.push_back(entry.second);
        total += entry.first;
    }
    return total;
}

// Every map, level, class and a range of sizes up to beyond the number waiting.
void expectSameChoice(const Queue& q, const std::set<int>& pool, const std::string& where) {
    Keys got, expected;
    for (int map : pool) {
        for (int level = 0; level < LEVEL_COUNT; ++level) {
            for (int cls = condSquad; cls < condTotal; ++cls) {
                const int waiting = static_cast<int>(A::squads(q).getSquads(level, cls).size());
                for (int n = 0; n <= waiting + 1; n += 1 + n / 4) {
                    const int64_t cost = A::mapCost(q, map, n, level, cls, got);
                    ASSERT_EQ(cost, referenceMapCost(q, map, n, level, cls, expected))
                        << where << " map " << map << " level " << level << " class " << cls
                        << " n " << n;
                    ASSERT_EQ(got, expected) << where << " map " << map << " level " << level
                                             << " class " << cls << " n " << n;
                }
            }
        }
    }
}

}  // namespace

TEST(MapCostIndex, ChoosesExactlyAsTheWalkOverEveryWaitingPlayer) {
    const std::set<int> pool = {1, 2, 3, 4, 5, 6};
    const VehType types[] = {typeMedium, typeScout, typeSpg, typeAtspg, typeHeavy};
    for (unsigned seed = 1; seed <= 30; ++seed) {
        std::mt19937 rng(seed);
        Queue q(makeConfig(pool, {}, {}, {}, TeamState{}));
        std::vector<SquadKey> waiting, left;
        SquadKey next = 1;
        MatchmakerTime now = 0;
        for (int step = 0; step < 400; ++step) {
            if (!waiting.empty() && rng() % 3 == 0) {
                const size_t at = rng() % waiting.size();
                q.dequeue(waiting[at]);
                left.push_back(waiting[at]);
                waiting[at] = waiting.back();
                waiting.pop_back();
                continue;
            }
            // Few distinct times, sometimes going back: many ties in list order.
            now += rng() % 3;
            const MatchmakerTime time =
                rng() % 8 == 0 ? now - std::min<MatchmakerTime>(now, 2) : now;
            std::vector<std::vector<int>> maps;
            switch (rng() % 5) {
                case 0:
                    break;  // costs 0 everywhere
                case 1:
                    maps = {{1, 2, 3, 4, 5, 6}};
                    break;  // played every map
                case 2:
                    maps = {{1, 2, 3, 4, 5, 6}, {6, 5, 4, 3, 2, 1}};
                    break;
                default:  // a short list, from the pool or beyond it; repeats add up
                    maps.emplace_back();
                    for (unsigned m = rng() % 4; m > 0; --m) maps.back().push_back(1 + rng() % 8);
                    if (rng() % 4 == 0) maps.push_back(maps.back());
            }
            if (rng() % 20 == 0) {  // past the sixteenth map costs are 0, their entries kept
                maps.emplace_back(17, 9);
                maps.back().push_back(2);
            }
            std::vector<VehType> members(rng() % 6 == 0 ? 2 : 1, types[rng() % 5]);
            // A key that left may come back, with other costs, class and level.
            SquadKey key = next++;
            if (!left.empty() && rng() % 4 == 0) {
                key = left.back();
                left.pop_back();
            }
            q.enqueue(time, key, static_cast<int>(rng() % LEVEL_COUNT), members, maps);
            waiting.push_back(key);
            if (step % 50 == 49) expectSameChoice(q, pool, "seed " + std::to_string(seed));
        }
        while (!waiting.empty()) {
            q.dequeue(waiting.back());
            waiting.pop_back();
            if (waiting.size() % 40 == 0) expectSameChoice(q, pool, "draining");
        }
    }
}
