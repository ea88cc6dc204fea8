#include "http2/http2-exchange.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "common/fatal-error.h"
#include "http/http-test-support.h"
#include "http/url-path.h"
#include "http2/http2-frames.h"
#include "support/pcap-reader.h"

namespace tracemint {
namespace {

using testing::Record;
using Octets = std::vector<uint8_t>;

constexpr uint16_t clientPort = 40000;

Octets bytesOf(std::string_view text) {
    return Octets(text.begin(), text.end());
}

struct Exchange {
    testing::TempInput input;
    testing::CaptureFixture f;
    std::vector<Record> records;

    Exchange(const Octets& bytes, int blockSize, const std::string& name = "/srv/bin.dat")
        : input(bytes) {
        f.useInput(input.file, blockSize, name);
    }
    void run() {
        runHttp2Transfer(f.conn, f.file);
        records = f.finish();
    }

    // Every payload in capture order with the side that sent it; each must start
    // where that side's previous one ended and be acknowledged by the next record.
    std::vector<std::pair<bool, Octets>> payloads() const {
        std::vector<std::pair<bool, Octets>> out;
        uint32_t next[2] = {0, 0};
        bool seen[2] = {false, false};
        for (size_t i = 0; i < records.size(); ++i) {
            const Record& r = records[i];
            const Octets p = r.payload();
            if (p.empty()) continue;
            const bool fromClient = r.srcPort() == clientPort;
            if (seen[fromClient]) {
                EXPECT_EQ(r.seq(), next[fromClient]) << "record " << i;
            }
            seen[fromClient] = true;
            next[fromClient] = r.seq() + static_cast<uint32_t>(p.size());
            EXPECT_EQ(r.flags(), tcpPshAck);
            if (i + 1 < records.size()) {
                const Record& ack = records[i + 1];
                EXPECT_TRUE(ack.payload().empty() && ack.flags() == tcpAck &&
                            (ack.srcPort() == clientPort) != fromClient &&
                            ack.ack() == next[fromClient])
                    << "no acknowledgement after record " << i;
            }
            out.emplace_back(fromClient, p);
        }
        return out;
    }
};

// A window update after a DATA frame: the frame's number (from 1) and the
// increment granted on the connection and on the stream.
struct Credit {
    size_t afterFrame;
    uint32_t increment;
};

// The dialogue for a file in blocks: the server's frames, and the client's
// credit, both WINDOW_UPDATE frames in one segment.
std::vector<std::pair<bool, Octets>> expectedDialogue(const Octets& file, size_t block,
                                                      const std::string& encodedName,
                                                      const std::vector<Credit>& credits) {
    std::vector<std::pair<bool, Octets>> d{
        {true, bytesOf(upgradeRequestText(encodedName))},
        {false, bytesOf(switchingProtocolsText)},
        {true, bytesOf(clientPreface)},
        {false, settingsFrame()},
        {true, settingsAckFrame()},
        {true, settingsFrame()},
        {false, settingsAckFrame()},
        {false, responseHeadersFrame(file.size())},
    };
    auto credit = credits.begin();
    size_t frames = 0;
    for (size_t at = 0; at < file.size(); at += block) {
        const size_t n = std::min(block, file.size() - at);
        FrameHeader h = dataFrameHeader(static_cast<uint32_t>(n));
        Octets frame(h.begin(), h.end());
        for (size_t i = 0; i < n; ++i) frame.push_back(file[at + i]);
        d.emplace_back(false, frame);
        if (credit != credits.end() && credit->afterFrame == ++frames) {
            const WindowUpdateFrame connection = windowUpdateFrame(0, credit->increment);
            const WindowUpdateFrame stream = windowUpdateFrame(1, credit->increment);
            Octets both(connection.begin(), connection.end());
            both.insert(both.end(), stream.begin(), stream.end());
            d.emplace_back(true, both);
            ++credit;
        }
    }
    EXPECT_EQ(credit, credits.end()) << "credit after a frame that was not sent";
    d.emplace_back(false, endOfStreamFrame());
    d.emplace_back(false, goawayFrame());
    return d;
}

// What a run leaves that is not up to the exchange must not change it: the
// direction an earlier mode left behind, an HTTP/1.1 body encoding, a port
// other than 80. The capture holds the handshake, 2 x (10 + k + w) packets for
// k DATA frames and w window updates, and the teardown. The client grants
// credit once 32768 octets or more have come since its last grant: 28 frames
// of 1200, or exactly 32 of 1024 (the last one also after the final frame).
TEST(Http2Exchange, WholeDialogueInOrderFromTheRightSides) {
    const struct {
        size_t size;
        int block;
        size_t dataFrames;
        std::vector<Credit> credits;
    } cases[] = {{0, 1200, 0, {}},
                 {2500, 1200, 3, {}},
                 {2400, 1200, 2, {}},
                 {5, 1, 5, {}},
                 {70000, 1200, 59, {{28, 33600}, {56, 33600}}},
                 {65536, 1024, 64, {{32, 32768}, {64, 32768}}},
                 {32767, 1024, 32, {}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.size << " bytes in blocks of " << c.block);
        const Octets file = testing::noiseBytes(c.size, 5);
        Exchange x(file, c.block);
        // Another mode's encoder is not this mode's business.
        x.f.settings.httpEncoder = httpGzipChunked;
        x.f.conn.flow.destination.port = 8080;
        x.run();

        ASSERT_EQ(x.records.size(), 3 + 2 * (10 + c.dataFrames + c.credits.size()) + 4);
        EXPECT_EQ(x.records[0].flags(), tcpSyn);
        EXPECT_EQ(x.records[x.records.size() - 4].flags(), tcpFinAck);
        for (const Record& r : x.records) {
            EXPECT_TRUE(r.dstPort() == 8080 || r.srcPort() == 8080);
        }
        EXPECT_EQ(x.payloads(), expectedDialogue(file, static_cast<size_t>(c.block),
                                                 "srv%2fbin%2edat", c.credits));

        // Each packet 13000 us after the one before, or at the next whole second.
        for (size_t i = 1; i < x.records.size(); ++i) {
            const Record& a = x.records[i - 1];
            const Record& b = x.records[i];
            const bool step = b.sec == a.sec && b.usec == a.usec + 13000;
            const bool rollover = b.sec == a.sec + 1 && b.usec == 0;
            EXPECT_TRUE(step || rollover) << "record " << i;
        }
    }
}

TEST(Http2Exchange, TooLongNameEndsTheRunBeforeAnyPacket) {
    Exchange x(testing::noiseBytes(10), 1200, std::string(246, 'a'));
    try {
        runHttp2Transfer(x.f.conn, x.f.file);
        FAIL() << "no error for a name over the budget";
    } catch (const FatalError& e) {
        EXPECT_STREQ(e.what(), urlEncoderTooLong);
        EXPECT_EQ(e.status, exitFailure);
    }
    EXPECT_TRUE(x.f.finish().empty());
}

}  // namespace
}  // namespace tracemint
