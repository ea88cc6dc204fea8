#include "tcp/tcp-session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "common/reference-checksum.h"
#include "support/pcap-reader.h"

namespace tracemint {
namespace {

using testing::CaptureFixture;
using testing::Record;
using testing::referenceSum;
using testing::tcpChecksumCoverage;

// What one packet of a conversation should show.
struct Expected {
    uint8_t direction;
    uint8_t flags;
    uint32_t seq;
    uint32_t ack;
    std::string payload;
};

void expectPackets(const std::vector<Record>& records, const std::vector<Expected>& expected) {
    ASSERT_EQ(records.size(), expected.size());
    for (size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE(::testing::Message() << "packet " << i);
        const Record& r = records[i];
        const Expected& e = expected[i];
        const bool toServerSide = e.direction == toServer;
        EXPECT_EQ(r.srcPort(), toServerSide ? 40000 : 80);
        EXPECT_EQ(r.dstPort(), toServerSide ? 80 : 40000);
        EXPECT_EQ(r.frame[0], 0x00);
        EXPECT_EQ(r.frame[1], toServerSide ? 0x11 : 0x55) << "destination MAC";
        EXPECT_EQ(r.flags(), e.flags);
        EXPECT_EQ(r.seq(), e.seq);
        EXPECT_EQ(r.ack(), e.ack);
        EXPECT_EQ(r.payloadText(), e.payload);
        EXPECT_EQ(referenceSum(tcpChecksumCoverage(r.frame)), 0xFFFF) << "TCP checksum";
    }
}

// Stamps as (seconds after the start, microseconds).
void expectStamps(const std::vector<Record>& records, uint32_t base,
                  const std::vector<std::pair<uint32_t, uint32_t>>& stamps) {
    ASSERT_EQ(records.size(), stamps.size());
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].sec, base + stamps[i].first) << "packet " << i;
        EXPECT_EQ(records[i].usec, stamps[i].second) << "packet " << i;
    }
}

TEST(TcpSession, HandshakeTeardownAndStamps) {
    for (uint8_t version : {uint8_t{4}, uint8_t{6}}) {
        SCOPED_TRACE(::testing::Message() << "IPv" << int{version});
        CaptureFixture f(version);
        openConnection(f.conn);
        const uint32_t c = f.conn.nextSeq[0] - 1;
        const uint32_t s = f.conn.nextSeq[1] - 1;
        EXPECT_GE(c, 1u);
        EXPECT_LE(c, 4096u);
        EXPECT_GE(s, 1u);
        EXPECT_LE(s, 4096u);
        closeConnection(f.conn);
        // Each FIN takes one sequence number.
        EXPECT_EQ(f.conn.nextSeq[0], c + 2);
        EXPECT_EQ(f.conn.nextSeq[1], s + 2);
        auto records = f.finish();
        expectPackets(records, {
                                   {toServer, tcpSyn, c, 0, ""},
                                   {toClient, tcpSynAck, s, c + 1, ""},
                                   {toServer, tcpAck, c + 1, s + 1, ""},
                                   // The server closes first.
                                   {toClient, tcpFinAck, s + 1, c + 1, ""},
                                   {toServer, tcpAck, c + 1, s + 2, ""},
                                   {toServer, tcpFinAck, c + 1, s + 2, ""},
                                   {toClient, tcpAck, s + 2, c + 2, ""},
                               });
        for (const auto& r : records) EXPECT_EQ(r.frame.size(), version == 6 ? 74u : 54u);
        // The fixture's clock starts at the default start; every packet is 13 ms later.
        expectStamps(
            records, defaultStartTime,
            {{0, 13000}, {0, 26000}, {0, 39000}, {0, 52000}, {0, 65000}, {0, 78000}, {0, 91000}});
        EXPECT_EQ(f.clock.fixed.sec, defaultStartTime);
        EXPECT_EQ(f.clock.fixed.usec, 91000);
    }
}

TEST(TcpSession, InitialSequenceNumbersSpanOneTo4096) {
    // Enough handshakes that both ends of the range turn up, and nothing outside it.
    CaptureFixture f;
    uint32_t lowest = UINT32_MAX;
    uint32_t highest = 0;
    for (int i = 0; i < 20000; ++i) {
        openConnection(f.conn);
        for (uint32_t isn : {f.conn.nextSeq[0] - 1, f.conn.nextSeq[1] - 1}) {
            lowest = std::min(lowest, isn);
            highest = std::max(highest, isn);
        }
    }
    EXPECT_EQ(lowest, 1u);
    EXPECT_EQ(highest, 4096u);
}

TEST(TcpSession, MessagesInBothDirections) {
    for (uint8_t version : {uint8_t{4}, uint8_t{6}}) {
        SCOPED_TRACE(::testing::Message() << "IPv" << int{version});
        CaptureFixture f(version);
        openConnection(f.conn);
        const uint32_t c = f.conn.nextSeq[0];
        const uint32_t s = f.conn.nextSeq[1];
        const std::string request = "GET /malware.pdf HTTP/1.1\r\n\r\n";  // 29 bytes, odd
        const std::string reply = "HTTP/1.1 200 OK\r\n";
        sendMessage(f.conn, request, toServer);
        sendMessage(f.conn, reply, toClient);
        sendMessage(f.conn, "", toClient);
        EXPECT_EQ(f.conn.nextSeq[0], c + request.size());
        EXPECT_EQ(f.conn.nextSeq[1], s + reply.size());
        auto records = f.finish();
        ASSERT_EQ(records.size(), 9u);
        records.erase(records.begin(), records.begin() + 3);
        const uint32_t c2 = c + static_cast<uint32_t>(request.size());
        const uint32_t s2 = s + static_cast<uint32_t>(reply.size());
        expectPackets(records, {
                                   {toServer, tcpPshAck, c, s, request},
                                   {toClient, tcpAck, s, c2, ""},
                                   {toClient, tcpPshAck, s, c2, reply},
                                   {toServer, tcpAck, c2, s2, ""},
                                   // An empty message is still a PSH+ACK segment, and acknowledged.
                                   {toClient, tcpPshAck, s2, c2, ""},
                                   {toServer, tcpAck, c2, s2, ""},
                               });
        EXPECT_EQ(records[4].frame.size(), version == 6 ? 74u : 54u);
    }
}

TEST(TcpSession, DataInPiecesIsOneSegment) {
    // A chunk of a chunked body: size line, data, line end, the first and last of
    // odd length so the data starts at an odd offset of the segment.
    for (uint8_t version : {uint8_t{4}, uint8_t{6}}) {
        SCOPED_TRACE(::testing::Message() << "IPv" << int{version});
        CaptureFixture f(version);
        openConnection(f.conn);
        const uint32_t c = f.conn.nextSeq[0];
        const uint32_t s = f.conn.nextSeq[1];
        std::string data(1200, '\0');
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 37 + 11);
        sendData(f.conn, {asBytes("4b0\r\n"), asBytes(data), asBytes("\r\n")}, toClient);
        const std::string whole = "4b0\r\n" + data + "\r\n";
        EXPECT_EQ(f.conn.nextSeq[1], s + whole.size());
        auto records = f.finish();
        ASSERT_EQ(records.size(), 5u);
        records.erase(records.begin(), records.begin() + 3);
        expectPackets(records,
                      {
                          {toClient, tcpPshAck, s, c, whole},
                          {toServer, tcpAck, c, s + static_cast<uint32_t>(whole.size()), ""},
                      });
    }
}

TEST(TcpSession, SequenceNumbersWrapAround) {
    CaptureFixture f;
    openConnection(f.conn);
    f.conn.nextSeq[0] = 0xFFFFFFFE;
    f.conn.nextSeq[1] = 0xFFFFFFFF;
    const uint32_t s = f.conn.nextSeq[1];
    sendMessage(f.conn, "hello", toServer);  // 0xFFFFFFFE + 5 = 3 modulo 2^32
    EXPECT_EQ(f.conn.nextSeq[0], 3u);
    closeConnection(f.conn);  // the server's FIN takes 0xFFFFFFFF
    EXPECT_EQ(f.conn.nextSeq[1], 0u);
    EXPECT_EQ(f.conn.nextSeq[0], 4u);
    auto records = f.finish();
    ASSERT_EQ(records.size(), 9u);
    records.erase(records.begin(), records.begin() + 3);
    expectPackets(records, {
                               {toServer, tcpPshAck, 0xFFFFFFFE, s, "hello"},
                               {toClient, tcpAck, s, 3, ""},
                               {toClient, tcpFinAck, 0xFFFFFFFF, 3, ""},
                               {toServer, tcpAck, 3, 0, ""},
                               {toServer, tcpFinAck, 3, 0, ""},
                               {toClient, tcpAck, 0, 4, ""},
                           });
}

TEST(TcpSession, MessageStampsRollOverToTheNextSecond) {
    // The segment takes the rollover step, its acknowledgement the plain step.
    struct Case {
        int32_t usecBefore;
        std::vector<std::pair<uint32_t, uint32_t>> stamps;
    };
    const Case cases[] = {
        {0, {{0, 13000}, {0, 26000}}},
        {973999, {{0, 986999}, {0, 999999}}},
        {974000, {{1, 0}, {1, 13000}}},
        {999999, {{1, 0}, {1, 13000}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "from " << c.usecBefore);
        CaptureFixture f;
        f.clock.fixed = SimClock{1300000000, c.usecBefore};
        sendMessage(f.conn, "x", toServer);
        auto records = f.finish();
        expectStamps(records, 1300000000, c.stamps);
        EXPECT_EQ(f.clock.fixed.sec, 1300000000 + c.stamps.back().first);
        EXPECT_EQ(f.clock.fixed.usec, static_cast<int32_t>(c.stamps.back().second));
    }
}

TEST(TcpSession, HandshakeAndTeardownStampsRollOver) {
    {
        // The handshake continues from the run's clock.
        CaptureFixture f;
        f.clock.fixed = SimClock{1300000000, 970000};
        openConnection(f.conn);
        EXPECT_EQ(f.clock.fixed.sec, 1300000001u);
        EXPECT_EQ(f.clock.fixed.usec, 13000);
        expectStamps(f.finish(), 1300000000, {{0, 983000}, {1, 0}, {1, 13000}});
    }
    {
        CaptureFixture f;
        openConnection(f.conn);
        f.clock.fixed = SimClock{1300000000, 960000};
        closeConnection(f.conn);
        EXPECT_EQ(f.clock.fixed.sec, 1300000001u);
        EXPECT_EQ(f.clock.fixed.usec, 13000);
        auto records = f.finish();
        records.erase(records.begin(), records.begin() + 3);
        expectStamps(records, 1300000000, {{0, 973000}, {0, 986000}, {1, 0}, {1, 13000}});
    }
}

TEST(TcpSession, ConnectionsSharingOneCaptureShareOneClock) {
    // Two connections written into one capture (FTP's control and data): each
    // packet continues the run's clock, whichever connection sends it, so time
    // never runs backwards in the capture.
    CaptureFixture f;
    Flow flow = f.conn.flow;
    flow.source.port = 40001;
    TcpSession second = newSession(f.stack, flow);
    openConnection(f.conn);
    openConnection(second);
    sendMessage(f.conn, "a", toServer);
    sendMessage(second, "b", toServer);
    closeConnection(f.conn);
    auto records = f.finish();
    ASSERT_EQ(records.size(), 14u);
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].sec, defaultStartTime);
        EXPECT_EQ(records[i].usec, 13000 * (i + 1)) << "packet " << i;
    }
    EXPECT_EQ(records[3].srcPort(), 40001);
    EXPECT_EQ(records[6].srcPort(), 40000);
    EXPECT_EQ(records[8].srcPort(), 40001);
}

}  // namespace
}  // namespace tracemint
