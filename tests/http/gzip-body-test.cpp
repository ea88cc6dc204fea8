#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "common/fatal-error.h"
#include "http/http-gzip.h"
#include "http/http-test-support.h"

namespace tracemint {
namespace {

// Everything in the temporary file, read by offset so the descriptor's own
// position does not matter.
std::vector<uint8_t> readWhole(int fd) {
    std::vector<uint8_t> out;
    uint8_t buffer[65536];
    for (;;) {
        ssize_t k = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(out.size()));
        if (k <= 0) break;
        out.insert(out.end(), buffer, buffer + k);
    }
    return out;
}

// The gzip member as the body carries it: fixed header, the raw deflate data of
// the temporary file, trailer.
std::vector<uint8_t> gzipMember(const GzipBody& body) {
    std::vector<uint8_t> member(gzipHeader.begin(), gzipHeader.end());
    std::vector<uint8_t> tmp = readWhole(body.fd);
    member.insert(member.end(), tmp.begin(), tmp.end());
    auto trailer = gzipTrailer(body.crc, body.inputSize);
    member.insert(member.end(), trailer.begin(), trailer.end());
    return member;
}

// Owns a prepared body for one test: compresses the input, releases at the end.
struct CompressedInput {
    testing::TempInput input;
    Settings settings;
    Transfer file;
    GzipBody body;

    explicit CompressedInput(const std::vector<uint8_t>& bytes, int level = 3) : input(bytes) {
        settings.gzipLevel = level;
        file.input = &input.file;
        file.settings = &settings;
        compressGzip(file, body);
    }
    ~CompressedInput() { releaseGzipBody(body); }
};

TEST(GzipBody, EmptyInputIsOneFinalBlock) {
    {
        CompressedInput c({});
        // At the default level: the final fixed-Huffman block with only the
        // end-of-block code.
        EXPECT_EQ(readWhole(c.body.fd), (std::vector<uint8_t>{0x03, 0x00}));
        EXPECT_EQ(c.body.tmpSize, 2u);
        EXPECT_EQ(gzipContentLength(c.body), 20u);
        EXPECT_EQ(gzipTrailer(c.body.crc, c.body.inputSize), (std::array<uint8_t, 8>{}));
    }
    // Level 0 writes a dynamic-Huffman block even for nothing; it must still
    // decode to nothing.
    for (int level = 0; level <= 3; ++level) {
        SCOPED_TRACE(level);
        CompressedInput c({}, level);
        EXPECT_EQ(c.body.crc, 0u);
        EXPECT_EQ(c.body.inputSize, 0u);
        auto decoded = testing::gunzip(gzipMember(c.body));
        ASSERT_TRUE(decoded.has_value());
        EXPECT_TRUE(decoded->empty());
    }
}

TEST(GzipBody, TrailerIsCrcThenSizeModulo32BitsLittleEndian) {
    const struct {
        uint32_t crc;
        uint64_t size;
        std::array<uint8_t, 8> trailer;
    } cases[] = {
        {0, 0, {0, 0, 0, 0, 0, 0, 0, 0}},
        {0xCBF43926u, 9, {0x26, 0x39, 0xF4, 0xCB, 0x09, 0x00, 0x00, 0x00}},
        {0x01020304u, 0xFFFFFFFFull, {0x04, 0x03, 0x02, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}},
        {0, 1ull << 32, {0, 0, 0, 0, 0, 0, 0, 0}},                 // 4 GiB
        {0, 5368709120ull, {0, 0, 0, 0, 0x00, 0x00, 0x00, 0x40}},  // 5 GiB: 1 GiB left
        {0, (1ull << 32) + 5, {0, 0, 0, 0, 0x05, 0, 0, 0}},
        {0xFFFFFFFFu, 0x1234567890ull, {0xFF, 0xFF, 0xFF, 0xFF, 0x90, 0x78, 0x56, 0x34}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        EXPECT_EQ(gzipTrailer(c.crc, c.size), c.trailer);
    }
}

TEST(GzipBody, NineDigitsGiveTheCheckCrcAndSize) {
    CompressedInput c(testing::toBytes("123456789"));
    EXPECT_EQ(c.body.crc, 0xCBF43926u);
    EXPECT_EQ(c.body.inputSize, 9u);
    auto member = gzipMember(c.body);
    ASSERT_GE(member.size(), 18u);
    EXPECT_EQ(std::vector<uint8_t>(member.end() - 8, member.end()),
              (std::vector<uint8_t>{0x26, 0x39, 0xF4, 0xCB, 0x09, 0x00, 0x00, 0x00}));
}

// The pieces must form one gzip member that a receiver inflates back to the input
// at every level: zlib checks the raw deflate data, the CRC-32 (here also against
// zlib's own) and ISIZE. The sizes take the compressor through several output
// buffers and (past 128 KiB) several input reads, so the CRC is chained.
TEST(GzipBody, HeaderDeflateDataAndTrailerInflateToTheInput) {
    const struct {
        const char* label;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"one byte", testing::noiseBytes(1)},
        {"compressible 300 KiB", testing::textBytes(300 * 1024)},
        {"incompressible 300 KiB", testing::noiseBytes(300 * 1024, 11)},
        {"compressible past one read", testing::textBytes((1 << 20) + 12345)},
        {"incompressible past two reads", testing::noiseBytes((2 << 20) + 777, 12)},
    };
    for (const auto& tc : cases) {
        for (int level = 0; level <= 3; ++level) {
            SCOPED_TRACE(tc.label + std::string(", level ") + std::to_string(level));
            CompressedInput c(tc.bytes, level);
            const auto& in = tc.bytes;
            EXPECT_EQ(c.body.inputSize, in.size());
            EXPECT_EQ(c.body.crc,
                      static_cast<uint32_t>(::crc32(0, in.data(), static_cast<uInt>(in.size()))));

            std::vector<uint8_t> tmp = readWhole(c.body.fd);
            EXPECT_EQ(tmp.size(), c.body.tmpSize) << "the file must end where the deflate data ends";

            auto member = gzipMember(c.body);
            EXPECT_EQ(member.size(), gzipContentLength(c.body));
            auto decoded = testing::gunzip(member);
            ASSERT_TRUE(decoded.has_value());
            EXPECT_TRUE(*decoded == in);
        }
    }
}

// A level outside 0 to 3 never reaches the library (the command line refuses it
// first; this guards other callers).
TEST(GzipBody, LevelOutsideTheRangeIsAnError) {
    for (int level : {-1, 4}) {
        testing::TempInput input(testing::textBytes(100));
        Settings settings;
        settings.gzipLevel = level;
        Transfer file;
        file.input = &input.file;
        file.settings = &settings;
        GzipBody body;
        EXPECT_THROW(compressGzip(file, body), FatalError);
        EXPECT_EQ(body.fd, -1);
    }
}

// The body covers the input as large as it was when the run began, even if the
// file has grown since, so the announced length and the CRC agree with what is sent.
TEST(GzipBody, CompressesOnlyTheSizeTheRunStartedWith) {
    const std::vector<uint8_t> bytes = testing::textBytes(5000);
    testing::TempInput input(bytes);
    input.file.size = 3000;
    Settings settings;
    Transfer file;
    file.input = &input.file;
    file.settings = &settings;
    GzipBody body;
    compressGzip(file, body);

    EXPECT_EQ(body.inputSize, 3000u);
    auto decoded = testing::gunzip(gzipMember(body));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 3000));
    releaseGzipBody(body);
}

TEST(GzipBody, PreparedOnceAndReleased) {
    testing::TempInput input(testing::textBytes(4000));
    Settings settings;
    Transfer file;
    file.input = &input.file;
    file.settings = &settings;
    GzipBody body;
    compressGzip(file, body);
    const GzipBody first = body;
    const std::vector<uint8_t> contents = readWhole(body.fd);

    compressGzip(file, body);
    EXPECT_EQ(body.fd, first.fd);
    EXPECT_EQ(body.tmpSize, first.tmpSize);
    EXPECT_EQ(body.crc, first.crc);
    EXPECT_EQ(readWhole(body.fd), contents) << "the second call must not append a second stream";

    releaseGzipBody(body);
    EXPECT_EQ(body.fd, -1);
    EXPECT_EQ(body.tmpSize, 0u);
    errno = 0;
    EXPECT_EQ(::fcntl(first.fd, F_GETFD), -1) << "the descriptor is closed";
    EXPECT_EQ(errno, EBADF);
}

}  // namespace
}  // namespace tracemint
