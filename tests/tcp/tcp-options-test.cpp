// How the TCP session speaks when the network options ask for more than the
// plain default: options and timestamps, the window and its scale, segments cut
// to the MTU, initial sequence numbers over 32 bits, delayed ACKs.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/pcap-reader.h"
#include "tcp/tcp-header.h"
#include "tcp/tcp-session.h"

namespace tracemint {
namespace {

using testing::CaptureFixture;
using testing::Record;

uint8_t directionOf(const Record& r) {
    return r.srcPort() == 40000 ? toServer : toClient;
}

uint32_t tsvalOf(const Record& r) {
    auto options = r.tcpOptions();
    return getBe32(&options[options.size() == synOptionsSize ? 8 : 4]);
}

uint32_t tsecrOf(const Record& r) {
    auto options = r.tcpOptions();
    return getBe32(&options[options.size() == synOptionsSize ? 12 : 8]);
}

std::vector<uint8_t> synOptions(uint16_t mss, uint32_t tsval, uint32_t tsecr, uint8_t shift) {
    std::vector<uint8_t> out(synOptionsSize);
    writeSynOptions(out.data(), mss, tsval, tsecr, shift);
    return out;
}

void useTcpOptions(CaptureFixture& f, uint8_t ipVersion) {
    f.settings.mtu = 1500;
    f.settings.tcp.options = true;
    f.settings.tcp.mss = ipVersion == 6 ? 1440 : 1460;
    f.applySettings();
}

TEST(TcpOptions, HandshakeOptionsThenTimestampsOnEverySegment) {
    for (uint8_t version : {uint8_t{4}, uint8_t{6}}) {
        for (bool randomIsn : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "IPv" << int{version} << ", random ISNs "
                                              << randomIsn);
            CaptureFixture f(version);
            f.settings.tcp.randomIsn = randomIsn;
            useTcpOptions(f, version);
            openConnection(f.conn);
            sendMessage(f.conn, "GET / HTTP/1.1\r\n\r\n", toServer);
            sendMessage(f.conn, "HTTP/1.1 200 OK\r\n\r\n", toClient);
            closeConnection(f.conn);
            auto records = f.finish();
            ASSERT_EQ(records.size(), 11u);

            // The 3 MiB window of a running transfer needs a shift of 6.
            const uint16_t mss = version == 6 ? 1440 : 1460;
            const Record& syn = records[0];
            const Record& synAck = records[1];
            ASSERT_EQ(syn.tcpHeaderSize(), 40u);
            ASSERT_EQ(synAck.tcpHeaderSize(), 40u);
            EXPECT_EQ(syn.tcpOptions(), synOptions(mss, tsvalOf(syn), 0, 6));
            EXPECT_EQ(synAck.tcpOptions(), synOptions(mss, tsvalOf(synAck), tsvalOf(syn), 6));
            // A SYN's window is never scaled.
            EXPECT_EQ(syn.window(), 64240);
            EXPECT_EQ(synAck.window(), 64240);

            std::array<const Record*, 2> first{&syn, &synAck};
            std::array<uint32_t, 2> last{tsvalOf(syn), tsvalOf(synAck)};
            for (size_t i = 2; i < records.size(); ++i) {
                SCOPED_TRACE(::testing::Message() << "packet " << i);
                const Record& r = records[i];
                const uint8_t d = directionOf(r);
                ASSERT_EQ(r.tcpHeaderSize(), 32u);
                const auto options = r.tcpOptions();
                EXPECT_EQ(std::vector<uint8_t>(options.begin(), options.begin() + 4),
                          (std::vector<uint8_t>{0x01, 0x01, 0x08, 0x0a}));
                EXPECT_EQ(r.window(), (3u << 20) >> 6);
                // TSval follows the clock in milliseconds, from a per-side
                // offset when the ISNs are random; TSecr echoes the peer.
                const uint64_t elapsedMs =
                    r.stampNs() / 1000000u - first[d]->stampNs() / 1000000u;
                EXPECT_EQ(tsvalOf(r) - tsvalOf(*first[d]), elapsedMs);
                EXPECT_GT(static_cast<int32_t>(tsvalOf(r) - last[d]), 0)
                    << "TSval increases per sender";
                EXPECT_EQ(tsecrOf(r), last[1 - d]);
                last[d] = tsvalOf(r);
            }
            if (!randomIsn) {
                EXPECT_EQ(tsvalOf(syn), static_cast<uint32_t>(syn.stampNs() / 1000000u));
            }
        }
    }
}

TEST(TcpOptions, AdvertisedWindowAndItsScale) {
    struct Case {
        bool options;
        uint32_t window;  // 0: the default
        uint16_t synWindow;
        uint8_t shift;
        uint16_t field;  // of every later segment
    };
    const Case cases[] = {
        {false, 0, 5840, 0, 5840},
        {false, 20000, 20000, 0, 20000},
        {false, 65535, 65535, 0, 65535},
        {true, 0, 64240, 6, 49152},  // 3 MiB
        {true, 40000, 40000, 0, 40000},
        {true, 65535, 64240, 0, 65535},
        {true, 65536, 64240, 1, 32768},
        {true, 101361, 64240, 1, 50680},
        {true, 65535u << 14, 64240, 14, 65535},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "options " << c.options << ", window " << c.window);
        CaptureFixture f;
        f.settings.tcp.window = c.window;
        if (c.options) {
            useTcpOptions(f, 4);
        } else {
            f.applySettings();
        }
        // The sender's idea of the window is what the receiver announced.
        EXPECT_EQ(f.conn.window, uint32_t{c.field} << c.shift);
        openConnection(f.conn);
        sendMessage(f.conn, "x", toServer);
        auto records = f.finish();
        ASSERT_EQ(records.size(), 5u);
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(records[i].window(), c.synWindow);
            if (c.options) {
                EXPECT_EQ(records[i].tcpOptions()[19], c.shift);
            }
        }
        for (size_t i = 2; i < records.size(); ++i) EXPECT_EQ(records[i].window(), c.field);
    }
}

TEST(TcpOptions, MessagesAreCutToFitTheMtu) {
    struct Case {
        uint8_t ipVersion;
        int mtu;
        bool options;
        size_t segment;  // payload octets of a full segment
    };
    const Case cases[] = {
        {4, 1500, false, 1460}, {6, 1500, false, 1440}, {4, 1500, true, 1448},
        {6, 1500, true, 1428},  {4, 576, false, 536},   {6, 9216, true, 9144},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "IPv" << int{c.ipVersion} << ", MTU " << c.mtu
                                          << ", options " << c.options);
        CaptureFixture f(c.ipVersion);
        f.settings.mtu = c.mtu;
        f.settings.tcp.options = c.options;
        f.applySettings();
        openConnection(f.conn);
        const uint32_t start = f.conn.nextSeq[1];
        // Three pieces whose joins do not fall on segment boundaries.
        std::string middle(2 * c.segment + 1, '\0');
        for (size_t i = 0; i < middle.size(); ++i) middle[i] = static_cast<char>(i * 7 + i / 251);
        const std::string whole = "ab" + middle + "xyz";
        sendData(f.conn, {asBytes("ab"), asBytes(middle), asBytes("xyz")}, toClient);
        EXPECT_EQ(f.conn.nextSeq[1], start + whole.size());
        auto records = f.finish();
        records.erase(records.begin(), records.begin() + 3);

        const std::vector<size_t> lengths{c.segment, c.segment, 6};
        ASSERT_EQ(records.size(), 2 * lengths.size()) << "each segment and its ACK";
        std::string carried;
        uint32_t seq = start;
        for (size_t i = 0; i < lengths.size(); ++i) {
            SCOPED_TRACE(::testing::Message() << "segment " << i);
            const Record& data = records[2 * i];
            const Record& ack = records[2 * i + 1];
            EXPECT_EQ(data.seq(), seq);
            EXPECT_EQ(data.payload().size(), lengths[i]);
            const size_t ipLength = c.ipVersion == 6 ? 40u + getBe16(&data.frame[18])
                                                     : getBe16(&data.frame[16]);
            EXPECT_EQ(ipLength, data.frame.size() - 14);
            EXPECT_LE(ipLength, size_t(c.mtu));
            if (lengths[i] == c.segment) {
                EXPECT_EQ(ipLength, size_t(c.mtu)) << "full-sized";
            }
            seq += static_cast<uint32_t>(lengths[i]);
            EXPECT_EQ(directionOf(ack), toServer);
            EXPECT_EQ(ack.ack(), seq);
            carried += data.payloadText();
        }
        EXPECT_EQ(carried, whole);
    }
}

TEST(TcpOptions, RandomInitialSequenceNumbersSpanAll32Bits) {
    CaptureFixture f;
    f.settings.tcp.randomIsn = true;
    f.applySettings();
    std::vector<uint32_t> isns;
    for (int i = 0; i < 4096; ++i) {
        openConnection(f.conn);
        isns.push_back(f.conn.nextSeq[0] - 1);
        isns.push_back(f.conn.nextSeq[1] - 1);
    }
    // Every bit is set in about half of them, and every sixteenth of the range is
    // used about as often as the others.
    for (int bit = 0; bit < 32; ++bit) {
        const auto set = std::count_if(isns.begin(), isns.end(),
                                       [bit](uint32_t v) { return (v >> bit) & 1; });
        EXPECT_GT(set, 3600) << "bit " << bit;
        EXPECT_LT(set, 4600) << "bit " << bit;
    }
    std::array<int, 16> buckets{};
    for (uint32_t v : isns) buckets[v >> 28] += 1;
    for (int b = 0; b < 16; ++b) {
        EXPECT_GT(buckets[size_t(b)], 400) << "range " << b;
        EXPECT_LT(buckets[size_t(b)], 640) << "range " << b;
    }
}

// One message of `length` octets from a direction's sender.
struct Message {
    uint8_t direction;
    size_t length;
};

// The packets of a capture after the handshake as letters: D for a segment
// with payload from the server, d from the client, A for a pure ACK from the
// client, a from the server.
std::string packetLetters(const std::vector<Record>& records) {
    std::string letters;
    for (size_t i = 3; i < records.size(); ++i) {
        const bool fromServer = directionOf(records[i]) == toClient;
        const bool data = !records[i].payload().empty();
        letters += data ? (fromServer ? 'D' : 'd') : (fromServer ? 'a' : 'A');
    }
    return letters;
}

TEST(TcpOptions, DelayedAcksAnswerEverySecondFullSegment) {
    struct Case {
        const char* name;
        bool delayed;
        int mtu;  // 0: none, so every message is one segment
        std::vector<Message> messages;
        const char* letters;
    };
    const Message full{toClient, 100};
    const Message shortOne{toClient, 30};
    const Message fromClient{toServer, 5};
    const Case cases[] = {
        {"without delayed ACKs each segment is answered", false, 0, {full, full, full}, "DADADA"},
        {"two full segments, one ACK", true, 0, {full, full}, "DDA"},
        {"a short segment is answered at once", true, 0, {shortOne}, "DA"},
        {"a short one after a full one answers both", true, 0, {full, shortOne}, "DDA"},
        {"five full and a short one", true, 0, {full, full, full, full, full, shortOne},
         "DDADDADDA"},
        {"a held segment is acknowledged by the peer's next data",
         true,
         0,
         {full, full, full, fromClient},
         "DDADda"},
        // 140 - 40 = 100 octets per segment: 430 octets go as 4 full and a short one.
        {"one long message cut into segments", true, 140, {{toClient, 430}}, "DDADDADA"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CaptureFixture f;
        f.settings.tcp.delayedAck = c.delayed;
        f.settings.blockSize = 100;
        f.settings.mtu = c.mtu;
        f.applySettings();
        openConnection(f.conn);
        for (const Message& m : c.messages) {
            sendData(f.conn, asBytes(std::string(m.length, 'z')), m.direction);
        }
        auto records = f.finish();
        EXPECT_EQ(packetLetters(records), c.letters);
        // Whatever a side sends acknowledges all it has received so far.
        std::array<uint32_t, 2> sent{records[2].seq(), records[2].ack()};
        for (size_t i = 3; i < records.size(); ++i) {
            const Record& r = records[i];
            const uint8_t d = directionOf(r);
            EXPECT_EQ(r.ack(), sent[1 - d]) << "packet " << i;
            sent[d] = r.seq() + static_cast<uint32_t>(r.payload().size());
        }
    }
}

}  // namespace
}  // namespace tracemint
