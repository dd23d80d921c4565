#include "Random.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace {

// The first mismatch between the generator and the C library's rand() after srand(seed) over
// count draws, or -1.
long firstMismatch(uint32_t seed, long count) {
    srand(seed);
    Random random(seed);
    for (long i = 0; i < count; ++i)
        if (random.next() != rand()) return i;
    return -1;
}

}  // namespace

TEST(Random, DrawsAsTheCLibraryRandAfterSrand) {
    // Seeds at the edges of Schrage's fill: 0 (taken for 1), and those read as negative words.
    for (uint32_t seed : {0u, 1u, 2u, 99u, 127773u, 0x7fffffffu, 0x80000000u, 0x80000001u,
                          0xfffffffeu, 0xffffffffu})
        EXPECT_EQ(firstMismatch(seed, 1000000), -1) << "seed " << seed;
    std::mt19937 seeds(7);
    for (int i = 0; i < 300; ++i) {
        const uint32_t seed = seeds();
        EXPECT_EQ(firstMismatch(seed, 5000), -1) << "seed " << seed;
    }
}

TEST(Random, ReseedingRestartsAndUnseededIsSeedOne) {
    Random random(5), unseeded, one(1);
    const int32_t first = random.next();
    random.next();
    random.seed(5);
    EXPECT_EQ(random.next(), first);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(unseeded.next(), one.next());
}
