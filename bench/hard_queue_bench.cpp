// Times formteams on queues that are hard to balance: a thin top level (1 to 6 single players and
// up to 4 squads), 10 to 140 single players and 6 to 14 squads of two or three at the middle and
// bottom levels, the layouts 3-5-7, 4-5-6 and 2-5-8 tried in turn, and allowances that are open
// from the start to 1, 2 or 3 for every class, at each level and over the battle. Each queue is
// new and gets one call, so every call searches a queue of its own.
//
// Usage: bench_hard_queue [queues per allowance]   (default 300)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "Queue.h"

namespace {

VehType vehicle(std::mt19937& rng) {
    // Roughly the share of classes on a busy server.
    static const VehType pool[] = {typeMedium, typeMedium, typeMedium, typeLight,
                                   typeHeavy,  typeHeavy,  typeHeavy,  typeAtspg,
                                   typeAtspg,  typeScout,  typeSpg,    typeMediumAr};
    return pool[rng() % (sizeof pool / sizeof pool[0])];
}

std::map<int, ConfigTuple> config(int allowance) {
    // Thresholds all at 0: the allowance is open from the first call.
    ImbalanceTimeouts open;
    open.fill(std::vector<uint32_t>(size_t(allowance) + 1, 0));
    std::map<int, ConfigTuple> queues;
    queues[1] =
        ConfigTuple({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, {{3, 5, 7, 0}, {4, 5, 6, 0}, {2, 5, 8, 0}},
                    open, open, TeamState{15, 3, 3, 5, 7});
    return queues;
}

void run(int queues, int allowance) {
    std::mt19937 rng(2026u + unsigned(allowance));
    auto between = [&](int lo, int hi) { return lo + int(rng() % unsigned(hi - lo + 1)); };
    std::vector<double> times;
    int battles = 0;
    // A digest of every battle formed, to tell two builds that form the same battles.
    uint64_t digest = 1469598103934665603u;
    const auto mix = [&](uint64_t value) { digest = (digest ^ value) * 1099511628211u; };
    for (int n = 0; n < queues; ++n) {
        Matchmaker m(1, config(allowance));
        SquadKey key = 1;
        for (int level = 0; level < LEVEL_COUNT; ++level) {
            const bool top = level == 0;
            for (int i = top ? between(1, 6) : between(10, 140); i > 0; --i)
                m.enqueue(1, 0, key++, level, {vehicle(rng)}, {{between(1, 10)}});
            for (int i = top ? between(0, 4) : between(6, 14); i > 0; --i) {
                std::vector<VehType> types(size_t(between(2, 3)));
                for (VehType& type : types) type = vehicle(rng);
                m.enqueue(1, 0, key++, level, types, {});
            }
        }
        Teams teams;
        const auto start = std::chrono::steady_clock::now();
        const MapKey map = m.formteams(1, 1, teams);
        times.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (map == 0) continue;
        ++battles;
        mix(uint64_t(map));
        for (const auto* side : {&teams.first, &teams.second}) {
            mix(side->size());
            for (SquadKey k : *side) mix(k);
        }
    }
    std::sort(times.begin(), times.end());
    const auto at = [&](double q) {
        return times[std::min(times.size() - 1, size_t(q * times.size()))];
    };
    const long budget =
        std::count_if(times.begin(), times.end(), [](double t) { return t >= TICK_TIMEOUT; });
    std::printf("formteams on hard queues, allowances %d: %d queues, %d battles (digest %016llx)\n",
                allowance, queues, battles, static_cast<unsigned long long>(digest));
    std::printf("  median %.3f ms, p99 %.3f ms, max %.3f ms\n", at(0.5) * 1e3, at(0.99) * 1e3,
                times.back() * 1e3);
    std::printf("  calls stopped by the %.0f ms budget: %ld (%.1f%%)\n", TICK_TIMEOUT * 1e3, budget,
                100.0 * budget / queues);
}

}  // namespace

int main(int argc, char** argv) {
    const int queues = argc > 1 ? std::atoi(argv[1]) : 300;
    if (queues <= 0) return 1;
    for (int allowance = 1; allowance <= 3; ++allowance) run(queues, allowance);
    return 0;
}
