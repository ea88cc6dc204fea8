#include "ftp/ftp-transfer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "ftp/ftp-control.h"
#include "http/http-test-support.h"
#include "support/pcap-reader.h"

namespace tracemint {
namespace {

using testing::CaptureFixture;
using testing::Record;
using Payload = std::vector<uint8_t>;

constexpr uint16_t controlPort = 21;

constexpr MacAddress clientMac = defaultClientMac;
constexpr MacAddress serverMac = defaultServerMac;

TEST(FtpDataFlow, EndpointsForBothFormsAndBothIpVersions) {
    for (bool passive : {false, true}) {
        for (uint8_t ipVersion : {uint8_t{4}, uint8_t{6}}) {
            SCOPED_TRACE(::testing::Message()
                         << (passive ? "passive" : "active") << " IPv" << int(ipVersion));
            CaptureFixture f(ipVersion);
            Flow& control = f.conn.flow;
            control.destination.port = controlPort;
            const Flow before = control;

            const Flow data = ftpDataFlow(control, passive, f.random);

            const Endpoint& client = control.source;
            const Endpoint& server = control.destination;
            if (passive) {
                EXPECT_EQ(data.source.ip, client.ip);
                EXPECT_EQ(data.destination.ip, server.ip);
                EXPECT_GE(data.source.port, 1025);
                EXPECT_LE(data.source.port, 33792);
                EXPECT_EQ(ftpDataDirection(passive), toClient) << "from the server, the destination";
            } else {
                EXPECT_EQ(data.source.ip, server.ip) << "the server is the source";
                EXPECT_EQ(data.destination.ip, client.ip);
                EXPECT_EQ(data.source.port, 20);
                EXPECT_EQ(ftpDataDirection(passive), toServer) << "from the server, the source";
            }
            EXPECT_EQ(data.ipVersion, ipVersion);
            EXPECT_EQ(data.destination.port, 0) << "set from the announced port";
            // Each host keeps its MAC, whichever side opens the connection.
            const Endpoint& dataServer = passive ? data.destination : data.source;
            const Endpoint& dataClient = passive ? data.source : data.destination;
            EXPECT_EQ(dataServer.mac, serverMac);
            EXPECT_EQ(dataClient.mac, clientMac);

            // The control flow is read, never changed.
            EXPECT_EQ(control.source.port, before.source.port);
            EXPECT_EQ(control.destination.port, before.destination.port);
            EXPECT_EQ(control.source.ip, before.source.ip);
        }
    }
}

TEST(FtpDataFlow, PassivePortsStayWithin1025To33792) {
    CaptureFixture f;
    uint16_t low = UINT16_MAX;
    uint16_t high = 0;
    for (int i = 0; i < 4000; ++i) {
        const uint16_t port = ftpDataFlow(f.conn.flow, true, f.random).source.port;
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
        f.clock.fixed.usec = 600000;  // so the capture crosses a whole second
        f.conn.flow.destination.port = controlPort;
        f.useInput(input.file, c.blockSize, "in.bin");
        const uint16_t clientControlPort = f.conn.flow.source.port;

        runFtpTransfer(f.conn, f.file, c.passive);
        const auto records = f.finish();

        // Control handshake, 13 messages, data handshake, the blocks, data
        // teardown, 3 messages, control teardown.
        const size_t blocks = c.segments.size();
        ASSERT_EQ(records.size(), 3 + 26 + 3 + 2 * blocks + 4 + 6 + 4);
        expectOneContinuousTimeline(records);
        ASSERT_GT(records.back().sec, records.front().sec);

        const size_t addressSize = c.ipVersion == 6 ? 16 : 4;
        const auto& clientIp = f.conn.flow.source.ip;
        const auto& serverIp = f.conn.flow.destination.ip;
        const Payload client(clientIp.begin(), clientIp.begin() + static_cast<long>(addressSize));
        const Payload server(serverIp.begin(), serverIp.begin() + static_cast<long>(addressSize));
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
    f.conn.flow.destination.port = controlPort;
    f.useInput(input.file, 1200, "in.bin");
    runFtpTransfer(f.conn, f.file, false);
    runFtpTransfer(f.conn, f.file, true);
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
