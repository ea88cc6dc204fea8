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
// The seed of the index-th input of a run: the run's own seed for the first, so a
// run of one input draws exactly as before; a well-mixed other seed for every
// further one, so no input's draws repeat another's shifted by a few places, and
// each input's draws are the same whether the inputs run one by one or in parallel.
uint64_t inputSeed(uint64_t runSeed, uint64_t index);
// The next value, 31 bits wide like the C library's rand().
uint32_t nextRandom(Random& random);

}  // namespace tracemint
