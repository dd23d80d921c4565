#include "Random.h"

void Random::seed(uint32_t seed) {
    // The C library takes seed 0 for 1.
    if (seed == 0) seed = 1;
    // x[i] = 16807 * x[i-1] mod (2^31 - 1), by Schrage's method on the seed read as a signed
    // 32-bit word, as the C library computes it: a seed of 2^31 or more starts negative.
    int32_t word = static_cast<int32_t>(seed);
    _state[0] = seed;
    for (int i = 1; i < kDegree; ++i) {
        const int64_t hi = word / 127773;
        const int64_t lo = word % 127773;
        word = static_cast<int32_t>(static_cast<uint32_t>(16807 * lo - 2836 * hi));
        if (word < 0) word = static_cast<int32_t>(static_cast<uint32_t>(word) + 2147483647u);
        _state[i] = static_cast<uint32_t>(word);
    }
    _front = kSeparation;
    _rear = 0;
    // The first outputs of the fill are poor; the C library discards ten rounds of them.
    for (int i = 0; i < 10 * kDegree; ++i) next();
}
