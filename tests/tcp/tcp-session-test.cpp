#include "tcp/tcp-session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/packet-builder.h"
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

TEST(TcpConversation, HandshakeTeardownAndStamps) {
    for (uint8_t version : {uint8_t{4}, uint8_t{6}}) {
        SCOPED_TRACE(::testing::Message() << "IPv" << int{version});
        CaptureFixture f(version);
        openConnection(f.conn);
        const uint32_t c = f.conn.srcSeq - 1;
        const uint32_t s = f.conn.dstSeq - 1;
        EXPECT_GE(c, 1u);
        EXPECT_LE(c, 4096u);
        EXPECT_GE(s, 1u);
        EXPECT_LE(s, 4096u);
        closeConnection(f.conn);
        // Each FIN takes one sequence number.
        EXPECT_EQ(f.conn.srcSeq, c + 2);
        EXPECT_EQ(f.conn.dstSeq, s + 2);
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
        // The fixture's clock starts at startTime; every packet is 13 ms later.
        expectStamps(
            records, startTime,
            {{0, 13000}, {0, 26000}, {0, 39000}, {0, 52000}, {0, 65000}, {0, 78000}, {0, 91000}});
        EXPECT_EQ(f.conn.tsSec, startTime);
        EXPECT_EQ(f.conn.tsUsec, 91000);
    }
}

TEST(TcpConversation, InitialSequenceNumbersSpanOneTo4096) {
    // Enough handshakes that both ends of the range turn up, and nothing outside it.
    CaptureFixture f;
    uint32_t lowest = UINT32_MAX;
    uint32_t highest = 0;
    for (int i = 0; i < 20000; ++i) {
        openConnection(f.conn);
        for (uint32_t isn : {f.conn.srcSeq - 1, f.conn.dstSeq - 1}) {
            lowest = std::min(lowest, isn);
            highest = std::max(highest, isn);
        }
    }
    EXPECT_EQ(lowest, 1u);
    EXPECT_EQ(highest, 4096u);
}

TEST(TcpConversation, MessagesInBothDirections) {
    for (uint8_t version : {uint8_t{4}, uint8_t{6}}) {
        SCOPED_TRACE(::testing::Message() << "IPv" << int{version});
        CaptureFixture f(version);
        openConnection(f.conn);
        const uint32_t c = f.conn.srcSeq;
        const uint32_t s = f.conn.dstSeq;
        const std::string request = "GET /malware.pdf HTTP/1.1\r\n\r\n";  // 29 bytes, odd
        const std::string reply = "HTTP/1.1 200 OK\r\n";
        sendMessage(f.conn, request, toServer);
        sendMessage(f.conn, reply, toClient);
        sendMessage(f.conn, "", toClient);
        EXPECT_EQ(f.conn.srcSeq, c + request.size());
        EXPECT_EQ(f.conn.dstSeq, s + reply.size());
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

TEST(TcpConversation, DataInPiecesIsOneSegment) {
    // A chunk of a chunked body: size line, data, line end, the first and last of
    // odd length so the data starts at an odd offset of the segment.
    for (uint8_t version : {uint8_t{4}, uint8_t{6}}) {
        SCOPED_TRACE(::testing::Message() << "IPv" << int{version});
        CaptureFixture f(version);
        openConnection(f.conn);
        const uint32_t c = f.conn.srcSeq;
        const uint32_t s = f.conn.dstSeq;
        std::string data(1200, '\0');
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 37 + 11);
        sendData(f.conn, {asBytes("4b0\r\n"), asBytes(data), asBytes("\r\n")}, toClient);
        const std::string whole = "4b0\r\n" + data + "\r\n";
        EXPECT_EQ(f.conn.dstSeq, s + whole.size());
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

TEST(TcpConversation, SequenceNumbersWrapAround) {
    CaptureFixture f;
    openConnection(f.conn);
    f.conn.srcSeq = 0xFFFFFFFE;
    f.conn.dstSeq = 0xFFFFFFFF;
    const uint32_t s = f.conn.dstSeq;
    sendMessage(f.conn, "hello", toServer);  // 0xFFFFFFFE + 5 = 3 modulo 2^32
    EXPECT_EQ(f.conn.srcSeq, 3u);
    closeConnection(f.conn);  // the server's FIN takes 0xFFFFFFFF
    EXPECT_EQ(f.conn.dstSeq, 0u);
    EXPECT_EQ(f.conn.srcSeq, 4u);
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

TEST(TcpConversation, MessageStampsRollOverToTheNextSecond) {
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
        f.conn.tsSec = 1300000000;
        f.conn.tsUsec = c.usecBefore;
        // The other primitives continue from the connection's own time, not from
        // wherever the shared clock stands.
        *f.conn.sharedClock = SimClock{1400000000, 500000};
        sendMessage(f.conn, "x", toServer);
        auto records = f.finish();
        expectStamps(records, 1300000000, c.stamps);
        EXPECT_EQ(f.conn.tsSec, 1300000000 + c.stamps.back().first);
        EXPECT_EQ(f.conn.tsUsec, static_cast<int32_t>(c.stamps.back().second));
    }
}

TEST(TcpConversation, HandshakeAndTeardownStampsRollOver) {
    {
        // The handshake continues from the shared clock, not the connection's time,
        // and leaves its last stamp in the connection.
        CaptureFixture f;
        *f.conn.sharedClock = SimClock{1300000000, 970000};
        f.conn.tsSec = 1200000000;
        f.conn.tsUsec = 0;
        openConnection(f.conn);
        EXPECT_EQ(f.conn.tsSec, 1300000001u);
        EXPECT_EQ(f.conn.tsUsec, 13000);
        expectStamps(f.finish(), 1300000000, {{0, 983000}, {1, 0}, {1, 13000}});
    }
    {
        CaptureFixture f;
        openConnection(f.conn);
        f.conn.tsSec = 1300000000;
        f.conn.tsUsec = 960000;
        closeConnection(f.conn);
        EXPECT_EQ(f.conn.tsSec, 1300000001u);
        EXPECT_EQ(f.conn.tsUsec, 13000);
        auto records = f.finish();
        records.erase(records.begin(), records.begin() + 3);
        expectStamps(records, 1300000000, {{0, 973000}, {0, 986000}, {1, 0}, {1, 13000}});
    }
}

TEST(TcpConversation, ConnectionsSharingOneCaptureKeepTheirOwnTime) {
    // Two connections written into one capture: the second handshake continues
    // from the shared clock where the first left it, but each connection's data
    // continues from its own last packet.
    CaptureFixture f;
    Connection second = f.conn;
    second.srcPort = 40001;
    openConnection(f.conn);              // 13000, 26000, 39000
    openConnection(second);              // 52000, 65000, 78000
    sendMessage(f.conn, "a", toServer);  // 52000, 65000 again: from its own time
    sendMessage(second, "b", toServer);  // 91000, 104000
    closeConnection(f.conn);             // 78000 ... 117000
    auto records = f.finish();
    expectStamps(records, startTime,
                 {{0, 13000},
                  {0, 26000},
                  {0, 39000},
                  {0, 52000},
                  {0, 65000},
                  {0, 78000},
                  {0, 52000},
                  {0, 65000},
                  {0, 91000},
                  {0, 104000},
                  {0, 78000},
                  {0, 91000},
                  {0, 104000},
                  {0, 117000}});
    EXPECT_EQ(records[3].srcPort(), 40001);
    EXPECT_EQ(records[6].srcPort(), 40000);
    EXPECT_EQ(records[8].srcPort(), 40001);
}

}  // namespace
}  // namespace tracemint
