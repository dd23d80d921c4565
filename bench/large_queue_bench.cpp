// Times formteams, enqueue and dequeue on huge steady queues: 10,000 and 100,000 waiting players,
// four in five alone and the rest in squads of two or three, spread over the three levels, a pool
// of 10 maps and three recent maps per player. After each battle its squads leave and new players
// arrive until as many wait as before.
//
// Usage: bench_large_queue [calls] [waiting players ...]   (default: 200 calls, 10000 100000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <unordered_map>
#include <vector>

#include "BenchQueue.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Processor time of this process: other work on the machine does not inflate it.
double cpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

struct Squad {
    int level;
    std::vector<VehType> types;
    std::vector<std::vector<int>> maps;
};

struct Population {
    std::mt19937 rng{2024};
    SquadKey nextKey = 1;

    VehType vehicle() {
        // Roughly the share of classes on a busy server.
        static const VehType pool[] = {typeMedium, typeMedium, typeMedium, typeLight,
                                       typeHeavy,  typeHeavy,  typeHeavy,  typeAtspg,
                                       typeAtspg,  typeScout,  typeSpg,    typeMediumAr};
        return pool[rng() % (sizeof pool / sizeof pool[0])];
    }

    // One arrival in eleven is a squad of two or three: a fifth of the players are in squads.
    Squad next() {
        Squad squad;
        squad.level = static_cast<int>(rng() % LEVEL_COUNT);
        const size_t members = rng() % 11 == 0 ? 2 + rng() % 2 : 1;
        for (size_t i = 0; i < members; ++i) {
            squad.types.push_back(vehicle());
            std::vector<int> recent;  // three distinct maps of the pool, the latest first
            while (recent.size() < 3) {
                const int map = 1 + static_cast<int>(rng() % 10);
                if (std::find(recent.begin(), recent.end(), map) == recent.end())
                    recent.push_back(map);
            }
            squad.maps.push_back(recent);
        }
        return squad;
    }
};

struct Waiting {
    std::unordered_map<SquadKey, size_t> members;  // by key
    std::vector<SquadKey> keys;                    // the same keys, for drawing one at random
    size_t players = 0;

    void add(SquadKey key, size_t count) {
        members[key] = count;
        keys.push_back(key);
        players += count;
    }
};

void run(int calls, size_t target) {
    Matchmaker m(1, benchQueueConfig());
    Population population;
    Waiting waiting;

    // The queue fills over the ten minutes before the first call.
    MatchmakerTime now = 600;
    while (waiting.players < target) {
        const Squad squad = population.next();
        const SquadKey key = population.nextKey++;
        m.enqueue(1, waiting.players * now / target, key, squad.level, squad.types, squad.maps);
        waiting.add(key, squad.types.size());
    }
    const size_t squadCount = std::count_if(waiting.members.begin(), waiting.members.end(),
                                            [](const auto& entry) { return entry.second > 1; });

    std::vector<double> times;
    int battles = 0;
    // A digest of every battle formed, to tell two builds that form the same battles.
    uint64_t digest = 1469598103934665603u;
    const auto mix = [&](uint64_t value) { digest = (digest ^ value) * 1099511628211u; };
    for (int call = 0; call < calls; ++call) {
        now += 1;  // one tick a second
        Teams teams;
        const auto start = Clock::now();
        const MapKey map = m.formteams(1, now, teams);
        times.push_back(secondsSince(start));
        if (map == 0) continue;
        ++battles;
        mix(uint64_t(map));
        for (const auto* side : {&teams.first, &teams.second}) {
            mix(side->size());
            for (SquadKey key : *side) {
                mix(key);
                m.dequeue(1, key);
                waiting.players -= waiting.members[key];
                waiting.members.erase(key);
            }
        }
        while (waiting.players < target) {
            const Squad squad = population.next();
            const SquadKey key = population.nextKey++;
            m.enqueue(1, now, key, squad.level, squad.types, squad.maps);
            waiting.add(key, squad.types.size());
        }
    }
    // Keys of squads that left are dropped lazily from the list of keys.
    waiting.keys.erase(std::remove_if(waiting.keys.begin(), waiting.keys.end(),
                                      [&](SquadKey k) { return waiting.members.count(k) == 0; }),
                       waiting.keys.end());

    // Steady enqueue and dequeue: a tenth of the squads leave and as many arrive, timed apart.
    const size_t batch = waiting.keys.size() / 10;
    std::shuffle(waiting.keys.begin(), waiting.keys.end(), population.rng);
    const auto dequeueStart = Clock::now();
    const double dequeueCpu = cpuSeconds();
    for (size_t i = 0; i < batch; ++i) m.dequeue(1, waiting.keys[i]);
    const double dequeueSeconds = secondsSince(dequeueStart);
    const double dequeueCpuSeconds = cpuSeconds() - dequeueCpu;
    std::vector<Squad> arrivals;
    for (size_t i = 0; i < batch; ++i) arrivals.push_back(population.next());
    now += 1;
    const auto enqueueStart = Clock::now();
    const double enqueueCpu = cpuSeconds();
    for (const Squad& squad : arrivals)
        m.enqueue(1, now, population.nextKey++, squad.level, squad.types, squad.maps);
    const double enqueueSeconds = secondsSince(enqueueStart);
    const double enqueueCpuSeconds = cpuSeconds() - enqueueCpu;
    // One more battle after the batch, so that the digest covers what enqueue and dequeue left.
    {
        Teams teams;
        mix(uint64_t(m.formteams(1, now + 1, teams)));
        for (const auto* side : {&teams.first, &teams.second})
            for (SquadKey key : *side) mix(key);
    }

    std::sort(times.begin(), times.end());
    const auto at = [&](double q) {
        return times[std::min(times.size() - 1, static_cast<size_t>(q * times.size()))];
    };
    const long budget =
        std::count_if(times.begin(), times.end(), [](double t) { return t >= TICK_TIMEOUT; });
    std::printf(
        "formteams on a steady queue of %zu waiting players (%zu squads), 10 maps, "
        "layout 3-5-7\n",
        target, squadCount);
    std::printf("  digest %016llx\n", static_cast<unsigned long long>(digest));
    std::printf("  %d calls, %d battles: median %.3f ms, p99 %.3f ms, worst %.3f ms\n", calls,
                battles, at(0.5) * 1e3, at(0.99) * 1e3, times.back() * 1e3);
    std::printf("  calls that reached the %.0f ms budget: %ld (%.1f%%)\n", TICK_TIMEOUT * 1e3,
                budget, 100.0 * budget / calls);
    std::printf(
        "  core enqueue %.2f us (processor %.2f us), dequeue %.2f us (processor %.2f us) "
        "per call, %zu calls each\n",
        enqueueSeconds / batch * 1e6, enqueueCpuSeconds / batch * 1e6, dequeueSeconds / batch * 1e6,
        dequeueCpuSeconds / batch * 1e6, batch);
}

}  // namespace

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 200;
    std::vector<size_t> sizes;
    for (int i = 2; i < argc; ++i) sizes.push_back(static_cast<size_t>(std::atol(argv[i])));
    if (sizes.empty()) sizes = {10000, 100000};
    if (calls <= 0) return 1;
    for (size_t size : sizes) run(calls, size);
    return 0;
}
