#pragma once

// Test support: reads a capture back into records, and sets up a TCP session
// whose packets go through every layer into a temporary capture, so tests can look at the exact bytes written.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "capture/capture-file.h"
#include "common/byte-order.h"
#include "common/random.h"
#include "common/settings.h"
#include "input/transfer.h"
#include "ip/ip-layer.h"
#include "link/ethernet.h"
#include "netcond/network-conditions.h"
#include "tcp/tcp-session.h"
#include "timing/sim-clock.h"

namespace tracemint::testing {

struct Record {
    uint32_t sec = 0;
    uint32_t usec = 0;
    std::vector<uint8_t> frame;  // Ethernet header onwards

    // Offsets into the frame for IPv4 (ipHeader 20) or IPv6 (40).
    size_t ipHeaderSize() const { return frame.size() > 13 && frame[12] == 0x86 ? 40 : 20; }
    const uint8_t* tcp() const { return frame.data() + 14 + ipHeaderSize(); }
    uint16_t srcPort() const { return getBe16(tcp()); }
    uint16_t dstPort() const { return getBe16(tcp() + 2); }
    uint32_t seq() const { return getBe32(tcp() + 4); }
    uint32_t ack() const { return getBe32(tcp() + 8); }
    uint8_t flags() const { return tcp()[13]; }
    size_t tcpHeaderSize() const { return size_t(tcp()[12] >> 4) * 4; }
    uint16_t window() const { return getBe16(tcp() + 14); }
    std::vector<uint8_t> tcpOptions() const {
        return std::vector<uint8_t>(tcp() + 20, tcp() + tcpHeaderSize());
    }
    uint64_t stampNs() const { return uint64_t{sec} * 1000000000u + uint64_t{usec} * 1000u; }
    std::vector<uint8_t> payload() const {
        const size_t start = 14 + ipHeaderSize() + tcpHeaderSize();
        std::vector<uint8_t> bytes;
        if (frame.size() > start) {
            bytes.resize(frame.size() - start);
            std::memcpy(bytes.data(), frame.data() + start, bytes.size());
        }
        return bytes;
    }
    std::string payloadText() const {
        auto p = payload();
        return std::string(p.begin(), p.end());
    }
};

inline std::vector<uint8_t> readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The records of a capture file (after its 24-byte header).
inline std::vector<Record> readRecords(const std::vector<uint8_t>& file) {
    std::vector<Record> records;
    size_t pos = 24;
    while (pos + 16 <= file.size()) {
        Record r;
        r.sec = getLe32(&file[pos]);
        r.usec = getLe32(&file[pos + 4]);
        uint32_t len = getLe32(&file[pos + 8]);
        pos += 16;
        r.frame.assign(file.begin() + static_cast<long>(pos),
                       file.begin() + static_cast<long>(pos + len));
        pos += len;
        records.push_back(std::move(r));
    }
    return records;
}

// A TCP session with the default endpoints, written through every layer into a
// capture file in the temporary directory, and the transfer record a dialogue
// reads; finish() closes the capture and returns the records. Tests set what
// they need in settings and file before the first packet (the layers read the
// settings as they go).
struct CaptureFixture {
    Settings settings;
    CaptureFile capture;
    PacketClock clock;
    Random random = seededRandom(42);
    NetworkConditions conditions;
    IpLayer ip;
    LinkLayer link;
    TcpStack stack;
    TcpSession conn;
    Transfer file;
    std::string path;

    explicit CaptureFixture(uint8_t ipVersion = 4) {
        char name[] = "/tmp/tracemint-test-XXXXXX";
        int fd = mkstemp(name);
        ::close(fd);
        path = name;
        settings.ipVersion = ipVersion;
        clock = startPacketClock(settings.timing);
        link.settings = &settings.link;
        link.capture = &capture;
        ip.random = &random;
        ip.link = &link;
        startNetworkConditions(conditions, settings.conditions, random, ip);
        startTcpStack(stack, settings, random, clock, conditions);
        conn = newSession(stack, defaultFlow(ipVersion));
        file.settings = &settings;
        file.random = &random;
        openOutput(capture, path);
    }
    // Starts the clock, the TCP stack and the session again from the settings,
    // for tests that change what newSession and startPacketClock read (MTU,
    // TCP options, window, timing, TTL) before the first packet.
    void applySettings() {
        clock = startPacketClock(settings.timing);
        ip.ttl = settings.ttl;
        startTcpStack(stack, settings, random, clock, conditions);
        conn = newSession(stack, defaultFlow(settings.ipVersion));
    }
    ~CaptureFixture() {
        abandonCapture(capture);
        ::unlink(path.c_str());
    }
    CaptureFixture(const CaptureFixture&) = delete;
    CaptureFixture& operator=(const CaptureFixture&) = delete;

    // The client 192.168.0.1 (or 2001:db8::214:51ff:fe2f:1556) port 40000 to
    // the server 203.0.113.10 (or 2a00:1450:4007:80d::200e) port 80.
    static Flow defaultFlow(uint8_t ipVersion) {
        Flow flow;
        flow.ipVersion = ipVersion;
        if (ipVersion == 6) {
            flow.source.ip = {0x20, 0x01, 0x0d, 0xb8, 0,    0,    0,    0,
                              0x02, 0x14, 0x51, 0xff, 0xfe, 0x2f, 0x15, 0x56};
            flow.destination.ip = {0x2a, 0x00, 0x14, 0x50, 0x40, 0x07, 0x08, 0x0d,
                                   0,    0,    0,    0,    0,    0,    0x20, 0x0e};
        } else {
            flow.source.ip = {192, 168, 0, 1};
            flow.destination.ip = {203, 0, 113, 10};
        }
        flow.source.mac = defaultClientMac;
        flow.destination.mac = defaultServerMac;
        flow.source.port = 40000;
        flow.destination.port = 80;
        return flow;
    }
    // Uses the input for the transfer, with the block size given.
    void useInput(const InputFile& input, int blockSize = 1200, const std::string& name = "") {
        file.input = &input;
        file.fileSize = input.size;
        file.name = name.empty() ? input.name : name;
        file.blockSize = blockSize;
        settings.blockSize = blockSize;
    }
    std::vector<uint8_t> finishBytes() {
        flushPendingAcks(stack);
        flushConditions(conditions);
        closeCapture(capture);
        return readFileBytes(path);
    }
    std::vector<Record> finish() { return readRecords(finishBytes()); }
};

}  // namespace tracemint::testing
