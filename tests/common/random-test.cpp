#include "common/random.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <vector>

namespace tracemint {
namespace {

std::vector<uint32_t> draws(uint64_t seed, size_t n) {
    Random random = seededRandom(seed);
    std::vector<uint32_t> values(n);
    for (uint32_t& value : values) value = nextRandom(random);
    return values;
}

TEST(InputSeed, FirstInputKeepsTheRunSeedOthersGetUnrelatedStreams) {
    for (uint64_t runSeed : {uint64_t{0}, uint64_t{7}, UINT64_MAX}) {
        SCOPED_TRACE(runSeed);
        EXPECT_EQ(inputSeed(runSeed, 0), runSeed);
        std::set<uint64_t> seeds;
        for (uint64_t index = 0; index < 1000; ++index) seeds.insert(inputSeed(runSeed, index));
        EXPECT_EQ(seeds.size(), 1000u);

        // A seed that merely advanced the generator would repeat the first
        // input's draws a few places later.
        const std::vector<uint32_t> first = draws(runSeed, 1000);
        for (uint64_t index = 1; index < 20; ++index) {
            const std::vector<uint32_t> other = draws(inputSeed(runSeed, index), 4);
            EXPECT_EQ(std::search(first.begin(), first.end(), other.begin(), other.end()),
                      first.end());
        }
    }
}

}  // namespace
}  // namespace tracemint
