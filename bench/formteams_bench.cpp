// Times formteams on a large, steady queue: several hundred waiting players on three levels,
// squads on every level, a 15-a-side layout. After each battle its squads leave and as many new
// players arrive, so every call sees a queue of the same size.
//
// Usage: bench_formteams [calls] [players per level]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "Queue.h"

namespace {

struct Arrivals {
    std::mt19937 rng{12345};
    SquadKey nextKey = 1;

    VehType vehicle() {
        // Roughly the share of classes on a busy server.
        static const VehType pool[] = {typeMedium, typeMedium, typeMedium, typeLight, typeHeavy,
                                       typeHeavy,  typeHeavy,  typeAtspg,  typeAtspg, typeScout,
                                       typeSpg,    typeMediumAr};
        return pool[rng() % (sizeof pool / sizeof pool[0])];
    }

    // One squad (a third of arrivals are squads of two or three) at a level.
    void arrive(Matchmaker& m, MatchmakerTime now, int level) {
        const size_t members = rng() % 3 == 0 ? 2 + rng() % 2 : 1;
        std::vector<VehType> types;
        std::vector<std::vector<int>> maps;
        for (size_t i = 0; i < members; ++i) {
            types.push_back(vehicle());
            maps.push_back({int(rng() % 10) + 1, int(rng() % 10) + 1, int(rng() % 10) + 1});
        }
        m.enqueue(1, now, nextKey++, level, types, maps);
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 200;
    const int perLevel = argc > 2 ? std::atoi(argv[2]) : 150;

    ImbalanceTimeouts total, level;
    total.fill({0, 30, 90});
    level.fill({0, 60, 180});
    std::map<int, ConfigTuple> config;
    config[1] = ConfigTuple({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, {{3, 5, 7, 0}}, total, level,
                            TeamState{15, 3, 3, 5, 7});
    Matchmaker m(1, config);

    Arrivals arrivals;
    MatchmakerTime now = 0;
    std::vector<int> levelOf;  // by key
    auto add = [&](int lvl) {
        arrivals.arrive(m, now, lvl);
        levelOf.resize(arrivals.nextKey, lvl);
    };
    for (int lvl = 0; lvl < LEVEL_COUNT; ++lvl)
        for (int i = 0; i < perLevel; ++i) add(lvl);

    std::vector<double> times;
    int battles = 0;
    for (int call = 0; call < calls; ++call) {
        now += 1;  // one tick a second
        Teams teams;
        const auto start = std::chrono::steady_clock::now();
        const MapKey map = m.formteams(1, now, teams);
        times.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (map == 0) continue;
        ++battles;
        for (const auto* side : {&teams.first, &teams.second}) {
            for (SquadKey key : *side) {
                m.dequeue(1, key);
                add(levelOf[key]);
            }
        }
    }

    std::sort(times.begin(), times.end());
    const auto at = [&](double q) { return times[std::min(times.size() - 1, size_t(q * times.size()))]; };
    const long budget = std::count_if(times.begin(), times.end(),
                                      [](double t) { return t >= TICK_TIMEOUT; });
    std::printf("formteams: %d calls, %d battles, %d squads waiting per level at the start\n",
                calls, battles, perLevel);
    std::printf("  median %.3f ms, p99 %.3f ms, worst %.3f ms\n", at(0.5) * 1e3, at(0.99) * 1e3,
                times.back() * 1e3);
    std::printf("  calls that reached the %.0f ms budget: %ld (%.1f%%)\n", TICK_TIMEOUT * 1e3,
                budget, 100.0 * budget / calls);
    return 0;
}
