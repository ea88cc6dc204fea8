#include "ip/ip-layer.h"

#include <algorithm>
#include <cstring>

#include "common/checksum.h"
#include "link/ethernet.h"

namespace tracemint {
namespace {

// The TCP pseudo-header of a segment of the given length into the sum.
void addPseudoHeader(ChecksumSum& sum, const Flow& flow, const Endpoint& from, const Endpoint& to,
                     uint32_t segmentLength) {
    uint8_t pseudo[40] = {};
    if (flow.ipVersion == 6) {
        std::memcpy(pseudo, from.ip.data(), 16);
        std::memcpy(pseudo + 16, to.ip.data(), 16);
        putBe32(pseudo + 32, segmentLength);
        pseudo[39] = ipProtocolTcp;
        addToChecksum(sum, Bytes(pseudo, 40));
    } else {
        std::memcpy(pseudo, from.ip.data(), 4);
        std::memcpy(pseudo + 4, to.ip.data(), 4);
        pseudo[9] = ipProtocolTcp;
        putBe16(pseudo + 10, static_cast<uint16_t>(segmentLength));
        addToChecksum(sum, Bytes(pseudo, 12));
    }
}

void writeIpv6Header(uint8_t* h, const Endpoint& from, const Endpoint& to, uint32_t payloadLength,
                     uint8_t nextHeader, uint8_t hopLimit) {
    putBe32(h + 0, 0x60000000u);
    putBe16(h + 4, static_cast<uint16_t>(payloadLength));
    h[6] = nextHeader;
    h[7] = hopLimit;
    std::memcpy(h + 8, from.ip.data(), 16);
    std::memcpy(h + 24, to.ip.data(), 16);
}

// flagsAndOffset: More Fragments (0x2000) and the offset in 8-octet units.
void writeIpv4Header(uint8_t* h, const Endpoint& from, const Endpoint& to, uint32_t totalLength,
                     uint16_t id, uint16_t flagsAndOffset, uint8_t ttl) {
    h[0] = 0x45;
    h[1] = 0;
    putBe16(h + 2, static_cast<uint16_t>(totalLength));
    putBe16(h + 4, id);
    putBe16(h + 6, flagsAndOffset);  // never Don't Fragment
    h[8] = ttl;
    h[9] = ipProtocolTcp;
    putBe16(h + 10, 0);
    std::memcpy(h + 12, from.ip.data(), 4);
    std::memcpy(h + 16, to.ip.data(), 4);
    putBe16(h + 10, internetChecksum(Bytes(h, ipv4HeaderSize)));
}

// The largest IP payload: a whole segment of at most 65535 octets.
constexpr size_t maxSegmentOctets = 65536;

}  // namespace

void prependIpHeader(Frame& frame, uint8_t ttl, uint16_t ipv4Id) {
    const Flow& flow = *frame.flow;
    const Endpoint& from = sender(flow, frame.direction);
    const Endpoint& to = receiver(flow, frame.direction);
    const uint32_t segmentLength = static_cast<uint32_t>(headLength(frame) + frame.payloadLength);
    addPseudoHeader(frame.partialSum, flow, from, to, segmentLength);
    if (flow.ipVersion == 6) {
        writeIpv6Header(prependHeader(frame, ipv6HeaderSize), from, to, segmentLength,
                        ipProtocolTcp, ttl);
    } else {
        writeIpv4Header(prependHeader(frame, ipv4HeaderSize), from, to,
                        segmentLength + ipv4HeaderSize, ipv4Id, 0, ttl);
    }
}

uint16_t drawIpv4Id(IpLayer& ip, const Flow& flow) {
    // IPv6 has no identification outside a fragment header.
    if (flow.ipVersion == 6) return 0;
    // 16 fresh bits per packet, the generator's low octet first.
    const uint32_t r = nextRandom(*ip.random);
    return static_cast<uint16_t>(((r & 0xFF) << 8) | ((r >> 8) & 0xFF));
}

void sendIpPacketWithId(IpLayer& ip, Frame& frame, uint16_t ipv4Id) {
    prependIpHeader(frame, ip.ttl, ipv4Id);
    sendLinkFrame(*ip.link, frame);
}

void sendIpPacket(IpLayer& ip, Frame& frame) {
    sendIpPacketWithId(ip, frame, drawIpv4Id(ip, *frame.flow));
}

void sendIpFragments(IpLayer& ip, Frame& frame, uint16_t ipv4Id, size_t fragmentSize,
                     FragmentOrder order, const FragmentDecoy* decoy) {
    const Flow& flow = *frame.flow;
    const Endpoint& from = sender(flow, frame.direction);
    const Endpoint& to = receiver(flow, frame.direction);
    const size_t head = headLength(frame);
    const size_t total = head + frame.payloadLength;
    if (ip.segment.empty()) {
        ip.segment.resize(maxSegmentOctets);
        ip.fragmentOrder.reserve(maxSegmentOctets / 8);
    }
    uint32_t ipv6Id = 0;
    if (flow.ipVersion == 6) {
        const uint32_t high = nextRandom(*ip.random);
        ipv6Id = (high << 16) ^ nextRandom(*ip.random);
    }

    // The whole segment with its checksum finished, as the receiver will
    // reassemble it.
    uint8_t* segment = ip.segment.data();
    ChecksumSum sum = frame.partialSum;
    addPseudoHeader(sum, flow, from, to, static_cast<uint32_t>(total));
    std::memcpy(segment, headBytes(frame), head);
    uint8_t* cursor = segment + head;
    for (size_t i = 0; i < frame.pieceCount; ++i) {
        copyIntoChecksum(sum, frame.payload[i], cursor);
        cursor += frame.payload[i].size();
    }
    if (frame.checksumFromEnd != 0) putBe16(segment + head - frame.checksumFromEnd, finishChecksum(sum));

    const size_t count = (total + fragmentSize - 1) / fragmentSize;
    std::vector<uint16_t>& sequence = ip.fragmentOrder;
    sequence.resize(count);
    for (size_t i = 0; i < count; ++i) sequence[i] = static_cast<uint16_t>(i);
    if (order == FragmentOrder::reverse) {
        std::reverse(sequence.begin(), sequence.end());
    } else if (order == FragmentOrder::shuffle) {
        for (size_t i = count - 1; i > 0; --i) {
            std::swap(sequence[i], sequence[nextRandom(*ip.random) % (i + 1)]);
        }
    }
    uint8_t* twin = nullptr;
    if (decoy) {
        if (ip.decoySegment.empty()) ip.decoySegment.resize(maxSegmentOctets);
        twin = ip.decoySegment.data();
        std::memcpy(twin, segment, head);
        std::memcpy(twin + head, decoy->payload.data(), decoy->payload.size());
    }
    auto sendPiece = [&](const uint8_t* bytes, size_t offset, size_t length) {
        const bool more = offset + length < total;
        Frame piece;
        piece.flow = frame.flow;
        piece.direction = frame.direction;
        piece.stampNs = frame.stampNs;
        piece.note = frame.note;
        piece.payload[0] = Bytes(bytes + offset, length);
        piece.pieceCount = 1;
        piece.payloadLength = length;
        const uint16_t units = static_cast<uint16_t>(offset / 8);
        if (flow.ipVersion == 6) {
            uint8_t* f = prependHeader(piece, ipv6FragmentHeaderSize);
            f[0] = ipProtocolTcp;
            f[1] = 0;
            putBe16(f + 2, static_cast<uint16_t>((units << 3) | (more ? 1 : 0)));
            putBe32(f + 4, ipv6Id);
            writeIpv6Header(prependHeader(piece, ipv6HeaderSize), from, to,
                            static_cast<uint32_t>(ipv6FragmentHeaderSize + length),
                            ipv6FragmentHeader, ip.ttl);
        } else {
            writeIpv4Header(prependHeader(piece, ipv4HeaderSize), from, to,
                            static_cast<uint32_t>(ipv4HeaderSize + length), ipv4Id,
                            static_cast<uint16_t>((more ? 0x2000 : 0) | units), ip.ttl);
        }
        sendLinkFrame(*ip.link, piece);
    };
    for (size_t i = 0; i < count; ++i) {
        const size_t offset = sequence[i] * fragmentSize;
        const size_t length = std::min(fragmentSize, total - offset);
        // A twin after the datagram is complete would start a new one that
        // never completes: the fragment sent last has none. Its two adjusted
        // octets are the fragment's last whole word, which must be payload.
        const size_t word = (length - 2) & ~size_t{1};
        const bool twinned = twin && i + 1 < count && length >= 2 && offset + word >= head &&
                             std::memcmp(twin + offset, segment + offset, length) != 0;
        if (twinned) {
            balanceChecksum(Bytes(segment + offset, length),
                            std::span<uint8_t>(twin + offset, length), word);
        }
        if (twinned && decoy->first) sendPiece(twin, offset, length);
        sendPiece(segment, offset, length);
        if (twinned && !decoy->first) sendPiece(twin, offset, length);
    }
}

}  // namespace tracemint
