#include "http/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "tcp/tcp-session.h"
#include "http/http-test-support.h"

namespace tracemint {
namespace {

uint32_t zlibCrc(uint32_t crc, const uint8_t* p, size_t n) {
    return static_cast<uint32_t>(::crc32(crc, p, static_cast<uInt>(n)));
}

TEST(Crc32, KnownValues) {
    // The check value of CRC-32/ISO-HDLC, the CRC of gzip (RFC 1952).
    EXPECT_EQ(crc32Update(0, asBytes("123456789")), 0xCBF43926u);
    EXPECT_EQ(crc32Update(0, {}), 0u);
    EXPECT_EQ(crc32Update(0xCBF43926u, {}), 0xCBF43926u) << "no bytes leave the CRC as it is";
    EXPECT_EQ(crc32Update(0, asBytes("a")), 0xE8B7BE43u);
    EXPECT_EQ(crc32Update(0, asBytes("The quick brown fox jumps over the lazy dog")), 0x414FA339u);
}

// The eight-byte steps and the byte tail must agree with zlib for every length
// around the step size and for every alignment of the first byte.
TEST(Crc32, MatchesZlibForEveryLengthAndAlignment) {
    const std::vector<uint8_t> data = testing::noiseBytes(70000, 99);
    for (size_t offset = 0; offset < 8; ++offset) {
        for (size_t n = 0; n <= 80; ++n) {
            SCOPED_TRACE(::testing::Message() << "offset " << offset << " length " << n);
            ASSERT_EQ(crc32Update(0, Bytes(data.data() + offset, n)),
                      zlibCrc(0, data.data() + offset, n));
        }
    }
    for (size_t n : {255u, 256u, 257u, 4095u, 65536u, 69990u}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(crc32Update(0, Bytes(data.data() + 3, n)), zlibCrc(0, data.data() + 3, n));
    }
    const std::vector<uint8_t> ones(1000, 0xFF);
    EXPECT_EQ(crc32Update(0, ones), zlibCrc(0, ones.data(), ones.size()));
}

// A file is fed block by block: continuing from the CRC so far must give the CRC
// of the whole, wherever the cuts fall.
TEST(Crc32, FeedingInPiecesEqualsFeedingWhole) {
    const std::vector<uint8_t> data = testing::noiseBytes(10007, 5);
    const uint32_t whole = crc32Update(0, data);
    ASSERT_EQ(whole, zlibCrc(0, data.data(), data.size()));
    for (size_t piece : {1u, 3u, 7u, 8u, 9u, 13u, 1200u, 4096u}) {
        SCOPED_TRACE(piece);
        uint32_t crc = 0;
        for (size_t pos = 0; pos < data.size(); pos += piece) {
            size_t n = std::min(piece, data.size() - pos);
            crc = crc32Update(crc, Bytes(data.data() + pos, n));
        }
        EXPECT_EQ(crc, whole);
    }
    const std::string_view text = "123456789";
    EXPECT_EQ(crc32Update(crc32Update(0, asBytes(text.substr(0, 4))), asBytes(text.substr(4))),
              0xCBF43926u);
}

}  // namespace
}  // namespace tracemint
