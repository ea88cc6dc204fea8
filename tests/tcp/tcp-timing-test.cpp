// The modelled clock: packets stamped from the round trip and the rate rather
// than 13 ms apart, as seen at a capture point beside the client.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/pcap-reader.h"
#include "tcp/tcp-session.h"

namespace tracemint {
namespace {

using testing::CaptureFixture;
using testing::Record;

constexpr uint64_t ms = 1000000;

uint8_t directionOf(const Record& r) {
    return r.srcPort() == 40000 ? toServer : toClient;
}

// Checks what every capture must show, whatever the model: time never runs
// backwards, and no side acknowledges what the other has not sent.
void expectOrderly(const std::vector<Record>& records) {
    std::map<std::pair<uint16_t, uint16_t>, uint32_t> sentUpTo;  // by (from port, to port)
    for (size_t i = 0; i < records.size(); ++i) {
        const Record& r = records[i];
        if (i > 0) {
            ASSERT_GE(r.stampNs(), records[i - 1].stampNs()) << "packet " << i;
        }
        // A SYN or a FIN takes one sequence number.
        const uint32_t end = r.seq() + static_cast<uint32_t>(r.payload().size()) +
                             ((r.flags() & 0x03) ? 1 : 0);
        sentUpTo[{r.srcPort(), r.dstPort()}] = end;
        if (r.flags() & 0x10) {
            auto peer = sentUpTo.find({r.dstPort(), r.srcPort()});
            ASSERT_NE(peer, sentUpTo.end()) << "packet " << i;
            EXPECT_LE(static_cast<int32_t>(r.ack() - peer->second), 0)
                << "packet " << i << " acknowledges unseen data";
        }
    }
}

TEST(TcpTiming, FirstPacketFallsOnTheStartTime) {
    const uint64_t starts[] = {0, 1, 1223906136, 1769860800, 4294567295};
    for (uint64_t start : starts) {
        for (bool modelled : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "start " << start << ", modelled " << modelled);
            CaptureFixture f;
            f.settings.timing.startNs = start * 1000000000u;
            if (modelled) f.settings.timing.rttNs = 10 * ms;
            f.applySettings();
            openConnection(f.conn);
            auto records = f.finish();
            ASSERT_EQ(records.size(), 3u);
            EXPECT_EQ(records[0].sec, start);
            EXPECT_EQ(records[0].usec, 0u);
            // Then 13 ms steps, or half the round trip for the SYN-ACK.
            EXPECT_EQ(records[1].stampNs() - records[0].stampNs(), modelled ? 5 * ms : 13 * ms);
        }
    }
}

TEST(TcpTiming, RoundTripSpacesRepliesAndAcks) {
    // 20 ms round trip, no rate: each packet that answers the peer comes half a
    // round trip after what it answers.
    CaptureFixture f;
    f.settings.timing.rttNs = 20 * ms;
    f.settings.mtu = 1500;
    f.settings.tcp.options = true;
    f.applySettings();
    openConnection(f.conn);
    sendMessage(f.conn, "GET / HTTP/1.1\r\n\r\n", toServer);
    for (int i = 0; i < 5; ++i) sendData(f.conn, asBytes(std::string(1200, 'b')), toClient);
    sendMessage(f.conn, "end", toClient);
    closeConnection(f.conn);
    auto records = f.finish();
    expectOrderly(records);

    const uint64_t t0 = records[0].stampNs();
    EXPECT_EQ(records[1].stampNs(), t0 + 10 * ms) << "SYN-ACK";
    EXPECT_EQ(records[2].stampNs(), t0 + 20 * ms) << "handshake ACK";
    ASSERT_FALSE(records[3].payload().empty());
    const uint64_t request = records[3].stampNs();
    EXPECT_EQ(request, t0 + 20 * ms);
    // Every data segment the client receives is acknowledged 10 ms later, and
    // the server's first reply comes 10 ms after the request.
    std::map<uint32_t, uint64_t> dataEnds;  // end sequence number -> time
    bool replied = false;
    size_t pureAcks = 0;
    for (size_t i = 4; i < records.size(); ++i) {
        const Record& r = records[i];
        if (directionOf(r) == toClient && !r.payload().empty()) {
            if (!replied) {
                EXPECT_EQ(r.stampNs(), request + 10 * ms) << "first reply";
            }
            replied = true;
            dataEnds[r.seq() + static_cast<uint32_t>(r.payload().size())] = r.stampNs();
        } else if (directionOf(r) == toServer && r.payload().empty() && r.flags() == tcpAck &&
                   dataEnds.count(r.ack())) {
            EXPECT_EQ(r.stampNs(), dataEnds[r.ack()] + 10 * ms) << "ACK at packet " << i;
            pureAcks += 1;
        }
    }
    EXPECT_TRUE(replied);
    EXPECT_EQ(pureAcks, 6u);
}

TEST(TcpTiming, PayloadIsPacedAtTheRate) {
    struct Case {
        const char* name;
        uint64_t rate;  // bit/s
        uint64_t rtt;
        bool realistic;  // TCP options, delayed ACKs
        size_t segment;
        int segments;
    };
    const Case cases[] = {
        // 8 Mbit/s: one octet per microsecond.
        {"8 Mbit/s alone", 8000000, 0, false, 1000, 20},
        // 1448 octets at 100 Mbit/s: 115840 ns each; a 3 MiB window keeps the
        // 250 kB in flight over 20 ms from ever stopping the sender.
        {"100 Mbit/s, 20 ms, options and delayed ACKs", 100000000, 20 * ms, true, 1448, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CaptureFixture f;
        f.settings.timing.rateBitsPerSecond = c.rate;
        f.settings.timing.rttNs = c.rtt;
        f.settings.blockSize = static_cast<int>(c.segment);
        if (c.realistic) {
            f.settings.mtu = 1500;
            f.settings.tcp.options = true;
            f.settings.tcp.delayedAck = true;
        }
        f.applySettings();
        openConnection(f.conn);
        const std::string block(c.segment, 'r');
        for (int i = 0; i < c.segments; ++i) sendData(f.conn, asBytes(block), toClient);
        auto records = f.finish();
        expectOrderly(records);
        std::vector<uint64_t> stamps;
        for (const auto& r : records) {
            if (!r.payload().empty()) stamps.push_back(r.stampNs());
        }
        ASSERT_EQ(stamps.size(), size_t(c.segments));
        const uint64_t each = c.segment * 8 * 1000000000u / c.rate;
        for (size_t i = 1; i < stamps.size(); ++i) {
            // Record stamps keep whole microseconds.
            const int64_t late = static_cast<int64_t>(stamps[i] - stamps[0]) -
                                 static_cast<int64_t>(i * each);
            ASSERT_LT(std::abs(late), 1000) << "segment " << i;
        }
    }
}

TEST(TcpTiming, SenderStaysInsideTheAdvertisedWindow) {
    struct Case {
        bool options;
        uint32_t window;
        bool delayed;
        size_t segment;
    };
    const Case cases[] = {
        {false, 5840, false, 1200},   // the default window, four segments in flight
        {false, 2401, true, 1200},    // two segments: every ACK is awaited
        {false, 3601, true, 1200},    // three: an odd segment waits for the delayed-ACK timer
        {true, 101361, false, 1448},  // scaled: 101360 is what the receiver can announce
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "window " << c.window << ", delayed " << c.delayed);
        CaptureFixture f;
        f.settings.timing.rttNs = 100 * ms;
        f.settings.timing.rateBitsPerSecond = 1000000000;
        f.settings.tcp.window = c.window;
        f.settings.tcp.delayedAck = c.delayed;
        f.settings.blockSize = static_cast<int>(c.segment);
        if (c.options) {
            f.settings.mtu = 1500;
            f.settings.tcp.options = true;
        }
        f.applySettings();
        openConnection(f.conn);
        const uint8_t shift = f.conn.windowShift;
        const std::string block(c.segment, 'w');
        for (int i = 0; i < 200; ++i) sendData(f.conn, asBytes(block), toClient);
        closeConnection(f.conn);
        auto records = f.finish();
        expectOrderly(records);
        uint32_t acked = records[2].ack();
        uint32_t advertised = uint32_t{records[2].window()} << shift;
        size_t segments = 0;
        for (size_t i = 3; i < records.size(); ++i) {
            const Record& r = records[i];
            if (directionOf(r) == toServer) {
                acked = r.ack();
                advertised = uint32_t{r.window()} << shift;
            } else if (!r.payload().empty()) {
                segments += 1;
                const uint32_t edge = r.seq() + static_cast<uint32_t>(r.payload().size());
                // Strictly inside: a segment that fills the window to its edge is
                // what analysers flag as a full window.
                EXPECT_LT(edge - acked, advertised) << "packet " << i;
            }
        }
        EXPECT_EQ(segments, 200u);
    }
}

TEST(TcpTiming, ConnectionsSharingTheClockNeverRunItBackwards) {
    // FTP's shape: a control connection, a data connection opened and closed
    // in the middle of it, ACKs still queued from one when the other sends.
    CaptureFixture f;
    f.settings.timing.rttNs = 30 * ms;
    f.settings.timing.rateBitsPerSecond = 5000000;
    f.settings.mtu = 1500;
    f.settings.tcp.options = true;
    f.settings.tcp.delayedAck = true;
    f.settings.tcp.randomIsn = true;
    f.settings.blockSize = 1448;
    f.applySettings();
    Flow flow = f.conn.flow;
    flow.source.port = 20;
    std::swap(flow.source.ip, flow.destination.ip);
    TcpSession data = newSession(f.stack, flow);
    openConnection(f.conn);
    sendMessage(f.conn, "220 ready\r\n", toClient);
    sendMessage(f.conn, "RETR file\r\n", toServer);
    openConnection(data);
    for (int i = 0; i < 51; ++i) sendData(data, asBytes(std::string(1448, 'd')), toServer);
    sendMessage(f.conn, "150 sending\r\n", toClient);
    sendData(data, asBytes(std::string(700, 'e')), toServer);
    closeConnection(data);
    sendMessage(f.conn, "226 done\r\n", toClient);
    closeConnection(f.conn);
    auto records = f.finish();
    expectOrderly(records);
    // Per sender, TSval never goes back either.
    std::map<std::pair<uint16_t, uint16_t>, uint32_t> lastTsval;
    for (const auto& r : records) {
        const auto options = r.tcpOptions();
        const uint32_t tsval = getBe32(&options[options.size() == 20 ? 8 : 4]);
        auto key = std::make_pair(r.srcPort(), r.dstPort());
        auto it = lastTsval.find(key);
        if (it != lastTsval.end()) {
            EXPECT_GE(static_cast<int32_t>(tsval - it->second), 0);
        }
        lastTsval[key] = tsval;
    }
}

}  // namespace
}  // namespace tracemint
