#include "netcond/network-conditions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/reference-checksum.h"
#include "support/pcap-reader.h"
#include "tcp/tcp-session.h"

namespace tracemint {
namespace {

using testing::CaptureFixture;
using testing::Record;
using testing::referenceSum;

std::vector<uint8_t> patterned(size_t n, uint8_t salt) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + salt + (i >> 8));
    return bytes;
}

// The TCP segments a receiver gets from the records: whole packets as they
// are, fragments put together by offset under their identification. Each
// segment comes with its pseudo-header sum checked (true when it is valid).
struct Reassembled {
    std::vector<uint8_t> segment;  // TCP header and payload
    bool checksumValid = false;
    size_t fragments = 0;
};

bool tcpChecksumValid(const Record& first, const std::vector<uint8_t>& segment) {
    std::vector<uint8_t> covered;
    const uint8_t* ip = first.frame.data() + 14;
    if ((ip[0] >> 4) == 6) {
        covered.assign(ip + 8, ip + 40);
        for (int shift = 24; shift >= 0; shift -= 8) {
            covered.push_back(static_cast<uint8_t>(segment.size() >> shift));
        }
        covered.insert(covered.end(), {0, 0, 0, 6});
    } else {
        covered.assign(ip + 12, ip + 20);
        covered.insert(covered.end(), {0, 6, static_cast<uint8_t>(segment.size() >> 8),
                                       static_cast<uint8_t>(segment.size())});
    }
    covered.insert(covered.end(), segment.begin(), segment.end());
    return referenceSum(covered) == 0xFFFF;
}

std::vector<Reassembled> receive(const std::vector<Record>& records) {
    std::vector<Reassembled> out;
    struct Pending {
        std::map<size_t, std::vector<uint8_t>> pieces;
        size_t total = 0;  // known once the last fragment came
        const Record* first = nullptr;
    };
    std::map<uint32_t, Pending> pending;
    for (const Record& r : records) {
        const uint8_t* ip = r.frame.data() + 14;
        size_t headerSize = 0;
        size_t offset = 0;
        bool more = false;
        bool fragment = false;
        uint32_t id = 0;
        if ((ip[0] >> 4) == 6) {
            headerSize = 40;
            if (ip[6] == 44) {
                fragment = true;
                const uint16_t field = getBe16(ip + 42);
                offset = field & 0xFFF8;
                more = field & 1;
                id = getBe32(ip + 44);
                headerSize = 48;
                EXPECT_EQ(ip[40], 6);
            }
        } else {
            headerSize = size_t(ip[0] & 0x0F) * 4;
            const uint16_t field = getBe16(ip + 6);
            offset = size_t(field & 0x1FFF) * 8;
            more = field & 0x2000;
            fragment = offset != 0 || more;
            id = getBe16(ip + 4);
            EXPECT_EQ(referenceSum(std::vector<uint8_t>(ip, ip + 20)), 0xFFFF) << "IPv4 header sum";
        }
        std::vector<uint8_t> data(ip + headerSize, r.frame.data() + r.frame.size());
        if (!fragment) {
            out.push_back({data, tcpChecksumValid(r, data), 0});
            continue;
        }
        Pending& p = pending[id];
        if (!p.first) p.first = &r;
        if (!more) p.total = offset + data.size();
        p.pieces[offset] = data;
        size_t have = 0;
        for (auto& [at, piece] : p.pieces) {
            if (at != have) break;
            have += piece.size();
        }
        if (p.total != 0 && have == p.total) {
            std::vector<uint8_t> segment;
            for (auto& [at, piece] : p.pieces) segment.insert(segment.end(), piece.begin(), piece.end());
            out.push_back({segment, tcpChecksumValid(*p.first, segment), p.pieces.size()});
            pending.erase(id);
        }
    }
    EXPECT_TRUE(pending.empty()) << "fragments left over";
    return out;
}

struct FragmentCase {
    uint8_t ipVersion;
    uint16_t size;
    FragmentOrder order;
};

// Every fragment stays within SIZE octets, the datagram comes back whole, and
// its TCP checksum (finished before the cut) holds over the reassembled
// segment, whatever order the fragments travel in.
TEST(NetworkConditions, FragmentsReassembleToSegmentsWithValidChecksums) {
    const FragmentCase cases[] = {
        {4, 64, FragmentOrder::inOrder}, {4, 8, FragmentOrder::reverse},
        {4, 512, FragmentOrder::shuffle}, {6, 64, FragmentOrder::shuffle},
        {6, 128, FragmentOrder::reverse}, {6, 1000, FragmentOrder::inOrder},
    };
    for (const FragmentCase& c : cases) {
        SCOPED_TRACE("IPv" + std::to_string(c.ipVersion) + " size " + std::to_string(c.size));
        CaptureFixture f(c.ipVersion);
        f.settings.conditions.fragmentSize = c.size;
        f.settings.conditions.fragmentOrder = c.order;
        startNetworkConditions(f.conditions, f.settings.conditions, f.random, f.ip);
        openConnection(f.conn);
        const auto odd = patterned(1001, 3);  // odd lengths leave an odd last fragment
        const auto small = patterned(5, 9);
        sendData(f.conn, Bytes(odd), toClient);
        sendData(f.conn, Bytes(small), toServer);
        closeConnection(f.conn);
        const auto records = f.finish();
        size_t biggest = 0;
        for (const Record& r : records) {
            const size_t ipPayload = r.frame.size() - 14 - (c.ipVersion == 6 ? 40 : 20);
            if (r.frame.size() > 14 + 60 + 8) biggest = std::max(biggest, ipPayload);
        }
        EXPECT_LE(biggest, c.size + (c.ipVersion == 6 ? 8u : 0u));
        const auto segments = receive(records);
        std::vector<uint8_t> carried;
        size_t cut = 0;
        for (const Reassembled& s : segments) {
            EXPECT_TRUE(s.checksumValid);
            if (s.fragments > 0) cut += 1;
            const size_t header = size_t(s.segment[12] >> 4) * 4;
            if (getBe16(s.segment.data()) == 80) {
                carried.insert(carried.end(), s.segment.begin() + static_cast<long>(header), s.segment.end());
            }
        }
        EXPECT_EQ(carried, odd);
        EXPECT_GE(cut, size_t{1});
        // Handshake, teardown and ACKs are never cut.
        EXPECT_EQ(segments.size(), 3u + 2u + 2u + 4u);
    }
}

// Reordered segments own their octets: the caller's buffer is reused at once,
// yet the late segment carries what was sent. While a segment is held, the
// receiver's ACKs stay at its first octet, never acknowledging what has not
// passed the capture point, and every octet still arrives.
TEST(NetworkConditions, ReorderedSegmentsKeepTheirOctetsAndAreNotAcknowledgedEarly) {
    for (uint8_t ipVersion : {4, 6}) {
        CaptureFixture f(ipVersion);
        f.settings.conditions.reorderPpm = 500000;
        f.settings.conditions.reorderDepth = 4;
        startNetworkConditions(f.conditions, f.settings.conditions, f.random, f.ip);
        openConnection(f.conn);
        const auto content = patterned(40 * 100, 1);
        std::vector<uint8_t> buffer(100);
        for (size_t i = 0; i < 40; ++i) {
            std::copy_n(content.begin() + static_cast<long>(i * 100), 100, buffer.begin());
            sendData(f.conn, Bytes(buffer), toClient);
            std::fill(buffer.begin(), buffer.end(), 0xEE);  // as the next read would
        }
        closeConnection(f.conn);
        const auto records = f.finish();
        std::map<uint32_t, std::vector<uint8_t>> bySeq;
        uint32_t firstSeq = 0;
        bool outOfOrder = false;
        uint32_t highest = 0;
        for (const Record& r : records) {
            if (r.flags() & 0x02) {
                if (r.srcPort() == 80) firstSeq = r.seq() + 1;
                continue;
            }
            if (r.flags() & 0x01) break;  // the teardown acknowledges the FIN too
            const auto payload = r.payload();
            if (r.srcPort() == 80 && !payload.empty()) {
                if (!bySeq.empty() && r.seq() < highest) outOfOrder = true;
                highest = std::max(highest, r.seq());
                bySeq[r.seq()] = payload;
            } else if (r.srcPort() != 80 && !bySeq.empty()) {
                // Everything below the ACK has passed.
                uint32_t covered = firstSeq;
                while (bySeq.count(covered)) covered += static_cast<uint32_t>(bySeq[covered].size());
                EXPECT_LE(r.ack() - firstSeq, covered - firstSeq) << "ACK of unseen octets";
            }
        }
        EXPECT_TRUE(outOfOrder);
        std::vector<uint8_t> joined;
        uint32_t at = firstSeq;
        while (bySeq.count(at)) {
            joined.insert(joined.end(), bySeq[at].begin(), bySeq[at].end());
            at += static_cast<uint32_t>(bySeq[at].size());
        }
        EXPECT_EQ(joined, content);
    }
}

// A lost segment is in the capture once as sent and once as retransmitted:
// at once after the third duplicate ACK, or, with fewer, when the sender's
// timer runs out, before the other side speaks, 200 ms on and with the clock
// kept running forward. The receiver's ACKs never cover what it lacks.
TEST(NetworkConditions, LostSegmentsComeAgainAfterDuplicateAcksOrTheTimeout) {
    CaptureFixture f(4);
    f.settings.conditions.lossPpm = 1000000;  // every segment that can be lost
    startNetworkConditions(f.conditions, f.settings.conditions, f.random, f.ip, &f.clock);
    openConnection(f.conn);
    std::vector<std::vector<uint8_t>> blocks;
    for (uint8_t i = 0; i < 4; ++i) blocks.push_back(patterned(100, i));
    for (const auto& block : blocks) sendData(f.conn, Bytes(block), toClient);
    sendMessage(f.conn, "ok\r\n", toServer);
    closeConnection(f.conn);
    const auto records = f.finish();

    uint64_t lastStamp = 0;
    std::vector<std::pair<uint32_t, uint64_t>> serverData;  // seq, stamp in microseconds
    uint32_t firstSeq = 0;
    std::vector<uint32_t> acks;
    for (const Record& r : records) {
        const uint64_t stamp = uint64_t{r.sec} * 1000000 + r.usec;
        EXPECT_GE(stamp, lastStamp);
        lastStamp = stamp;
        if ((r.flags() & 0x02) && r.srcPort() == 80) firstSeq = r.seq() + 1;
        if (r.srcPort() == 80 && !r.payload().empty()) {
            serverData.push_back({r.seq() - firstSeq, stamp});
            EXPECT_EQ(r.payload(), blocks[(r.seq() - firstSeq) / 100]);
        }
        if (r.srcPort() != 80 && r.payload().empty() && !(r.flags() & 0x03) && firstSeq != 0) {
            acks.push_back(r.ack() - firstSeq);
        }
    }
    // Sent: 0 (lost), 100, 200, then 0 again after three duplicate ACKs; 300
    // (lost), then 300 again on the timeout.
    std::vector<uint32_t> order;
    for (auto& [seq, stamp] : serverData) order.push_back(seq);
    EXPECT_EQ(order, (std::vector<uint32_t>{0, 100, 200, 0, 300, 300}));
    // The handshake's ACK, three duplicates of it, then one stuck below the second loss.
    ASSERT_GE(acks.size(), 5u);
    EXPECT_EQ((std::vector<uint32_t>(acks.begin(), acks.begin() + 5)),
              (std::vector<uint32_t>{0, 0, 0, 0, 300}));
    EXPECT_GE(serverData[5].second - serverData[4].second, 200000u);
}

// A duplicate is the same IP packet twice in a row (identification and all),
// and only data segments are repeated.
TEST(NetworkConditions, DuplicatesAreTheSamePacketTwice) {
    CaptureFixture f(4);
    f.settings.conditions.duplicatePpm = 1000000;
    startNetworkConditions(f.conditions, f.settings.conditions, f.random, f.ip);
    openConnection(f.conn);
    const auto content = patterned(300, 5);
    sendData(f.conn, Bytes(content), toClient);
    sendData(f.conn, Bytes(content), toClient);
    closeConnection(f.conn);
    const auto records = f.finish();
    size_t pairs = 0;
    for (size_t i = 0; i + 1 < records.size(); ++i) {
        if (!records[i].payload().empty()) {
            ASSERT_EQ(records[i].frame, records[i + 1].frame);
            pairs += 1;
            i += 1;
        } else {
            EXPECT_NE(records[i].frame, records[i + 1].frame);
        }
    }
    EXPECT_EQ(pairs, 2u);
}

}  // namespace
}  // namespace tracemint
