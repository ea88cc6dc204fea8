#include "common/checksum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "common/reference-checksum.h"

namespace tracemint {
namespace {

using testing::referenceChecksum;
using testing::referenceSum;

Bytes slice(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
    return Bytes(bytes.data() + from, to - from);
}

// Random bytes; with skew the bytes are mostly 0xFF, so that nearly every addition
// carries and the end-around carry is exercised hard.
std::vector<uint8_t> randomBytes(std::mt19937& gen, size_t n, bool skew) {
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes) {
        b = static_cast<uint8_t>(gen());
        if (skew && gen() % 8 != 0) b = 0xFF;
    }
    return bytes;
}

struct KnownVector {
    std::vector<uint8_t> bytes;
    uint16_t checksum;
};

TEST(InternetChecksum, KnownVectors) {
    const KnownVector vectors[] = {
        // RFC 1071 section 3: the words sum to 0xddf2.
        {{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}, 0x220d},
        // Nothing to sum: the complement of zero.
        {{}, 0xFFFF},
        // An odd final byte is the high byte of a word padded with zero.
        {{0xab}, 0x54FF},
        {{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7, 0x01}, 0x210d},
        // All ones sums to 0xFFFF (never to the other zero), complemented to 0.
        {{0xff, 0xff}, 0x0000},
        {std::vector<uint8_t>(64, 0xff), 0x0000},
        // A carry out of the top bit wraps around: 0xFFFF + 0x0002 = 0x0002.
        {{0xff, 0xff, 0x00, 0x02}, 0xFFFD},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(::testing::PrintToString(v.bytes));
        EXPECT_EQ(internetChecksum(Bytes(v.bytes)), v.checksum);
    }
}

TEST(InternetChecksum, MatchesReferenceForEveryLength) {
    std::mt19937 gen(1071);
    for (bool skew : {false, true}) {
        for (size_t n = 0; n <= 200; ++n) {
            for (int round = 0; round < 4; ++round) {
                auto bytes = randomBytes(gen, n, skew);
                SCOPED_TRACE("length " + std::to_string(n));
                ASSERT_EQ(internetChecksum(Bytes(bytes)), referenceChecksum(bytes));
            }
        }
    }
}

TEST(InternetChecksum, MatchesReferenceForLongInputs) {
    // Long enough that a wide accumulator would overflow many times over without
    // its end-around carry.
    std::mt19937 gen(65535);
    for (size_t n : {1499u, 1500u, 65536u, 200001u}) {
        for (bool skew : {false, true}) {
            auto bytes = randomBytes(gen, n, skew);
            SCOPED_TRACE("length " + std::to_string(n));
            EXPECT_EQ(internetChecksum(Bytes(bytes)), referenceChecksum(bytes));
        }
    }
}

TEST(InternetChecksum, PiecesGiveTheChecksumOfTheirConcatenation) {
    // Every way of cutting the input into three pieces, so that pieces of odd
    // length start and end at odd offsets of the whole.
    std::mt19937 gen(793);
    for (size_t n : {0u, 1u, 2u, 3u, 7u, 8u, 9u, 16u, 17u, 31u, 40u, 41u, 199u, 200u}) {
        for (bool skew : {false, true}) {
            auto bytes = randomBytes(gen, n, skew);
            const uint16_t expected = referenceChecksum(bytes);
            for (size_t i = 0; i <= n; ++i) {
                ASSERT_EQ(internetChecksum({slice(bytes, 0, i), slice(bytes, i, n)}), expected)
                    << "length " << n << ", cut at " << i;
                for (size_t j = i; j <= n; ++j) {
                    ASSERT_EQ(internetChecksum(
                                  {slice(bytes, 0, i), slice(bytes, i, j), slice(bytes, j, n)}),
                              expected)
                        << "length " << n << ", cuts at " << i << " and " << j;
                }
            }
        }
    }
}

TEST(InternetChecksum, ManyOddPiecesInARow) {
    // Five pieces with random cut points: the byte parity flips back and forth.
    std::mt19937 gen(8200);
    for (int round = 0; round < 2000; ++round) {
        const size_t n = gen() % 300;
        auto bytes = randomBytes(gen, n, round % 2 == 1);
        size_t cut[4];
        for (auto& c : cut) c = n == 0 ? 0 : gen() % (n + 1);
        std::sort(std::begin(cut), std::end(cut));
        const uint16_t sum = internetChecksum(
            {slice(bytes, 0, cut[0]), slice(bytes, cut[0], cut[1]), slice(bytes, cut[1], cut[2]),
             slice(bytes, cut[2], cut[3]), slice(bytes, cut[3], n)});
        ASSERT_EQ(sum, referenceChecksum(bytes)) << "length " << n << ", cuts " << cut[0] << " "
                                                 << cut[1] << " " << cut[2] << " " << cut[3];
    }
}

TEST(InternetChecksum, ReceiverSumOverStoredChecksumIsAllOnes) {
    // The sender computes the checksum with its field zeroed and stores it in
    // network order; a receiver summing everything, checksum included, must get
    // 0xFFFF (RFC 1071 section 1).
    std::mt19937 gen(1);
    for (size_t n = 12; n <= 120; ++n) {
        auto bytes = randomBytes(gen, n, n % 3 == 0);
        const size_t field = 10;
        bytes[field] = 0;
        bytes[field + 1] = 0;
        const uint16_t sum = internetChecksum(Bytes(bytes));
        bytes[field] = static_cast<uint8_t>(sum >> 8);
        bytes[field + 1] = static_cast<uint8_t>(sum);
        ASSERT_EQ(referenceSum(bytes), 0xFFFF) << "length " << n;
    }
}

}  // namespace
// A decoy fragment with two octets adjusted adds the same to the checksum as
// the real one: a datagram that carries either verifies. Odd lengths (a last
// fragment) and every word position, the first and the last among them.
TEST(InternetChecksum, BalancedOctetsKeepTheSum) {
    std::mt19937 gen(7);
    for (size_t n : {2u, 3u, 8u, 9u, 400u, 1001u}) {
        const auto reference = randomBytes(gen, n, false);
        for (size_t word = 0; word + 1 < n; word += 2) {
            auto altered = randomBytes(gen, n, false);
            const auto before = altered;
            balanceChecksum(Bytes(reference), std::span<uint8_t>(altered), word);
            // 0x0000 and 0xFFFF are the same one's-complement number.
            const uint16_t want = referenceSum(reference);
            const uint16_t got = referenceSum(altered);
            ASSERT_TRUE(want == got || (want % 0xFFFF == 0 && got % 0xFFFF == 0))
                << "length " << n << ", word " << word;
            for (size_t i = 0; i < n; ++i) {
                if (i != word && i != word + 1) {
                    ASSERT_EQ(altered[i], before[i]) << "octet " << i;
                }
            }
        }
    }
}

}  // namespace tracemint
