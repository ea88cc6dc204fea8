#include "common/random.h"

#include <time.h>
#include <unistd.h>

namespace tracemint {

Random seededRandom(uint64_t seed) {
    return Random{seed};
}

uint64_t seedFromEnvironment() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<uint64_t>(now.tv_sec) << 20) ^ static_cast<uint64_t>(now.tv_nsec) ^
           (static_cast<uint64_t>(getpid()) << 40);
}

namespace {

// splitmix64's output function: every input bit affects every output bit.
uint64_t mix64(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

uint64_t inputSeed(uint64_t runSeed, uint64_t index) {
    if (index == 0) return runSeed;
    return mix64(runSeed ^ mix64(index * 0x9E3779B97F4A7C15ull));
}

uint32_t nextRandom(Random& random) {
    random.state += 0x9E3779B97F4A7C15ull;
    uint64_t z = random.state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<uint32_t>(z >> 33);
}

}  // namespace tracemint
