#include "netcond/network-conditions.h"

#include <algorithm>
#include <cstring>

#include "ip/ip-layer.h"

namespace tracemint {
namespace {

// Offsets in the TCP header, which is the whole head of a frame at this stage.
constexpr size_t seqOffset = 4;
constexpr size_t ackOffset = 8;
constexpr size_t dataOffset = 12;
constexpr size_t flagsOffset = 13;
constexpr size_t checksumOffset = 16;
constexpr uint8_t flagFin = 0x01;
constexpr uint8_t flagSyn = 0x02;
constexpr uint8_t flagRst = 0x04;
constexpr uint8_t flagAck = 0x10;
// A header with the timestamps option and nothing else (20 + 12 octets): the
// peers agreed on the options, SACK among them.
constexpr size_t headerWithTimestamps = 32;
// NOP, NOP, SACK (kind 5, length 10) with one block.
constexpr size_t sackOptionSize = 12;
constexpr uint8_t fastRetransmitAcks = 3;

bool seqAfter(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) > 0;
}

uint8_t flagsOf(const Frame& frame) {
    return headBytes(frame)[flagsOffset];
}

uint8_t* tcpHeader(Frame& frame) {
    return frame.head.data() + frame.headStart;
}

bool sameWay(const Frame& a, const Frame& b) {
    return a.flow == b.flow && a.direction == b.direction;
}

// After an edit of the TCP header: the open checksum starts again from it.
void resumHeader(Frame& frame) {
    frame.partialSum = ChecksumSum{};
    addToChecksum(frame.partialSum, Bytes(headBytes(frame), headLength(frame)));
}

uint8_t* slot(NetworkConditions& c, size_t index) {
    return c.pool.data() + index * heldSlotSize;
}

// Copies the frame's payload into a pool slot and points the frame at it.
void ownPayload(NetworkConditions& c, Frame& frame, size_t index) {
    uint8_t* out = slot(c, index);
    size_t at = 0;
    for (size_t i = 0; i < frame.pieceCount; ++i) {
        std::memmove(out + at, frame.payload[i].data(), frame.payload[i].size());
        at += frame.payload[i].size();
    }
    frame.payload = {};
    frame.payload[0] = Bytes(out, at);
    frame.pieceCount = at == 0 ? 0 : 1;
    // The note is the sender's text of the moment; a held segment keeps its own
    // copy behind the payload.
    if (frame.note.empty()) return;
    const size_t noteLength = std::min(frame.note.size(), heldSlotSize - at);
    std::memcpy(out + at, frame.note.data(), noteLength);
    frame.note = std::string_view(reinterpret_cast<const char*>(out + at), noteLength);
}

// A packet leaves the path: duplicated and cut into fragments as the
// conditions say, then handed to IP.
void deliver(NetworkConditions& c, Frame& frame) {
    const ConditionSettings& s = *c.settings;
    IpLayer& ip = *c.ip;
    frame.stampNs = std::max(frame.stampNs, c.lastStampNs);
    c.lastStampNs = frame.stampNs;
    const bool data = frame.payloadLength > 0;
    const bool twice = data && s.duplicatePpm != 0 && drawChance(*c.random, s.duplicatePpm);
    const uint16_t id = drawIpv4Id(ip, *frame.flow);
    const bool cut = data && s.fragmentSize != 0 &&
                     headLength(frame) + frame.payloadLength > s.fragmentSize;
    for (int copy = twice ? 2 : 1; copy > 0; --copy) {
        Frame packet = frame;  // each copy is sent from the same segment
        if (cut) {
            sendIpFragments(ip, packet, id, s.fragmentSize, s.fragmentOrder);
        } else {
            sendIpPacketWithId(ip, packet, id);
        }
    }
}

void removeAt(NetworkConditions& c, size_t index) {
    c.slotUsed[c.heldSlot[index]] = false;
    for (size_t i = index + 1; i < c.heldCount; ++i) {
        c.held[i - 1] = c.held[i];
        c.heldSlot[i - 1] = c.heldSlot[i];
    }
    c.heldCount -= 1;
}

// A held segment passes now; a lost one is sent again when the sender's timer
// runs out, which holds up everything after it.
void releaseAt(NetworkConditions& c, size_t index) {
    HeldSegment segment = c.held[index];
    removeAt(c, index);
    // The slot stays untouched until the next hold, after this delivery.
    if (segment.lost) {
        const uint64_t at = std::max(c.lastStampNs, segment.frame.stampNs) +
                            retransmissionTimeoutNs + c.rttNs;
        segment.frame.stampNs = at;
        if (c.clock) waitUntil(*c.clock, at);
    }
    deliver(c, segment.frame);
}

// Releases the entries that match, oldest first.
template <typename Match>
void releaseWhere(NetworkConditions& c, Match match) {
    for (size_t i = 0; i < c.heldCount;) {
        if (match(c.held[i])) {
            releaseAt(c, i);
        } else {
            ++i;
        }
    }
}

HeldSegment& keep(NetworkConditions& c, const Frame& frame) {
    if (c.heldCount == maxHeldSegments) releaseAt(c, 0);
    size_t free = 0;
    while (c.slotUsed[free]) ++free;
    c.slotUsed[free] = true;
    HeldSegment& entry = c.held[c.heldCount];
    c.heldSlot[c.heldCount] = static_cast<uint8_t>(free);
    c.heldCount += 1;
    entry = HeldSegment{};
    entry.frame = frame;
    ownPayload(c, entry.frame, free);
    entry.seq = getBe32(headBytes(frame) + seqOffset);
    return entry;
}

// One SACK block after the timestamps option: octets the receiver has beyond
// the hole.
void addSackBlock(Frame& ack, uint32_t left, uint32_t right) {
    if (headLength(ack) != headerWithTimestamps) return;
    uint8_t old[headerWithTimestamps];
    std::memcpy(old, headBytes(ack), headerWithTimestamps);
    uint8_t* h = prependHeader(ack, sackOptionSize);
    std::memcpy(h, old, headerWithTimestamps);
    uint8_t* option = h + headerWithTimestamps;
    option[0] = 1;
    option[1] = 1;
    option[2] = 5;
    option[3] = 10;
    putBe32(option + 4, left);
    putBe32(option + 8, right);
    h[dataOffset] = static_cast<uint8_t>(((headerWithTimestamps + sackOptionSize) / 4) << 4);
    ack.checksumFromEnd = headLength(ack) - checksumOffset;
}

// A pure ACK from the receiver of held or lost segments acknowledges no more
// than it has: it repeats the ACK of the first octet still missing. Returns
// the lost segment it asks for again, if any.
HeldSegment* acknowledgeOnlyReceived(NetworkConditions& c, Frame& ack) {
    uint8_t* tcp = tcpHeader(ack);
    const uint32_t number = getBe32(tcp + ackOffset);
    uint32_t missing = number;
    HeldSegment* first = nullptr;
    for (size_t i = 0; i < c.heldCount; ++i) {
        HeldSegment& h = c.held[i];
        if (h.frame.flow == ack.flow && h.frame.direction != ack.direction &&
            seqAfter(missing, h.seq)) {
            missing = h.seq;
            first = &h;
        }
    }
    if (!first) return nullptr;
    putBe32(tcp + ackOffset, missing);
    const uint32_t holeEnd = first->seq + static_cast<uint32_t>(first->frame.payloadLength);
    if (first->lost && seqAfter(number, holeEnd)) addSackBlock(ack, holeEnd, number);
    resumHeader(ack);
    return first->lost ? first : nullptr;
}

// A retransmission of the previous segment's second half and this one's first
// half, from the slots that hold both.
void sendOverlap(NetworkConditions& c, const Frame& current, size_t currentSlot) {
    const size_t firstPart = c.previousLength - c.previousLength / 2;
    const size_t secondPart = current.payloadLength / 2;
    Frame overlap = current;
    overlap.payload = {};
    overlap.payload[0] = Bytes(slot(c, c.previousSlot) + c.previousLength / 2, firstPart);
    overlap.payload[1] = Bytes(slot(c, currentSlot), secondPart);
    overlap.pieceCount = 2;
    overlap.payloadLength = firstPart + secondPart;
    if (!overlap.note.empty()) overlap.note = "TCP retransmission across two segments";
    putBe32(tcpHeader(overlap) + seqOffset,
            c.previousSeq + static_cast<uint32_t>(c.previousLength / 2));
    resumHeader(overlap);
    deliver(c, overlap);
}

void deliverWithOverlap(NetworkConditions& c, Frame& frame) {
    if (c.settings->overlapPpm == 0) {
        deliver(c, frame);
        return;
    }
    // The two overlap slots take turns holding the previous segment.
    const size_t currentSlot =
        c.previousSlot == maxHeldSegments ? maxHeldSegments + 1 : maxHeldSegments;
    Frame copy = frame;
    ownPayload(c, copy, currentSlot);
    deliver(c, copy);
    const uint32_t seq = getBe32(headBytes(frame) + seqOffset);
    const bool follows = c.previousFlow == frame.flow && c.previousDirection == frame.direction &&
                         c.previousSeq + c.previousLength == seq && c.previousLength >= 2 &&
                         frame.payloadLength >= 2;
    if (follows && drawChance(*c.random, c.settings->overlapPpm)) sendOverlap(c, copy, currentSlot);
    c.previousFlow = frame.flow;
    c.previousDirection = frame.direction;
    c.previousSeq = seq;
    c.previousLength = frame.payloadLength;
    c.previousSlot = currentSlot;
}

}  // namespace

bool drawChance(Random& random, uint32_t ppm) {
    return nextRandom(random) % 1000000u < ppm;
}

void startNetworkConditions(NetworkConditions& c, const ConditionSettings& settings,
                            Random& random, IpLayer& ip, PacketClock* clock, uint64_t rttNs) {
    c.ip = &ip;
    c.settings = &settings;
    c.random = &random;
    c.clock = clock;
    c.rttNs = rttNs;
    c.heldCount = 0;
    c.slotUsed = {};
    c.previousFlow = nullptr;
    c.previousSlot = maxHeldSegments;
    if (settings.reorderPpm != 0 || settings.lossPpm != 0 || settings.overlapPpm != 0) {
        c.pool.assign(poolSlots * heldSlotSize, 0);
    }
}

void passSegment(NetworkConditions& c, Frame& frame) {
    if (!c.settings->any()) {
        sendIpPacket(*c.ip, frame);
        return;
    }
    const uint8_t flags = flagsOf(frame);
    if (flags & (flagSyn | flagFin | flagRst)) {
        // Nothing of a connection is held past its opening or closing.
        releaseWhere(c, [&](const HeldSegment& h) { return h.frame.flow == frame.flow; });
        if (c.previousFlow == frame.flow) c.previousFlow = nullptr;
        deliver(c, frame);
        return;
    }
    if (frame.payloadLength == 0) {
        HeldSegment* asked = nullptr;
        if (c.heldCount > 0 && (flags & flagAck)) asked = acknowledgeOnlyReceived(c, frame);
        deliver(c, frame);
        if (asked && ++asked->duplicateAcks >= fastRetransmitAcks) {
            // Fast retransmit: the sender answers the third duplicate ACK.
            const size_t index = static_cast<size_t>(asked - c.held.data());
            Frame again = asked->frame;
            removeAt(c, index);
            deliver(c, again);
        }
        return;
    }
    // The other side only answers what it has received.
    releaseWhere(c, [&](const HeldSegment& h) {
        return h.frame.flow == frame.flow && h.frame.direction != frame.direction;
    });
    const ConditionSettings& s = *c.settings;
    if (s.captureGapPpm != 0 && drawChance(*c.random, s.captureGapPpm)) return;
    if (s.reorderPpm != 0 && drawChance(*c.random, s.reorderPpm)) {
        HeldSegment& entry = keep(c, frame);
        entry.countdown = static_cast<uint8_t>(1 + nextRandom(*c.random) % s.reorderDepth);
        return;
    }
    if (s.lossPpm != 0 && drawChance(*c.random, s.lossPpm)) {
        const bool lostAlready = std::any_of(c.held.begin(), c.held.begin() + c.heldCount,
                                             [&](const HeldSegment& h) { return h.lost && sameWay(h.frame, frame); });
        if (!lostAlready) {
            HeldSegment& entry = keep(c, frame);
            entry.lost = true;
            Frame seen = entry.frame;
            deliver(c, seen);
            entry.frame.stampNs = seen.stampNs;
            return;
        }
    }
    deliverWithOverlap(c, frame);
    for (size_t i = 0; i < c.heldCount; ++i) {
        if (!c.held[i].lost && sameWay(c.held[i].frame, frame)) c.held[i].countdown -= 1;
    }
    releaseWhere(c, [&](const HeldSegment& h) {
        return !h.lost && sameWay(h.frame, frame) && h.countdown == 0;
    });
}

void flushConditions(NetworkConditions& c) {
    while (c.heldCount > 0) releaseAt(c, 0);
    c.previousFlow = nullptr;
}

}  // namespace tracemint
