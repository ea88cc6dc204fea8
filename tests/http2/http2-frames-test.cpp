#include "http2/http2-frames.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "http2/hpack-test-decoder.h"
#include "http2/http2-exchange.h"

namespace tracemint {
namespace {

using Octets = std::vector<uint8_t>;
using testing::HpackField;

Octets operator+(Octets a, const std::string& text) {
    for (char c : text) a.push_back(static_cast<uint8_t>(c));
    return a;
}

Octets operator+(Octets a, const Octets& b) {
    for (uint8_t x : b) a.push_back(x);
    return a;
}

const std::string authority = std::string(serverHostName) + ":80";

// The header block behind a frame header, after checking that the 24-bit length
// field counts exactly the octets that follow.
Octets payloadOf(const Octets& frame) {
    EXPECT_GE(frame.size(), frameHeaderSize);
    const uint32_t length = (uint32_t{frame[0]} << 16) | (uint32_t{frame[1]} << 8) | frame[2];
    EXPECT_EQ(length, frame.size() - frameHeaderSize) << "length field";
    Octets payload;
    for (size_t i = frameHeaderSize; i < frame.size(); ++i) payload.push_back(frame[i]);
    return payload;
}

TEST(Http2Frames, FixedFramesComeOutOctetForOctet) {
    EXPECT_EQ(settingsFrame(), (Octets{0x00, 0x00, 0x0C, 0x04, 0x00, 0x00, 0x00, 0x00,
                                       0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x64,  //
                                       0x00, 0x04, 0x00, 0x00, 0xFF, 0xFF}));
    EXPECT_EQ(settingsAckFrame(), (Octets{0x00, 0x00, 0x00, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(endOfStreamFrame(), (Octets{0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_EQ(goawayFrame(), (Octets{0x00, 0x00, 0x08, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00,  //
                                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(Http2Frames, FrameHeaderFields) {
    const struct {
        uint32_t length;
        uint8_t type, flags;
        uint32_t stream;
        FrameHeader octets;
    } cases[] = {
        {1200, frameData, 0, 1, {0x00, 0x04, 0xB0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}},
        {100, frameData, 0, 1, {0x00, 0x00, 0x64, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}},
        {0xABCDEF,
         frameHeaders,
         0x05,
         0x01020304,
         {0xAB, 0xCD, 0xEF, 0x01, 0x05, 0x01, 0x02, 0x03, 0x04}},
        // The reserved top bit of the stream identifier is always sent clear.
        {0, frameGoaway, 0, 0xFFFFFFFF, {0x00, 0x00, 0x00, 0x07, 0x00, 0x7F, 0xFF, 0xFF, 0xFF}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        EXPECT_EQ(frameHeader(c.length, c.type, c.flags, c.stream), c.octets);
    }
    EXPECT_EQ(dataFrameHeader(1200), cases[0].octets);
    EXPECT_EQ(dataFrameHeader(100), cases[1].octets);
}

// The upgrade request announces the SETTINGS payload in base64url without padding.
TEST(Http2Frames, UpgradeRequestCarriesTheSettingsPayload) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string encoded;
    for (size_t i = 0; i < settingsPayload.size(); i += 3) {  // 12 octets: whole groups
        const uint32_t group = (uint32_t{settingsPayload[i]} << 16) |
                               (uint32_t{settingsPayload[i + 1]} << 8) | settingsPayload[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6) encoded += alphabet[(group >> shift) & 63];
    }
    const std::string request = upgradeRequestText("a%2eb");
    EXPECT_NE(request.find("\r\nHTTP2-Settings: " + encoded + "\r\n"), std::string::npos);
    EXPECT_EQ(payloadOf(settingsFrame()), Octets(settingsPayload.begin(), settingsPayload.end()));
    // 232 characters around the host name and the encoded name.
    EXPECT_EQ(request.size(), 232 + std::string(serverHostName).size() + 5);
}

// The request block with a 10-character encoded name: with a 14-character
// :authority the frame length is 0x38 and the segment 65 octets; our own
// "fileserver:80" is one shorter, so everything but the :path shifts by one.
TEST(Http2Frames, RequestHeadersForATenCharacterName) {
    const std::string name = "report%2ef";
    ASSERT_EQ(name.size(), 10u);
    ASSERT_EQ(authority, "fileserver:80");
    const struct {
        std::string authority;
        uint8_t length;
        size_t segment;
    } cases[] = {{"fileserver1:80", 0x38, 65}, {authority, 0x37, 64}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.authority);
        const Octets expected = Octets{0x00, 0x00, c.length, 0x01, 0x05, 0x00, 0x00, 0x00, 0x01} +
                                Octets{0x01, static_cast<uint8_t>(c.authority.size())} +
                                c.authority + Octets{0x82} + Octets{0x04, 0x15} + "/tracemint/" +
                                name + Octets{0x86} + Octets{0x53, 0x03, 0x2A, 0x2F, 0x2A} +
                                Octets{0x58, 0x08} + "no-cache";
        const Octets frame = requestHeadersFrame(c.authority, name);
        EXPECT_EQ(frame, expected);
        EXPECT_EQ(frame.size(), c.segment);
    }
}

TEST(Http2Frames, ResponseHeadersCarryTheTrueSize) {
    const struct {
        uint64_t size;
        Octets octets;
    } cases[] = {
        {0, Octets{0x00, 0x00, 0x13, 0x01, 0x04, 0x00, 0x00, 0x00, 0x01, 0x88, 0x10, 0x0E} +
                "content-length" + Octets{0x01} + "0"},
        {2500, Octets{0x00, 0x00, 0x16, 0x01, 0x04, 0x00, 0x00, 0x00, 0x01, 0x88, 0x10, 0x0E} +
                   "content-length" + Octets{0x04} + "2500"},
        // Past 32 bits the size is still told in full.
        {5'000'000'000,
         Octets{0x00, 0x00, 0x1C, 0x01, 0x04, 0x00, 0x00, 0x00, 0x01, 0x88, 0x10, 0x0E} +
             "content-length" + Octets{0x0A} + "5000000000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        EXPECT_EQ(responseHeadersFrame(c.size), c.octets);
    }
    EXPECT_EQ(responseHeadersFrame(0).size(), 28u);
    EXPECT_EQ(responseHeadersFrame(2500).size(), 31u);
}

// Names past 115 encoded characters no longer fit the one-octet string length
// or the one-octet frame length; a peer must still read the path back whole.
TEST(Http2Frames, LongNamesDecodeBackToTheirPath) {
    for (size_t n : {size_t{115}, size_t{116}, size_t{300}}) {
        SCOPED_TRACE(n);
        std::string name;
        for (size_t i = 0; i < n; ++i) name += static_cast<char>('a' + i % 26);
        const Octets frame = requestHeadersFrame(authority, name);
        EXPECT_EQ(frame[3], frameHeaders);
        EXPECT_EQ(frame[4], flagEndStream | flagEndHeaders);
        const auto fields = testing::decodeHpackBlock(payloadOf(frame));
        ASSERT_TRUE(fields.has_value()) << "block does not decode";
        const std::vector<HpackField> expected{
            {":authority", authority}, {":method", "GET"}, {":path", "/tracemint/" + name},
            {":scheme", "http"},       {"accept", "*/*"},  {"cache-control", "no-cache"},
        };
        EXPECT_EQ(*fields, expected);
        // Up to 115 characters the :path length is one octet; then it continues
        // in 7-bit groups (127 + 128 + ...).
        const size_t lengthOctets = n + 11 < 127 ? 1 : n + 11 < 127 + 128 ? 2 : 3;
        EXPECT_EQ(frame.size(), authority.size() + n + 40 + lengthOctets);
    }
}

}  // namespace
}  // namespace tracemint
