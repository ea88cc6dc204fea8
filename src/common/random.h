#pragma once

#include <cstdint>

namespace tracemint {

// The run's random generator (splitmix64): seeded once per run, from --seed or
// from the clock, and drawn from in a fixed order, so a seed reproduces a run.
struct Random {
    uint64_t state = 0;
};

Random seededRandom(uint64_t seed);
// A seed for runs without --seed: time and process id, so parallel runs started
// in the same second still differ.
uint64_t seedFromEnvironment();
// The next value, 31 bits wide like the C library's rand().
uint32_t nextRandom(Random& random);

}  // namespace tracemint
