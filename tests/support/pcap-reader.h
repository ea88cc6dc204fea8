#pragma once

// Test support: reads a capture back into records, and sets up a Connection that
// writes into a temporary capture, so tests can look at the exact bytes written.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/byte-order.h"
#include "capture/capture-file.h"
#include "capture/packet-builder.h"
#include "common/random.h"
#include "timing/sim-clock.h"
#include "driver/connection.h"

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
    std::vector<uint8_t> payload() const {
        const size_t start = 14 + ipHeaderSize() + 20;
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

// A Connection with the default endpoints, writing into a capture file in the
// temporary directory; finish() closes it and returns the records.
struct CaptureFixture {
    Connection conn;
    CaptureFile capture;
    SimClock clock{startTime, 0};
    Random random = seededRandom(42);
    std::string path;

    explicit CaptureFixture(uint8_t ipVersion = 4) {
        char name[] = "/tmp/tracemint-test-XXXXXX";
        int fd = mkstemp(name);
        ::close(fd);
        path = name;
        conn.ipVersion = ipVersion;
        conn.srcIPv4 = {192, 168, 0, 1};
        conn.dstIPv4 = {203, 0, 113, 10};
        conn.srcIPv6 = {0x20, 0x01, 0x0d, 0xb8, 0,    0,    0,    0,
                        0x02, 0x14, 0x51, 0xff, 0xfe, 0x2f, 0x15, 0x56};
        conn.dstIPv6 = {0x2a, 0x00, 0x14, 0x50, 0x40, 0x07, 0x08, 0x0d,
                        0,    0,    0,    0,    0,    0,    0x20, 0x0e};
        conn.srcPort = 40000;
        conn.dstPort = 80;
        conn.sharedClock = &clock;
        conn.random = &random;
        conn.outFile = &capture;
        buildEthernetHeaders(conn);
        openOutput(capture, path);
    }
    ~CaptureFixture() {
        abandonCapture(capture);
        ::unlink(path.c_str());
    }
    std::vector<uint8_t> finishBytes() {
        closeCapture(capture);
        return readFileBytes(path);
    }
    std::vector<Record> finish() { return readRecords(finishBytes()); }
};

}  // namespace tracemint::testing
