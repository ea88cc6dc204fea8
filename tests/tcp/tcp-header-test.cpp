#include "tcp/tcp-header.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ip/ip-layer.h"
#include "link/ethernet.h"
#include "support/pcap-reader.h"

namespace tracemint {
namespace {

using testing::CaptureFixture;

TEST(TcpHeader, OptionBytesInLinuxOrder) {
    uint8_t syn[synOptionsSize];
    writeSynOptions(syn, 1460, 0x11223344, 0xAABBCCDD, 7);
    EXPECT_EQ(std::vector<uint8_t>(syn, syn + synOptionsSize),
              (std::vector<uint8_t>{
                  0x02, 0x04, 0x05, 0xb4,                          // MSS 1460
                  0x04, 0x02,                                      // SACK permitted
                  0x08, 0x0a, 0x11, 0x22, 0x33, 0x44, 0xaa, 0xbb,  // timestamps
                  0xcc, 0xdd,                                      //
                  0x01,                                            // NOP
                  0x03, 0x03, 0x07,                                // window scale 7
              }));
    uint8_t ts[timestampsOptionSize];
    writeTimestampsOption(ts, 0xFFFFFFFE, 1);
    EXPECT_EQ(std::vector<uint8_t>(ts, ts + timestampsOptionSize),
              (std::vector<uint8_t>{0x01, 0x01, 0x08, 0x0a, 0xff, 0xff, 0xff, 0xfe, 0x00, 0x00,
                                    0x00, 0x01}));
}

// Whole TCP headers with options, through the IP, link and capture layers: the
// data offset counts the options, and the checksum (worked out apart from this
// code, RFC 1071 over the RFC 793 pseudo-header) covers them.
TEST(TcpHeader, HeadersWithOptionsAndTheirChecksums) {
    struct Case {
        const char* name;
        uint8_t direction;
        uint8_t flags;
        uint32_t seq, ack;
        uint16_t window;
        std::vector<uint8_t> options;
        std::string payload;
        std::vector<uint8_t> expected;
    };
    uint8_t syn[synOptionsSize];
    writeSynOptions(syn, 1460, 0x11223344, 0, 7);
    uint8_t ts[timestampsOptionSize];
    writeTimestampsOption(ts, 0xA1B2C3D4, 0x11223344);
    const Case cases[] = {
        {"SYN, 20 octets of options",
         toServer,
         tcpSyn,
         0x01020304,
         0,
         64240,
         std::vector<uint8_t>(syn, syn + synOptionsSize),
         "",
         {0x9c, 0x40, 0x00, 0x50, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x00, 0x00, 0xa0, 0x02,
          0xfa, 0xf0, 0x6b, 0x5e, 0x00, 0x00, 0x02, 0x04, 0x05, 0xb4, 0x04, 0x02, 0x08, 0x0a,
          0x11, 0x22, 0x33, 0x44, 0x00, 0x00, 0x00, 0x00, 0x01, 0x03, 0x03, 0x07}},
        {"data with timestamps, odd payload",
         toClient,
         tcpPshAck,
         0xA0B0C0D0,
         0x01020305,
         0x2e00,
         std::vector<uint8_t>(ts, ts + timestampsOptionSize),
         "abc",
         {0x00, 0x50, 0x9c, 0x40, 0xa0, 0xb0, 0xc0, 0xd0, 0x01, 0x02, 0x03, 0x05, 0x80, 0x18,
          0x2e, 0x00, 0xdb, 0x94, 0x00, 0x00, 0x01, 0x01, 0x08, 0x0a, 0xa1, 0xb2, 0xc3, 0xd4,
          0x11, 0x22, 0x33, 0x44}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CaptureFixture f(4);
        Frame frame;
        frame.flow = &f.conn.flow;
        frame.direction = c.direction;
        if (!c.payload.empty()) {
            frame.payload[frame.pieceCount++] = asBytes(c.payload);
            frame.payloadLength = c.payload.size();
        }
        TcpHeader header;
        header.sourcePort = sender(f.conn.flow, c.direction).port;
        header.destinationPort = receiver(f.conn.flow, c.direction).port;
        header.seq = c.seq;
        header.ack = c.ack;
        header.flags = c.flags;
        header.window = c.window;
        header.options = Bytes(c.options);
        prependTcpHeader(frame, header);
        prependIpHeader(frame, 64, 0);
        sendLinkFrame(f.link, frame);
        auto records = f.finish();
        ASSERT_EQ(records.size(), 1u);
        const auto& r = records[0];
        ASSERT_EQ(r.frame.size(), 14 + 20 + c.expected.size() + c.payload.size());
        EXPECT_EQ(getBe16(&r.frame[16]), 20 + c.expected.size() + c.payload.size())
            << "IPv4 total length";
        EXPECT_EQ(std::vector<uint8_t>(r.frame.begin() + 34,
                                       r.frame.begin() + 34 + static_cast<long>(c.expected.size())),
                  c.expected);
        EXPECT_EQ(r.payloadText(), c.payload);
    }
}

}  // namespace
}  // namespace tracemint
