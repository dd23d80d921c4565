// The pseudo-random draws of one matchmaker, shared by its queues.
//
// Yields exactly the numbers that glibc's rand() yields after srand(seed): its additive feedback
// generator x[i] = x[i-3] + x[i-31] (mod 2^32), output x[i] >> 1, started from a linear
// congruential fill of 31 words and run 310 steps before the first output. Written here rather
// than taken from the C library so that a matchmaker's battles depend on its seed and its calls
// alone: another matchmaker, or any other code of the process that calls srand or rand, leaves its
// draws alone, and a seed gives the same draws on every platform.
#pragma once

#include <array>
#include <cstdint>

class Random {
  public:
    // The largest value next() returns, RAND_MAX of that C library.
    static constexpr int32_t kMax = 0x7fffffff;

    // Seeded as srand(seed) would; without a seed, as rand() is before any srand (seed 1).
    explicit Random(uint32_t seed = 1) { this->seed(seed); }
    void seed(uint32_t seed);
    // The next draw, in 0 .. kMax.
    int32_t next() {
        const uint32_t value = _state[_front] += _state[_rear];
        _front = _front + 1 == kDegree ? 0 : _front + 1;
        _rear = _rear + 1 == kDegree ? 0 : _rear + 1;
        return static_cast<int32_t>(value >> 1);
    }

  private:
    static constexpr int kDegree = 31;
    static constexpr int kSeparation = 3;
    std::array<uint32_t, kDegree> _state{};
    int _front = kSeparation;  // the newer of the two words added
    int _rear = 0;
};
