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

// The decoy's octets: letters and digits rotated, other octets outside
// printable ASCII flipped, line ends, spaces and punctuation kept (so a text
// encoding keeps its alphabet and its lines); only the file's pieces change,
// and a decoy text runs on from the file's octets sent before.
TEST(NetworkConditions, DecoyOctetsChangeOnlyTheFilesPieces) {
    const std::pair<uint8_t, uint8_t> octets[] = {
        {'A', 'N'}, {'z', 'm'}, {'0', '5'}, {'9', '4'}, {'+', '+'}, {'/', '/'}, {'=', '='},
        {'\r', '\r'}, {'\n', '\n'}, {' ', ' '}, {0x00, 0x80}, {0xFF, 0x7F}, {0x7F, 0xFF}, {0x1B, 0x9B},
    };
    for (auto [in, out] : octets) EXPECT_EQ(decoyOctet(in), out) << int(in);

    const std::string head = "5\r\n";
    const std::string body = "Hello";
    const std::string end = "\r\n";
    Frame frame;
    frame.payload = {asBytes(head), asBytes(body), asBytes(end)};
    frame.pieceCount = 3;
    frame.payloadLength = 10;
    frame.filePieces = 0b010;
    frame.fileOffset = 7;
    uint8_t out[10];
    writeDecoyPayload(frame, "", out);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 10), "5\r\nUryyb\r\n");
    writeDecoyPayload(frame, "abc", out);
    // Octet 7 of the file's octets is the text's octet 7 % 3.
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 10), "5\r\nbcabc\r\n");
}

// The payload a host reassembles from one datagram's fragments when the first
// (or the last) of two overlapping copies wins, and whether its TCP checksum holds.
struct Datagram {
    std::vector<uint8_t> segment;
    bool checksumValid = false;
};

std::vector<Datagram> reassembleFragments(const std::vector<Record>& records, bool lastWins) {
    std::vector<Datagram> out;
    struct Pending {
        std::vector<uint8_t> octets = std::vector<uint8_t>(65536);
        std::vector<bool> have = std::vector<bool>(65536);
        size_t total = 0;
        const Record* first = nullptr;
    };
    std::map<uint32_t, Pending> pending;
    for (const Record& r : records) {
        const uint8_t* ip = r.frame.data() + 14;
        const bool v6 = (ip[0] >> 4) == 6;
        size_t header = v6 ? 40 : 20;
        size_t offset = 0;
        bool more = false;
        uint32_t id = 0;
        if (v6 && ip[6] == 44) {
            offset = getBe16(ip + 42) & 0xFFF8;
            more = getBe16(ip + 42) & 1;
            id = getBe32(ip + 44);
            header = 48;
        } else if (!v6) {
            offset = size_t(getBe16(ip + 6) & 0x1FFF) * 8;
            more = getBe16(ip + 6) & 0x2000;
            id = getBe16(ip + 4);
        }
        const std::vector<uint8_t> data(ip + header, r.frame.data() + r.frame.size());
        if (offset == 0 && !more) {
            out.push_back({data, tcpChecksumValid(r, data)});
            continue;
        }
        Pending& p = pending[id];
        if (!p.first) p.first = &r;
        if (!more) p.total = offset + data.size();
        for (size_t k = 0; k < data.size(); ++k) {
            if (lastWins || !p.have[offset + k]) p.octets[offset + k] = data[k];
            p.have[offset + k] = true;
        }
        if (p.total != 0 && std::all_of(p.have.begin(), p.have.begin() + static_cast<long>(p.total),
                                        [](bool b) { return b; })) {
            std::vector<uint8_t> segment(p.octets.begin(), p.octets.begin() + static_cast<long>(p.total));
            out.push_back({segment, tcpChecksumValid(*p.first, segment)});
            pending.erase(id);
        }
    }
    EXPECT_TRUE(pending.empty()) << "a datagram never completed";
    return out;
}

// Fragment decoys: each datagram completes once, after its overlaps; the host
// whose policy the kind names gets the file, the other policy the decoy, and
// both reassemble a segment whose TCP checksum holds.
TEST(NetworkConditions, FragmentDecoysGiveEachPolicyAValidSegment) {
    struct Case {
        uint8_t ipVersion;
        DecoyKind kind;
        uint16_t fragmentSize;  // 0: the decoy's own cut
        FragmentOrder order;
    };
    const Case cases[] = {
        {4, DecoyKind::fragFirst, 0, FragmentOrder::inOrder},
        {6, DecoyKind::fragLast, 0, FragmentOrder::inOrder},
        {4, DecoyKind::fragLast, 64, FragmentOrder::reverse},
        {6, DecoyKind::fragFirst, 200, FragmentOrder::shuffle},
        {4, DecoyKind::fragFirst, 2000, FragmentOrder::inOrder},  // larger than a segment
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("IPv" + std::to_string(c.ipVersion) + " size " + std::to_string(c.fragmentSize));
        CaptureFixture f(c.ipVersion);
        f.settings.conditions.decoy = c.kind;
        f.settings.conditions.fragmentSize = c.fragmentSize;
        f.settings.conditions.fragmentOrder = c.order;
        startNetworkConditions(f.conditions, f.settings.conditions, f.random, f.ip);
        openConnection(f.conn);
        const auto content = patterned(1001, 3);
        f.conn.filePieces = 0b1;
        sendData(f.conn, Bytes(content), toClient);
        f.conn.filePieces = 0;
        sendData(f.conn, Bytes(patterned(50, 1)), toServer);  // not the file's: no decoy
        closeConnection(f.conn);
        const auto records = f.finish();
        const bool realLast = c.kind == DecoyKind::fragFirst;  // the decoy came first
        for (bool lastWins : {false, true}) {
            SCOPED_TRACE(lastWins ? "last wins" : "first wins");
            std::vector<uint8_t> carried;
            size_t toServerData = 0;
            for (const Datagram& d : reassembleFragments(records, lastWins)) {
                EXPECT_TRUE(d.checksumValid);
                const size_t header = size_t(d.segment[12] >> 4) * 4;
                const std::vector<uint8_t> payload(d.segment.begin() + static_cast<long>(header), d.segment.end());
                if (getBe16(d.segment.data()) == 80) {
                    carried.insert(carried.end(), payload.begin(), payload.end());
                } else if (!payload.empty()) {
                    toServerData += 1;
                    EXPECT_EQ(payload, patterned(50, 1));
                }
            }
            EXPECT_EQ(toServerData, 1u);
            ASSERT_EQ(carried.size(), content.size());
            if (lastWins == realLast) {
                EXPECT_EQ(carried, content);
            } else {
                size_t altered = 0;
                for (size_t k = 0; k < content.size(); ++k) altered += carried[k] == decoyOctet(content[k]);
                // All but the fragment that completes the datagram and two
                // octets in each of the others.
                EXPECT_GT(altered, content.size() / 2);
            }
        }
    }
}

// While reordering holds segments back, the receiver's duplicate ACKs SACK
// the octets it has past the first hole, up to three blocks, the newest
// first; each block was captured before the ACK that names it, and the ACK's
// own number was not. Without the TCP options there are no SACK blocks.
TEST(NetworkConditions, ReorderedSegmentsAreSackedWithTheTcpOptions) {
    for (bool options : {true, false}) {
        CaptureFixture f(4);
        f.settings.tcp.options = options;
        f.settings.mtu = 1500;
        f.settings.conditions.reorderPpm = 400000;
        f.settings.conditions.reorderDepth = 6;
        f.applySettings();
        startNetworkConditions(f.conditions, f.settings.conditions, f.random, f.ip);
        openConnection(f.conn);
        for (uint8_t i = 0; i < 60; ++i) sendData(f.conn, Bytes(patterned(100, i)), toClient);
        closeConnection(f.conn);
        const auto records = f.finish();
        std::map<uint32_t, bool> captured;  // server octets by sequence number (per 100)
        size_t withBlocks = 0;
        size_t withSeveral = 0;
        for (const Record& r : records) {
            if (r.srcPort() == 80 && !r.payload().empty()) captured[r.seq()] = true;
            if (r.srcPort() == 80 || !r.payload().empty() || (r.flags() & 0x07)) continue;
            const auto opts = r.tcpOptions();
            for (size_t k = 0; k + 1 < opts.size();) {
                if (opts[k] == 1) {
                    ++k;
                    continue;
                }
                if (opts[k] == 5) {
                    const size_t blocks = (opts[k + 1] - 2) / 8;
                    EXPECT_LE(blocks, 3u);
                    EXPECT_FALSE(captured.count(r.ack())) << "ACK " << r.ack() << " names a hole that was captured";
                    uint32_t previousLeft = UINT32_MAX;
                    for (size_t b = 0; b < blocks; ++b) {
                        const uint32_t left = getBe32(&opts[k + 2 + 8 * b]);
                        const uint32_t right = getBe32(&opts[k + 6 + 8 * b]);
                        EXPECT_GT(left, r.ack());
                        EXPECT_LT(left, previousLeft) << "the newest block first";
                        previousLeft = left;
                        for (uint32_t seq = left; seq < right; seq += 100) EXPECT_TRUE(captured.count(seq)) << seq;
                    }
                    withBlocks += 1;
                    withSeveral += blocks > 1;
                }
                k += opts[k + 1];
            }
        }
        if (options) {
            EXPECT_GT(withBlocks, 5u);
            EXPECT_GT(withSeveral, 0u);
        } else {
            EXPECT_EQ(withBlocks, 0u);
        }
    }
}

}  // namespace
}  // namespace tracemint
