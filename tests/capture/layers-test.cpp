#include "capture/pcap-writer.h"
#include "ip/ip-layer.h"
#include "link/ethernet.h"
#include "tcp/tcp-header.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "common/reference-checksum.h"
#include "tcp/tcp-session.h"
#include "support/pcap-reader.h"

namespace tracemint {
namespace {

using testing::CaptureFixture;
using testing::Record;
using testing::referenceSum;
using testing::tcpChecksumCoverage;

// One segment of the fixture's flow through the TCP header, IP (with the given
// identification), link and capture layers; the stamp is the frame's.
void writeOneSegment(CaptureFixture& f, std::vector<Bytes> pieces, uint8_t direction,
                     uint8_t flags, uint32_t senderSeq, uint32_t peerSeq, uint16_t ipId,
                     uint64_t stampNs = 0) {
    Frame frame;
    frame.flow = &f.conn.flow;
    frame.direction = direction;
    frame.stampNs = stampNs;
    for (Bytes piece : pieces) {
        frame.payload[frame.pieceCount++] = piece;
        frame.payloadLength += piece.size();
    }
    TcpHeader header;
    header.sourcePort = sender(f.conn.flow, direction).port;
    header.destinationPort = receiver(f.conn.flow, direction).port;
    header.seq = senderSeq;
    header.ack = peerSeq;
    header.flags = flags;
    header.window = defaultWindow;
    prependTcpHeader(frame, header);
    prependIpHeader(frame, 64, ipId);
    sendLinkFrame(f.link, frame);
}

struct HeaderCase {
    const char* name;
    uint8_t ipVersion;
    uint8_t direction;
    uint8_t flags;
    std::string payload;
    uint16_t ipId;
    std::vector<uint8_t> expected;  // IP header then TCP header
};

// The fixture's endpoints: client 192.168.0.1 / 2001:db8::214:51ff:fe2f:1556 port
// 40000, server 203.0.113.10 / 2a00:1450:4007:80d::200e port 80. The checksums in
// the expected bytes were worked out apart from this code: RFC 1071 sums over the
// pseudo-headers of RFC 793 and RFC 8200.
TEST(Layers, ExactIpAndTcpHeaderBytes) {
    const HeaderCase cases[] = {
        {"IPv4 client to server, odd payload",
         4,
         toServer,
         tcpPshAck,
         "abc",
         0x1234,
         {
             0x45, 0x00, 0x00, 0x2b, 0x12, 0x34, 0x00, 0x00, 0x40, 0x06, 0x6b, 0xe5, 0xc0, 0xa8,
             0x00, 0x01, 0xcb, 0x00, 0x71, 0x0a, 0x9c, 0x40, 0x00, 0x50, 0x01, 0x02, 0x03, 0x04,
             0xa0, 0xb0, 0xc0, 0xd0, 0x50, 0x18, 0x16, 0xd0, 0xd5, 0xca, 0x00, 0x00,
         }},
        {"IPv4 server to client, pure ACK",
         4,
         toClient,
         tcpAck,
         "",
         0xBEEF,
         {
             0x45, 0x00, 0x00, 0x28, 0xbe, 0xef, 0x00, 0x00, 0x40, 0x06, 0xbf, 0x2c, 0xcb, 0x00,
             0x71, 0x0a, 0xc0, 0xa8, 0x00, 0x01, 0x00, 0x50, 0x9c, 0x40, 0xa0, 0xb0, 0xc0, 0xd0,
             0x01, 0x02, 0x03, 0x04, 0x50, 0x10, 0x16, 0xd0, 0x9a, 0x38, 0x00, 0x00,
         }},
        {"IPv6 client to server, odd payload",
         6,
         toServer,
         tcpPshAck,
         "abc",
         0,
         {
             0x60, 0x00, 0x00, 0x00, 0x00, 0x17, 0x06, 0x40, 0x20, 0x01, 0x0d, 0xb8,
             0x00, 0x00, 0x00, 0x00, 0x02, 0x14, 0x51, 0xff, 0xfe, 0x2f, 0x15, 0x56,
             0x2a, 0x00, 0x14, 0x50, 0x40, 0x07, 0x08, 0x0d, 0x00, 0x00, 0x00, 0x00,
             0x00, 0x00, 0x20, 0x0e, 0x9c, 0x40, 0x00, 0x50, 0x01, 0x02, 0x03, 0x04,
             0xa0, 0xb0, 0xc0, 0xd0, 0x50, 0x18, 0x16, 0xd0, 0x96, 0xba, 0x00, 0x00,
         }},
        {"IPv6 server to client, pure ACK",
         6,
         toClient,
         tcpAck,
         "",
         0,
         {
             0x60, 0x00, 0x00, 0x00, 0x00, 0x14, 0x06, 0x40, 0x2a, 0x00, 0x14, 0x50,
             0x40, 0x07, 0x08, 0x0d, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x0e,
             0x20, 0x01, 0x0d, 0xb8, 0x00, 0x00, 0x00, 0x00, 0x02, 0x14, 0x51, 0xff,
             0xfe, 0x2f, 0x15, 0x56, 0x00, 0x50, 0x9c, 0x40, 0xa0, 0xb0, 0xc0, 0xd0,
             0x01, 0x02, 0x03, 0x04, 0x50, 0x10, 0x16, 0xd0, 0x5b, 0x28, 0x00, 0x00,
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CaptureFixture f(c.ipVersion);
        const bool forward = c.direction == toServer;
        std::vector<Bytes> pieces;
        if (!c.payload.empty()) pieces.push_back(asBytes(c.payload));
        writeOneSegment(f, pieces, c.direction, c.flags, forward ? 0x01020304 : 0xA0B0C0D0,
                        forward ? 0xA0B0C0D0 : 0x01020304, c.ipId);
        auto records = f.finish();
        ASSERT_EQ(records.size(), 1u);
        const auto& frame = records[0].frame;
        ASSERT_EQ(frame.size(), 14 + c.expected.size() + c.payload.size());
        EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 14,
                                       frame.begin() + 14 + static_cast<long>(c.expected.size())),
                  c.expected);
    }
}

TEST(Layers, RecordAndEthernetHeaders) {
    // A pure ACK is 54 bytes under IPv4 and 74 under IPv6. Direction 0 goes from the
    // client MAC 00:55:44:33:22:11 to the server MAC 00:11:22:33:44:55, direction 1 back.
    struct Case {
        uint8_t ipVersion;
        uint8_t direction;
        std::vector<uint8_t> record;  // 16-byte record header and 14-byte Ethernet header
    };
    const Case cases[] = {
        {4, toServer, {0x58, 0x3c, 0xf3, 0x48, 0x3f, 0x42, 0x0f, 0x00, 0x36, 0x00,
                       0x00, 0x00, 0x36, 0x00, 0x00, 0x00, 0x00, 0x11, 0x22, 0x33,
                       0x44, 0x55, 0x00, 0x55, 0x44, 0x33, 0x22, 0x11, 0x08, 0x00}},
        {4, toClient, {0x58, 0x3c, 0xf3, 0x48, 0x3f, 0x42, 0x0f, 0x00, 0x36, 0x00,
                       0x00, 0x00, 0x36, 0x00, 0x00, 0x00, 0x00, 0x55, 0x44, 0x33,
                       0x22, 0x11, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x08, 0x00}},
        {6, toServer, {0x58, 0x3c, 0xf3, 0x48, 0x3f, 0x42, 0x0f, 0x00, 0x4a, 0x00,
                       0x00, 0x00, 0x4a, 0x00, 0x00, 0x00, 0x00, 0x11, 0x22, 0x33,
                       0x44, 0x55, 0x00, 0x55, 0x44, 0x33, 0x22, 0x11, 0x86, 0xdd}},
        {6, toClient, {0x58, 0x3c, 0xf3, 0x48, 0x3f, 0x42, 0x0f, 0x00, 0x4a, 0x00,
                       0x00, 0x00, 0x4a, 0x00, 0x00, 0x00, 0x00, 0x55, 0x44, 0x33,
                       0x22, 0x11, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x86, 0xdd}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "IPv" << int{c.ipVersion} << " direction " << int{c.direction});
        CaptureFixture f(c.ipVersion);
        // 0x48F33C58 s, 0x0F423F us
        writeOneSegment(f, {}, c.direction, tcpAck, 1, 1, 0, 1223900248999999000ull);
        auto file = f.finishBytes();
        const size_t frameSize = c.ipVersion == 6 ? 74 : 54;
        ASSERT_EQ(file.size(), 24 + 16 + frameSize);
        EXPECT_EQ(std::vector<uint8_t>(file.begin() + 24, file.begin() + 24 + 30), c.record);
    }
}

TEST(Layers, IPv4IdentificationComesFromTheRandomGenerator) {
    // Each IPv4 packet draws the next value; its low byte goes out first.
    CaptureFixture f(4);
    f.conn.nextSeq = {1, 1};
    Random mirror = f.random;
    sendMessage(f.conn, "x", toClient);  // the segment and its ACK
    sendMessage(f.conn, "y", toServer);
    auto records = f.finish();
    ASSERT_EQ(records.size(), 4u);
    for (size_t i = 0; i < records.size(); ++i) {
        const uint32_t r = nextRandom(mirror);
        EXPECT_EQ(records[i].frame[14 + 4], r & 0xFF) << "record " << i;
        EXPECT_EQ(records[i].frame[14 + 5], (r >> 8) & 0xFF) << "record " << i;
    }
    EXPECT_NE(records[0].frame[18] << 8 | records[0].frame[19],
              records[1].frame[18] << 8 | records[1].frame[19]);
}

// Checks lengths and both checksums of one frame the way a receiver would.
void expectValidFrame(const Record& r, const std::vector<uint8_t>& payload) {
    const auto& frame = r.frame;
    if (frame[12] == 0x86) {
        ASSERT_EQ(frame.size(), 74 + payload.size());
        EXPECT_EQ(getBe16(&frame[14 + 4]), 20 + payload.size()) << "IPv6 payload length";
    } else {
        ASSERT_EQ(frame.size(), 54 + payload.size());
        EXPECT_EQ(getBe16(&frame[14 + 2]), 40 + payload.size()) << "IPv4 total length";
        std::vector<uint8_t> ipHeader(frame.begin() + 14, frame.begin() + 34);
        EXPECT_EQ(referenceSum(ipHeader), 0xFFFF) << "IPv4 header checksum";
    }
    EXPECT_EQ(referenceSum(tcpChecksumCoverage(frame)), 0xFFFF) << "TCP checksum";
    EXPECT_EQ(r.payload(), payload);
}

TEST(Layers, PayloadPiecesAndChecksums) {
    std::mt19937 gen(5840);
    std::vector<uint8_t> data1199(1199);
    for (auto& b : data1199) b = static_cast<uint8_t>(gen());
    std::vector<uint8_t> data1200(1200, 0xFF);  // every word carries
    const std::string sizeLine = "4b0\r\n";
    const std::string lineEnd = "\r\n";

    struct Case {
        const char* name;
        std::vector<Bytes> pieces;
    };
    const Case cases[] = {
        {"no payload", {}},
        {"one odd byte", {asBytes("x")}},
        {"odd text", {asBytes("GET / HTTP/1.1\r\nHost: fileserver\r\n\r\n\n")}},
        {"odd random block", {Bytes(data1199)}},
        {"chunk: size line, data, line end",
         {asBytes(sizeLine), Bytes(data1200), asBytes(lineEnd)}},
        {"odd pieces", {asBytes("abc"), Bytes(data1199), asBytes("d")}},
        {"empty middle piece", {asBytes("abc"), Bytes(), asBytes("defgh")}},
    };
    for (uint8_t version : {uint8_t{4}, uint8_t{6}}) {
        for (uint8_t direction : {toServer, toClient}) {
            for (const auto& c : cases) {
                SCOPED_TRACE(::testing::Message() << c.name << ", IPv" << int{version}
                                                  << ", direction " << int{direction});
                std::vector<uint8_t> payload;
                for (Bytes p : c.pieces) payload.insert(payload.end(), p.begin(), p.end());

                CaptureFixture f(version);
                f.conn.nextSeq = {0xFFFFFF00, 4242};
                switch (c.pieces.size()) {
                    case 0: sendData(f.conn, {}, direction); break;
                    case 1: sendData(f.conn, {c.pieces[0]}, direction); break;
                    default:
                        sendData(f.conn, {c.pieces[0], c.pieces[1], c.pieces[2]}, direction);
                        break;
                }
                // Only the sender's number advances, by the payload length, modulo 2^32.
                const uint32_t length = static_cast<uint32_t>(payload.size());
                EXPECT_EQ(f.conn.nextSeq[0],
                          direction == toServer ? 0xFFFFFF00u + length : 0xFFFFFF00u);
                EXPECT_EQ(f.conn.nextSeq[1], direction == toClient ? 4242u + length : 4242u);

                auto records = f.finish();
                ASSERT_EQ(records.size(), 2u) << "the segment and the peer's ACK";
                expectValidFrame(records[0], payload);
                EXPECT_EQ(records[0].seq(), direction == toServer ? 0xFFFFFF00u : 4242u);
                EXPECT_EQ(records[0].ack(), direction == toServer ? 4242u : 0xFFFFFF00u);
            }
        }
    }
}

}  // namespace
}  // namespace tracemint
