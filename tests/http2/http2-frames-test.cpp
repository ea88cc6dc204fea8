#include "http2/http2-frames.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "http2/http2-exchange.h"
#include "http2/hpack-test-decoder.h"

namespace tracemint {
namespace {

using Octets = std::vector<uint8_t>;

Octets operator+(Octets a, const std::string& text) {
    for (char c : text) a.push_back(static_cast<uint8_t>(c));
    return a;
}

Octets operator+(Octets a, const Octets& b) {
    for (uint8_t x : b) a.push_back(x);
    return a;
}

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
    // The last stream the server processed is the download's.
    EXPECT_EQ(goawayFrame(), (Octets{0x00, 0x00, 0x08, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00,  //
                                     0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}));
}

TEST(Http2Frames, WindowUpdates) {
    const struct {
        uint32_t stream, increment;
        WindowUpdateFrame octets;
    } cases[] = {
        {0, 33600, {0x00, 0x00, 0x04, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x83, 0x40}},
        {1, 32768, {0x00, 0x00, 0x04, 0x08, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x80, 0x00}},
        // The reserved bit of the increment is sent clear.
        {1,
         0xFFFFFFFF,
         {0x00, 0x00, 0x04, 0x08, 0x00, 0x00, 0x00, 0x00, 0x01, 0x7F, 0xFF, 0xFF, 0xFF}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.increment);
        EXPECT_EQ(windowUpdateFrame(c.stream, c.increment), c.octets);
    }
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

// A chosen type travels as a field of its own after the default ones; none
// chosen leaves the block octet for octet as above. The upgrade request carries
// the chosen host and agent in place of the defaults.
TEST(Http2Frames, ChosenTextsReplaceTheDefaults) {
    const auto response =
        testing::decodeHpackBlock(payloadOf(responseHeadersFrame(7, "text/plain; charset=utf-8")));
    ASSERT_TRUE(response.has_value());
    const std::vector<testing::HpackField> expectedResponse{
        {":status", "200"}, {"content-length", "7"}, {"content-type", "text/plain; charset=utf-8"}};
    EXPECT_EQ(*response, expectedResponse);
    EXPECT_EQ(responseHeadersFrame(7, ""), responseHeadersFrame(7));

    const std::string upgrade = upgradeRequestText("a", {"mx.test", "Agent/2 (x)", ""});
    EXPECT_EQ(upgrade.rfind(
                  "GET /tracemint/a HTTP/1.1\r\nHost: mx.test\r\nUser-Agent: Agent/2 (x)\r\n", 0),
              0u);
    EXPECT_EQ(upgrade.find("Mozilla"), std::string::npos);
    EXPECT_EQ(upgradeRequestText("a", {}), upgradeRequestText("a"));
}

TEST(Http2Frames, NotesNameTheFrameFromItsHeader) {
    const struct {
        FrameHeader header;
        std::string note;
    } cases[] = {
        {frameHeader(12, frameSettings, 0, 0), "HTTP/2 SETTINGS"},
        {frameHeader(0, frameSettings, flagAck, 0), "HTTP/2 SETTINGS (ACK)"},
        {dataFrameHeader(1200), "HTTP/2 DATA: stream 1, 1200 bytes"},
        {frameHeader(0, frameData, flagEndStream, 1), "HTTP/2 DATA: stream 1, 0 bytes, END_STREAM"},
        {frameHeader(40, frameHeaders, flagEndStream | flagEndHeaders, 1),
         "HTTP/2 HEADERS: stream 1, END_STREAM"},
        {frameHeader(8, frameGoaway, 0, 0), "HTTP/2 GOAWAY"},
        {frameHeader(4, 0x08, 0, 0), "HTTP/2 WINDOW_UPDATE"},
        {frameHeader(4, 0x08, 0, 3), "HTTP/2 WINDOW_UPDATE: stream 3"},
        {frameHeader(8, 0x06, flagAck, 0), "HTTP/2 PING (ACK)"},
        {frameHeader(1, 0x2A, 0, 0), "HTTP/2 frame of type 42"},
    };
    for (const auto& c : cases) EXPECT_EQ(frameNote(c.header.data()), c.note);
}

}  // namespace
}  // namespace tracemint
