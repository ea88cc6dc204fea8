#include "http/chunked.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tcp/tcp-session.h"
#include "http/http-test-support.h"
#include "support/pcap-reader.h"

namespace tracemint {
namespace {

TEST(ChunkedCoding, SizeLineIsLowerCaseHexWithoutLeadingZeros) {
    const struct {
        uint64_t size;
        const char* line;
    } cases[] = {
        {0, "0\r\n"},
        {1, "1\r\n"},
        {10, "a\r\n"},
        {15, "f\r\n"},
        {16, "10\r\n"},
        {100, "64\r\n"},
        {255, "ff\r\n"},
        {1200, "4b0\r\n"},
        {4096, "1000\r\n"},
        {0xABCDEF, "abcdef\r\n"},
        {0xFFFFFFFFull, "ffffffff\r\n"},
        {1ull << 32, "100000000\r\n"},
        {UINT64_MAX, "ffffffffffffffff\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        EXPECT_EQ(chunkSizeLine(c.size), c.line);
    }
}

// The payload segments that follow the handshake, in capture order.
std::vector<testing::Record> payloadSegments(const std::vector<testing::Record>& records) {
    std::vector<testing::Record> out;
    for (const auto& r : records) {
        if (!r.payload().empty()) out.push_back(r);
    }
    return out;
}

TEST(ChunkedCoding, EachChunkIsOneSegmentWithSizeLineDataAndLineEnd) {
    const std::vector<uint8_t> ten = testing::noiseBytes(10);
    const std::vector<uint8_t> big = testing::noiseBytes(1200, 7);

    testing::CaptureFixture f;
    openConnection(f.conn);
    sendChunked(f.conn, ten, toClient);
    sendChunked(f.conn, big, toClient);
    sendChunked(f.conn, {}, toClient);
    auto segments = payloadSegments(f.finish());

    ASSERT_EQ(segments.size(), 3u);
    for (const auto& s : segments) {
        EXPECT_EQ(s.srcPort(), 80) << "direction 1 is the server's";
        EXPECT_EQ(s.flags(), tcpPshAck);
    }

    std::vector<uint8_t> first = testing::toBytes("a\r\n");
    first.insert(first.end(), ten.begin(), ten.end());
    first.push_back('\r');
    first.push_back('\n');
    EXPECT_EQ(segments[0].payload(), first);
    EXPECT_EQ(segments[0].payload().size(), 15u);

    auto second = segments[1].payload();
    ASSERT_EQ(second.size(), 1207u);
    EXPECT_EQ(std::string(second.begin(), second.begin() + 5), "4b0\r\n");
    EXPECT_EQ(std::vector<uint8_t>(second.begin() + 5, second.end() - 2), big);
    EXPECT_EQ(std::string(second.end() - 2, second.end()), "\r\n");

    EXPECT_EQ(segments[2].payloadText(), "0\r\n\r\n");
}

// A receiver that knows nothing of this code gets the bytes back from the
// concatenated segments, with nothing after the terminating chunk.
TEST(ChunkedCoding, ConcatenatedSegmentsDecodeToTheData) {
    const std::vector<std::vector<uint8_t>> pieces = {
        testing::toBytes("0\r\n"),  // data that looks like a last chunk
        testing::noiseBytes(1),       testing::noiseBytes(16, 3),
        testing::noiseBytes(1200, 4), testing::textBytes(4097),
    };

    testing::CaptureFixture f;
    openConnection(f.conn);
    std::vector<uint8_t> expected;
    for (const auto& p : pieces) {
        sendChunked(f.conn, p, toServer);
        expected.insert(expected.end(), p.begin(), p.end());
    }
    sendChunked(f.conn, {}, toServer);
    auto segments = payloadSegments(f.finish());

    ASSERT_EQ(segments.size(), pieces.size() + 1);
    std::vector<uint8_t> stream;
    for (const auto& s : segments) {
        EXPECT_EQ(s.dstPort(), 80) << "direction 0 is the client's";
        auto p = s.payload();
        stream.insert(stream.end(), p.begin(), p.end());
    }
    auto decoded = testing::decodeChunked(stream);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, expected);
}

}  // namespace
}  // namespace tracemint
