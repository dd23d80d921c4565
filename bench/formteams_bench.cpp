// Times formteams on steady queues: a fixed number of single players and of squads of two or
// three on each of the three levels, a 3-5-7 layout, imbalance thresholds that open over the
// first minutes. After each battle its squads leave and as many of the same kind arrive at the
// same level, so every call sees a queue of the same shape. Calls are one second apart.
//
// Usage: bench_formteams [calls] [queue: 1 or 2, both if absent]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "BenchQueue.h"

namespace {

struct Arrivals {
    std::mt19937 rng{12345};
    SquadKey nextKey = 1;
    std::vector<std::pair<int, bool>> kindOf;  // by key: level, is a squad

    VehType vehicle() {
        // Roughly the share of classes on a busy server.
        static const VehType pool[] = {typeMedium, typeMedium, typeMedium, typeLight,
                                       typeHeavy,  typeHeavy,  typeHeavy,  typeAtspg,
                                       typeAtspg,  typeScout,  typeSpg,    typeMediumAr};
        return pool[rng() % (sizeof pool / sizeof pool[0])];
    }

    void arrive(Matchmaker& m, MatchmakerTime now, int level, bool squad) {
        const size_t members = squad ? 2 + rng() % 2 : 1;
        std::vector<VehType> types;
        std::vector<std::vector<int>> maps;
        for (size_t i = 0; i < members; ++i) {
            types.push_back(vehicle());
            maps.push_back({int(rng() % 10) + 1, int(rng() % 10) + 1, int(rng() % 10) + 1});
        }
        kindOf.emplace_back(level, squad);
        m.enqueue(1, now, nextKey++, level, types, maps);
    }
};

// Runs `calls` formation calls on a queue of `singles` single players and `squads` squads per
// level and prints the distribution of call times.
void runSteadyQueue(int calls, int singles, int squads) {
    Matchmaker m(1, benchQueueConfig());

    Arrivals arrivals;
    arrivals.kindOf.emplace_back(0, false);  // keys start at 1
    MatchmakerTime now = 0;
    for (int lvl = 0; lvl < LEVEL_COUNT; ++lvl) {
        for (int i = 0; i < singles; ++i) arrivals.arrive(m, now, lvl, false);
        for (int i = 0; i < squads; ++i) arrivals.arrive(m, now, lvl, true);
    }

    std::vector<double> times;
    int battles = 0;
    // A digest of every battle formed, to tell two builds that form the same battles.
    uint64_t digest = 1469598103934665603u;
    const auto mix = [&](uint64_t value) { digest = (digest ^ value) * 1099511628211u; };
    for (int call = 0; call < calls; ++call) {
        now += 1;
        Teams teams;
        const auto start = std::chrono::steady_clock::now();
        const MapKey map = m.formteams(1, now, teams);
        times.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (map == 0) continue;
        ++battles;
        mix(uint64_t(map));
        for (const auto* side : {&teams.first, &teams.second}) {
            mix(side->size());
            for (SquadKey key : *side) {
                mix(key);
                m.dequeue(1, key);
                const auto kind = arrivals.kindOf[key];
                arrivals.arrive(m, now, kind.first, kind.second);
            }
        }
    }

    std::sort(times.begin(), times.end());
    const auto at = [&](double q) {
        return times[std::min(times.size() - 1, size_t(q * times.size()))];
    };
    const long budget =
        std::count_if(times.begin(), times.end(), [](double t) { return t >= TICK_TIMEOUT; });
    std::printf(
        "formteams, %d singles and %d squads per level: %d calls, %d battles (digest %016llx)\n",
        singles, squads, calls, battles, static_cast<unsigned long long>(digest));
    std::printf("  median %.3f ms, p99 %.3f ms, max %.3f ms\n", at(0.5) * 1e3, at(0.99) * 1e3,
                times.back() * 1e3);
    std::printf("  calls stopped by the %.0f ms budget: %ld (%.1f%%)\n", TICK_TIMEOUT * 1e3, budget,
                100.0 * budget / calls);
}

}  // namespace

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 300;
    const int only = argc > 2 ? std::atoi(argv[2]) : 0;
    if (only != 2) runSteadyQueue(calls, 120, 8);
    if (only != 1) runSteadyQueue(calls, 200, 20);
    return 0;
}
