#include "ftp/ftp-transfer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "capture/packet-builder.h"
#include "ftp/ftp-control.h"
#include "http/http-test-support.h"
#include "support/pcap-reader.h"

namespace tracemint {
namespace {

using testing::CaptureFixture;
using testing::Record;
using Payload = std::vector<uint8_t>;

constexpr uint16_t controlPort = 21;

std::array<uint8_t, 6> macAt(const std::array<uint8_t, 14>& eth, size_t offset) {
    std::array<uint8_t, 6> mac{};
    std::memcpy(mac.data(), eth.data() + offset, 6);
    return mac;
}

TEST(FtpDataRecord, FieldsForBothFormsAndBothIpVersions) {
    for (bool passive : {false, true}) {
        for (uint8_t ipVersion : {uint8_t{4}, uint8_t{6}}) {
            SCOPED_TRACE(::testing::Message()
                         << (passive ? "passive" : "active") << " IPv" << int(ipVersion));
            CaptureFixture f(ipVersion);
            testing::TempInput input({1, 2, 3});
            Connection& control = f.conn;
            control.dstPort = controlPort;
            control.inFile = &input.file;
            control.blockSize = 700;
            control.inFileName = "a/b.bin";
            control.outFileName = "out.pcap";
            const Connection before = control;

            const Connection data = ftpDataRecord(control, passive);

            const Connection& client = control;  // the control record's source is the client
            if (passive) {
                EXPECT_EQ(data.srcIPv4, client.srcIPv4);
                EXPECT_EQ(data.dstIPv4, client.dstIPv4);
                EXPECT_EQ(data.srcIPv6, client.srcIPv6);
                EXPECT_EQ(data.dstIPv6, client.dstIPv6);
                EXPECT_GE(data.srcPort, 1025);
                EXPECT_LE(data.srcPort, 33792);
                EXPECT_EQ(data.dataDirection, toClient) << "from the server, the destination";
            } else {
                EXPECT_EQ(data.srcIPv4, client.dstIPv4) << "the server is the source";
                EXPECT_EQ(data.dstIPv4, client.srcIPv4);
                EXPECT_EQ(data.srcIPv6, client.dstIPv6);
                EXPECT_EQ(data.dstIPv6, client.srcIPv6);
                EXPECT_EQ(data.srcPort, 20);
                EXPECT_EQ(data.dataDirection, toServer) << "from the server, the source";
            }
            EXPECT_EQ(data.ipVersion, ipVersion);

            // Frames carrying the file come from the server's MAC to the
            // client's; the acknowledgements go back. Ethernet: destination
            // first, then source, then the EtherType.
            const auto& fromServer = data.dataDirection == 0 ? data.ethForward : data.ethReverse;
            const auto& fromClient = data.dataDirection == 0 ? data.ethReverse : data.ethForward;
            EXPECT_EQ(macAt(fromServer, 0), clientMac);
            EXPECT_EQ(macAt(fromServer, 6), serverMac);
            EXPECT_EQ(macAt(fromClient, 0), serverMac);
            EXPECT_EQ(macAt(fromClient, 6), clientMac);
            const uint16_t etherType = ipVersion == 6 ? 0x86DD : 0x0800;
            EXPECT_EQ(getBe16(&fromServer[12]), etherType);
            EXPECT_EQ(getBe16(&fromClient[12]), etherType);

            EXPECT_EQ(data.inFile, control.inFile);
            EXPECT_EQ(data.outFile, control.outFile);
            EXPECT_EQ(data.blockSize, 700);
            EXPECT_EQ(data.inFileName, "a/b.bin");
            EXPECT_EQ(data.outFileName, "out.pcap");
            EXPECT_EQ(data.sharedClock, control.sharedClock);
            EXPECT_EQ(data.random, control.random);

            // The control record is read, never changed.
            EXPECT_EQ(control.srcPort, before.srcPort);
            EXPECT_EQ(control.dstPort, before.dstPort);
            EXPECT_EQ(control.ethForward, before.ethForward);
            EXPECT_EQ(control.srcIPv4, before.srcIPv4);
        }
    }
}

TEST(FtpDataRecord, PassivePortsStayWithin1025To33792) {
    CaptureFixture f;
    uint16_t low = UINT16_MAX;
    uint16_t high = 0;
    for (int i = 0; i < 4000; ++i) {
        const uint16_t port = ftpDataRecord(f.conn, true).srcPort;
        low = std::min(low, port);
        high = std::max(high, port);
    }
    EXPECT_GE(low, 1025);
    EXPECT_LE(high, 33792);
    EXPECT_GT(high - low, 30000) << "ports should spread over the range";
}

// The IP source address of a frame, as bytes.
Payload sourceAddress(const Record& r) {
    const bool v6 = r.ipHeaderSize() == 40;
    const uint8_t* at = r.frame.data() + 14 + (v6 ? 8 : 12);
    return Payload(at, at + (v6 ? 16 : 4));
}

bool isControl(const Record& r) {
    return r.srcPort() == controlPort || r.dstPort() == controlPort;
}

// A record's stamp is one clock step after the previous one: 13000
// microseconds later, or the next whole second at 0 when that step would pass
// 986999 microseconds.
void expectOneContinuousTimeline(const std::vector<Record>& records) {
    for (size_t i = 1; i < records.size(); ++i) {
        const Record& a = records[i - 1];
        const Record& b = records[i];
        const bool plain = b.sec == a.sec && b.usec == a.usec + 13000;
        const bool rollover = b.sec == a.sec + 1 && b.usec == 0 && a.usec + 13000 > 986999;
        EXPECT_TRUE(plain || rollover) << "packet " << i << " at " << b.sec << "." << b.usec
                                       << " after " << a.sec << "." << a.usec;
        EXPECT_LT(b.usec, 1000000u);
    }
}

// The payloads one side of one connection sent, checked to follow each other
// without gap or overlap in its sequence space.
std::vector<Payload> payloadsFrom(const std::vector<Record>& records, uint16_t srcPort,
                                  uint16_t dstPort) {
    std::vector<Payload> out;
    std::optional<uint32_t> next;
    for (const Record& r : records) {
        if (r.srcPort() != srcPort || r.dstPort() != dstPort || r.payload().empty()) continue;
        if (next) {
            EXPECT_EQ(r.seq(), *next) << "gap or overlap";
        }
        next = r.seq() + static_cast<uint32_t>(r.payload().size());
        out.push_back(r.payload());
    }
    return out;
}

Payload concat(const std::vector<Payload>& pieces) {
    Payload out;
    for (const Payload& p : pieces) {
        const size_t at = out.size();
        out.resize(at + p.size());
        if (!p.empty()) std::memcpy(out.data() + at, p.data(), p.size());
    }
    return out;
}

std::vector<size_t> sizesOf(const std::vector<Payload>& payloads) {
    std::vector<size_t> sizes;
    for (const Payload& p : payloads) sizes.push_back(p.size());
    return sizes;
}

TEST(FtpTransfer, WholeCaptureInOrderOnOneTimeline) {
    struct Case {
        bool passive;
        uint8_t ipVersion;
        size_t fileSize;
        int blockSize;
        std::vector<size_t> segments;
    };
    const Case cases[] = {
        {false, 4, 2500, 1200, {1200, 1200, 100}},
        {true, 4, 2500, 1200, {1200, 1200, 100}},
        {false, 6, 2500, 1200, {1200, 1200, 100}},
        {true, 6, 2500, 1200, {1200, 1200, 100}},
        {false, 4, 0, 1200, {}},
        {true, 6, 0, 1200, {}},
        {true, 4, 1000, 1, std::vector<size_t>(1000, 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << (c.passive ? "passive" : "active") << " IPv" << int(c.ipVersion) << ", "
                     << c.fileSize << " bytes in blocks of " << c.blockSize);
        const Payload file = testing::noiseBytes(c.fileSize, 5);
        testing::TempInput input(file);
        CaptureFixture f(c.ipVersion);
        f.clock.usec = 600000;  // so the capture crosses a whole second
        f.conn.tsUsec = f.clock.usec;
        f.conn.dstPort = controlPort;
        f.conn.inFile = &input.file;
        f.conn.fileSize = file.size();
        f.conn.blockSize = c.blockSize;
        f.conn.inFileName = "in.bin";
        const uint16_t clientControlPort = f.conn.srcPort;

        runFtpTransfer(f.conn, c.passive);
        const auto records = f.finish();

        // Control handshake, 13 messages, data handshake, the blocks, data
        // teardown, 3 messages, control teardown.
        const size_t blocks = c.segments.size();
        ASSERT_EQ(records.size(), 3 + 26 + 3 + 2 * blocks + 4 + 6 + 4);
        expectOneContinuousTimeline(records);
        ASSERT_GT(records.back().sec, records.front().sec);

        const Payload client = c.ipVersion == 6
                                   ? Payload(f.conn.srcIPv6.begin(), f.conn.srcIPv6.end())
                                   : Payload(f.conn.srcIPv4.begin(), f.conn.srcIPv4.end());
        const Payload server = c.ipVersion == 6
                                   ? Payload(f.conn.dstIPv6.begin(), f.conn.dstIPv6.end())
                                   : Payload(f.conn.dstIPv4.begin(), f.conn.dstIPv4.end());
        for (size_t i = 0; i < records.size(); ++i) {
            const bool data = i >= 29 && i < 29 + 3 + 2 * blocks + 4;
            EXPECT_EQ(isControl(records[i]), !data) << "packet " << i;
            // Whatever the connection, the server's frames carry its MAC.
            const bool fromServer = sourceAddress(records[i]) == server;
            EXPECT_TRUE(fromServer || sourceAddress(records[i]) == client) << "packet " << i;
            EXPECT_EQ(records[i].frame[11], fromServer ? serverMac[5] : clientMac[5])
                << "source MAC of packet " << i;
            EXPECT_EQ(records[i].frame[5], fromServer ? clientMac[5] : serverMac[5])
                << "destination MAC of packet " << i;
        }

        // The data handshake: active from the server's port 20, passive from a
        // client port, both to the announced port.
        const Record& syn = records[29];
        EXPECT_EQ(syn.flags(), tcpSyn);
        EXPECT_EQ(syn.dstPort(), ftpDataPort);
        if (c.passive) {
            EXPECT_EQ(sourceAddress(syn), client);
            EXPECT_GE(syn.srcPort(), 1025);
            EXPECT_LE(syn.srcPort(), 33792);
        } else {
            EXPECT_EQ(sourceAddress(syn), server);
            EXPECT_EQ(syn.srcPort(), ftpDataServerPort);
        }
        const uint16_t dataServerPort = c.passive ? ftpDataPort : ftpDataServerPort;
        const uint16_t dataClientPort = c.passive ? syn.srcPort() : ftpDataPort;

        // The file goes from the server, block by block, and nothing comes back.
        const auto fileSegments = payloadsFrom(records, dataServerPort, dataClientPort);
        EXPECT_EQ(sizesOf(fileSegments), c.segments);
        EXPECT_EQ(concat(fileSegments), file);
        EXPECT_TRUE(payloadsFrom(records, dataClientPort, dataServerPort).empty());
        if (blocks > 0) {
            EXPECT_EQ(sourceAddress(records[32]), server) << "first data segment";
        }

        // The data teardown ends the data connection; the 226 reply follows it.
        const size_t teardown = 29 + 3 + 2 * blocks;
        EXPECT_EQ(records[teardown].flags(), tcpFinAck);
        EXPECT_EQ(records[teardown + 2].flags(), tcpFinAck);
        EXPECT_EQ(records[teardown + 4].payloadText(), "226 Transfer complete\r\n");

        // The control connection's numbers run on across the data connection.
        const auto replies = payloadsFrom(records, controlPort, clientControlPort);
        const auto commands = payloadsFrom(records, clientControlPort, controlPort);
        EXPECT_EQ(replies.size(), 9u);
        EXPECT_EQ(commands.size(), 7u);
        EXPECT_EQ(records.back().flags(), tcpAck);
        EXPECT_TRUE(isControl(records.back()));
    }
}

TEST(FtpTransfer, EachModeOfARunCarriesTheWholeFile) {
    // Modes f and F one after the other on the run's record: the second data
    // connection reads the input again from its first byte, and the time runs
    // on from one mode into the next.
    const Payload file = testing::noiseBytes(3000, 9);
    testing::TempInput input(file);
    CaptureFixture f;
    f.conn.dstPort = controlPort;
    f.conn.inFile = &input.file;
    f.conn.fileSize = file.size();
    f.conn.inFileName = "in.bin";
    runFtpTransfer(f.conn, false);
    runFtpTransfer(f.conn, true);
    const auto records = f.finish();
    expectOneContinuousTimeline(records);

    const auto active = payloadsFrom(records, ftpDataServerPort, ftpDataPort);
    EXPECT_EQ(concat(active), file);
    std::optional<uint16_t> passivePort;
    for (const Record& r : records) {
        if (r.dstPort() == ftpDataPort && r.flags() == tcpSyn && r.srcPort() != 20) {
            passivePort = r.srcPort();
        }
    }
    ASSERT_TRUE(passivePort);
    EXPECT_EQ(concat(payloadsFrom(records, ftpDataPort, *passivePort)), file);
}

}  // namespace
}  // namespace tracemint
