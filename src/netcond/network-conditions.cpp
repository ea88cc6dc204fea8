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

// Copies the frame's payload into a pool slot and points the frame at it,
// piece by piece (which pieces carry the file's octets stays known).
void ownPayload(NetworkConditions& c, Frame& frame, size_t index) {
    uint8_t* out = slot(c, index);
    size_t at = 0;
    for (size_t i = 0; i < frame.pieceCount; ++i) {
        const size_t size = frame.payload[i].size();
        if (size != 0) std::memmove(out + at, frame.payload[i].data(), size);
        frame.payload[i] = Bytes(out + at, size);
        at += size;
    }
    // The note is the sender's text of the moment; a held segment keeps its own
    // copy behind the payload.
    if (frame.note.empty()) return;
    const size_t noteLength = std::min(frame.note.size(), heldSlotSize - at);
    std::memcpy(out + at, frame.note.data(), noteLength);
    frame.note = std::string_view(reinterpret_cast<const char*>(out + at), noteLength);
}

// A packet leaves the path: duplicated and cut into fragments as the
// conditions say (a fragment decoy always cuts it), then handed to IP.
void sendOut(NetworkConditions& c, Frame& frame, const FragmentDecoy* decoy = nullptr) {
    const ConditionSettings& s = *c.settings;
    IpLayer& ip = *c.ip;
    const bool data = frame.payloadLength > 0;
    const bool twice = data && s.duplicatePpm != 0 && drawChance(*c.random, s.duplicatePpm);
    const uint16_t id = drawIpv4Id(ip, *frame.flow);
    const size_t total = headLength(frame) + frame.payloadLength;
    size_t size = s.fragmentSize;
    if (decoy && (size == 0 || size >= total)) {
        // Three fragments and a short last one: the decoy covers nearly all.
        size = std::max<size_t>(8, (total / 3) & ~size_t{7});
    }
    const bool cut = data && size != 0 && total > size;
    for (int copy = twice ? 2 : 1; copy > 0; --copy) {
        Frame packet = frame;  // each copy is sent from the same segment
        if (cut) {
            sendIpFragments(ip, packet, id, size, s.fragmentOrder, decoy);
        } else {
            sendIpPacketWithId(ip, packet, id);
        }
    }
}

void deliverWithDecoy(NetworkConditions& c, Frame& frame);

void deliver(NetworkConditions& c, Frame& frame) {
    frame.stampNs = std::max(frame.stampNs, c.lastStampNs);
    c.lastStampNs = frame.stampNs;
    const ConditionSettings& s = *c.settings;
    if (s.decoy != DecoyKind::none && frame.filePieces != 0 && frame.payloadLength > 0 &&
        drawChance(*c.random, s.decoyPpm)) {
        deliverWithDecoy(c, frame);
        return;
    }
    sendOut(c, frame);
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

// SACK blocks after the timestamps option (at most three fit beside it):
// octets the receiver has beyond the hole, the most recent first.
struct SackBlock {
    uint32_t left = 0;
    uint32_t right = 0;
};
constexpr size_t maxSackBlocks = 3;

void addSackBlocks(Frame& ack, const SackBlock* blocks, size_t count) {
    if (headLength(ack) != headerWithTimestamps || count == 0) return;
    const size_t optionSize = 2 + 2 + 8 * count;  // NOP, NOP, kind, length, blocks
    uint8_t old[headerWithTimestamps];
    std::memcpy(old, headBytes(ack), headerWithTimestamps);
    uint8_t* h = prependHeader(ack, optionSize);
    std::memcpy(h, old, headerWithTimestamps);
    uint8_t* option = h + headerWithTimestamps;
    option[0] = 1;
    option[1] = 1;
    option[2] = 5;
    option[3] = static_cast<uint8_t>(2 + 8 * count);
    for (size_t i = 0; i < count; ++i) {
        putBe32(option + 4 + 8 * i, blocks[i].left);
        putBe32(option + 8 + 8 * i, blocks[i].right);
    }
    h[dataOffset] = static_cast<uint8_t>(((headerWithTimestamps + optionSize) / 4) << 4);
    ack.checksumFromEnd = headLength(ack) - checksumOffset;
}

// A pure ACK from the receiver of held or lost segments acknowledges no more
// than it has: it repeats the ACK of the first octet still missing, and SACKs
// what it has past it (the segments between and after the held ones). Returns
// the lost segment it asks for again, if any.
HeldSegment* acknowledgeOnlyReceived(NetworkConditions& c, Frame& ack) {
    uint8_t* tcp = tcpHeader(ack);
    const uint32_t number = getBe32(tcp + ackOffset);
    // The holes below the ACK, in sequence order.
    std::array<const HeldSegment*, maxHeldSegments> holes{};
    size_t holeCount = 0;
    for (size_t i = 0; i < c.heldCount; ++i) {
        const HeldSegment& h = c.held[i];
        if (h.frame.flow == ack.flow && h.frame.direction != ack.direction &&
            seqAfter(number, h.seq)) {
            holes[holeCount++] = &h;
        }
    }
    if (holeCount == 0) return nullptr;
    std::sort(holes.begin(), holes.begin() + holeCount,
              [](const HeldSegment* a, const HeldSegment* b) { return seqAfter(b->seq, a->seq); });
    HeldSegment* first = const_cast<HeldSegment*>(holes[0]);
    putBe32(tcp + ackOffset, first->seq);
    // What arrived past each hole, up to the next one or the ACK, highest first.
    // A single lost segment among none held back gives the one block from the
    // end of the hole to the ACK.
    const bool reordering = c.settings->reorderPpm != 0;
    SackBlock blocks[maxSackBlocks];
    size_t count = 0;
    for (size_t i = holeCount; i-- > 0 && count < maxSackBlocks;) {
        const uint32_t left = holes[i]->seq + static_cast<uint32_t>(holes[i]->frame.payloadLength);
        const uint32_t right = i + 1 < holeCount ? holes[i + 1]->seq : number;
        if (!seqAfter(right, left)) continue;
        if (!reordering && !holes[i]->lost) continue;
        blocks[count++] = SackBlock{left, right};
    }
    if (first->lost || reordering) addSackBlocks(ack, blocks, count);
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
    overlap.filePieces = 0;
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

// --- Decoys ---

// The frame with the decoy's payload from the slot: the same TCP header, so
// the same sequence number, and a checksum the capture writer computes over
// the decoy's octets. It gets no decoy of its own.
// What an annotated capture says of a decoy: a fixed text, since a decoy may
// leave long after the sender's own note for the segment has changed.
std::string_view decoyNote(DecoyKind kind) {
    switch (kind) {
        case DecoyKind::tcpFirst: return "Decoy: overlapping segment before the real one";
        case DecoyKind::tcpLast: return "Decoy: overlapping segment after the real one";
        case DecoyKind::tcpReordered: return "Decoy: second half, out of order before the real segment";
        case DecoyKind::ttl: return "Decoy: TTL expires before the host";
        case DecoyKind::badChecksum: return "Decoy: wrong TCP checksum";
        case DecoyKind::outOfWindow: return "Decoy: octets already acknowledged";
        case DecoyKind::afterRst: return "Decoy: segment after the RST";
        default: return "Decoy";
    }
}

Frame decoyFrame(const Frame& frame, const uint8_t* octets, DecoyKind kind) {
    Frame decoy = frame;
    decoy.payload = {};
    decoy.payload[0] = Bytes(octets, frame.payloadLength);
    decoy.pieceCount = 1;
    decoy.filePieces = 0;
    if (!decoy.note.empty()) decoy.note = decoyNote(kind);
    return decoy;
}

// Only the octets from the given one on: a later part of the segment, its
// sequence number moved on to match.
Frame tailOf(const Frame& frame, size_t from) {
    Frame tail = frame;
    tail.payload = {};
    size_t skip = from;
    size_t count = 0;
    for (size_t i = 0; i < frame.pieceCount; ++i) {
        const Bytes piece = frame.payload[i];
        if (skip >= piece.size()) {
            skip -= piece.size();
            continue;
        }
        tail.payload[count++] = piece.subspan(skip);
        skip = 0;
    }
    tail.pieceCount = count;
    tail.payloadLength = frame.payloadLength - from;
    tail.filePieces = 0;
    uint8_t* tcp = tcpHeader(tail);
    putBe32(tcp + seqOffset, getBe32(tcp + seqOffset) + static_cast<uint32_t>(from));
    resumHeader(tail);
    return tail;
}

size_t oldestKept(const NetworkConditions& c) {
    return (c.keptNext + keptDecoySlots - c.keptCount) % keptDecoySlots;
}

// Keeps the decoy of a segment for later; a segment of another flow or
// direction starts the ring again. A full ring loses its oldest decoy, or
// (replaceOldest false) keeps it and takes no new one.
void keepDecoy(NetworkConditions& c, const Frame& frame, bool replaceOldest) {
    if (c.keptFlow != frame.flow || c.keptDirection != frame.direction) {
        c.keptFlow = frame.flow;
        c.keptDirection = frame.direction;
        c.keptCount = 0;
        c.keptNext = 0;
    }
    if (c.keptCount == keptDecoySlots && !replaceOldest) return;
    const size_t index = c.keptNext;
    uint8_t* octets = slot(c, firstKeptDecoySlot + index);
    writeDecoyPayload(frame, c.settings->decoyText, octets);
    c.keptDecoys[index] = decoyFrame(frame, octets, c.settings->decoy);
    c.keptDecoyEnds[index] =
        getBe32(headBytes(frame) + seqOffset) + static_cast<uint32_t>(frame.payloadLength);
    c.keptNext = (index + 1) % keptDecoySlots;
    c.keptCount = std::min(c.keptCount + 1, keptDecoySlots);
}

void deliverWithDecoy(NetworkConditions& c, Frame& frame) {
    const DecoyKind kind = c.settings->decoy;
    if (kind == DecoyKind::afterRst || kind == DecoyKind::outOfWindow) {
        sendOut(c, frame);
        keepDecoy(c, frame, kind == DecoyKind::afterRst);
        return;
    }
    uint8_t* octets = slot(c, decoySlot);
    writeDecoyPayload(frame, c.settings->decoyText, octets);
    Frame decoy = decoyFrame(frame, octets, kind);
    switch (kind) {
        case DecoyKind::tcpFirst:
            sendOut(c, decoy);
            sendOut(c, frame);
            break;
        case DecoyKind::tcpLast:
            sendOut(c, frame);
            sendOut(c, decoy);
            break;
        case DecoyKind::tcpReordered: {
            // The decoy of the second half comes first, out of order; then the
            // whole segment, in order.
            Frame half = tailOf(decoy, frame.payloadLength / 2);
            if (half.payloadLength > 0 && frame.payloadLength >= 2) sendOut(c, half);
            sendOut(c, frame);
            break;
        }
        case DecoyKind::ttl: {
            const uint8_t ttl = c.ip->ttl;
            c.ip->ttl = decoyTtl;
            sendOut(c, decoy);
            c.ip->ttl = ttl;
            sendOut(c, frame);
            break;
        }
        case DecoyKind::badChecksum: {
            // One more to the sum than the octets add up to.
            static constexpr uint8_t one[2] = {0, 1};
            addToChecksum(decoy.partialSum, Bytes(one, 2));
            sendOut(c, decoy);
            sendOut(c, frame);
            break;
        }
        case DecoyKind::fragFirst:
        case DecoyKind::fragLast: {
            const FragmentDecoy twins{Bytes(octets, frame.payloadLength),
                                      kind == DecoyKind::fragFirst};
            sendOut(c, frame, &twins);
            break;
        }
        default: sendOut(c, frame);
    }
}

// An out-of-window decoy goes once the receiver's ACK has passed its octets
// (they are now left of the window), and the receiver answers it with its ACK
// again, as it answers any segment it cannot accept.
void sendAcknowledgedDecoys(NetworkConditions& c, const Frame& ack) {
    if (c.settings->decoy != DecoyKind::outOfWindow || c.keptFlow != ack.flow ||
        c.keptDirection == ack.direction || !(flagsOf(ack) & flagAck)) {
        return;
    }
    const uint32_t number = getBe32(headBytes(ack) + ackOffset);
    while (c.keptCount > 0) {
        const size_t index = oldestKept(c);
        if (seqAfter(c.keptDecoyEnds[index], number)) break;
        c.keptCount -= 1;
        Frame decoy = c.keptDecoys[index];
        decoy.stampNs = ack.stampNs;
        deliver(c, decoy);
        Frame reply = ack;
        deliver(c, reply);
    }
}

// The sender of the file resets the connection where it would close it: a RST
// at the next sequence number (inside the receiver's window, so the host
// honours it), then the kept decoys, which the host no longer takes.
void resetWithDecoys(NetworkConditions& c, const Frame& closing) {
    const uint8_t* h = headBytes(closing);
    const bool fromSender = closing.direction == c.keptDirection;
    Frame rst;
    rst.flow = closing.flow;
    rst.direction = c.keptDirection;
    rst.stampNs = closing.stampNs;
    if (!closing.note.empty()) rst.note = "TCP RST: the file's sender resets the connection";
    uint8_t* tcp = prependHeader(rst, 20);
    std::memset(tcp, 0, 20);
    putBe16(tcp + 0, getBe16(h + (fromSender ? 0 : 2)));
    putBe16(tcp + 2, getBe16(h + (fromSender ? 2 : 0)));
    putBe32(tcp + seqOffset, getBe32(h + (fromSender ? seqOffset : ackOffset)));
    putBe32(tcp + ackOffset, getBe32(h + (fromSender ? ackOffset : seqOffset)));
    tcp[dataOffset] = 5 << 4;
    tcp[flagsOffset] = flagRst | flagAck;
    resumHeader(rst);
    rst.checksumFromEnd = 20 - checksumOffset;
    deliver(c, rst);
    const size_t oldest = oldestKept(c);
    for (size_t i = 0; i < c.keptCount; ++i) {
        Frame decoy = c.keptDecoys[(oldest + i) % keptDecoySlots];
        decoy.stampNs = closing.stampNs;
        deliver(c, decoy);
    }
    c.keptCount = 0;
    c.keptFlow = nullptr;
    c.resetFlow = closing.flow;
}

}  // namespace

uint8_t decoyOctet(uint8_t octet) {
    if (octet >= 'A' && octet <= 'Z') return static_cast<uint8_t>('A' + (octet - 'A' + 13) % 26);
    if (octet >= 'a' && octet <= 'z') return static_cast<uint8_t>('a' + (octet - 'a' + 13) % 26);
    if (octet >= '0' && octet <= '9') return static_cast<uint8_t>('0' + (octet - '0' + 5) % 10);
    if (octet == '\r' || octet == '\n' || (octet >= 0x20 && octet < 0x7F)) return octet;
    return octet ^ 0x80;
}

void writeDecoyPayload(const Frame& frame, std::string_view text, uint8_t* out) {
    uint64_t fileAt = frame.fileOffset;
    for (size_t i = 0; i < frame.pieceCount; ++i) {
        const Bytes piece = frame.payload[i];
        if (piece.empty()) continue;
        if (((frame.filePieces >> i) & 1) == 0) {
            std::memcpy(out, piece.data(), piece.size());
        } else if (text.empty()) {
            for (size_t k = 0; k < piece.size(); ++k) out[k] = decoyOctet(piece[k]);
        } else {
            for (size_t k = 0; k < piece.size(); ++k) {
                out[k] = static_cast<uint8_t>(text[(fileAt + k) % text.size()]);
            }
            fileAt += piece.size();
        }
        out += piece.size();
    }
}

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
    c.keptCount = 0;
    c.keptNext = 0;
    c.keptFlow = nullptr;
    c.resetFlow = nullptr;
    if (settings.decoy != DecoyKind::none) {
        c.pool.assign(poolSlotsWithDecoys * heldSlotSize, 0);
    } else if (settings.reorderPpm != 0 || settings.lossPpm != 0 || settings.overlapPpm != 0) {
        c.pool.assign(poolSlots * heldSlotSize, 0);
    }
}

void passSegment(NetworkConditions& c, Frame& frame) {
    if (!c.settings->any()) {
        sendIpPacket(*c.ip, frame);
        return;
    }
    const uint8_t flags = flagsOf(frame);
    if (frame.flow == c.resetFlow) {
        // A reset connection sends nothing more, until one on the same
        // addresses and ports opens.
        if (!(flags & flagSyn)) return;
        c.resetFlow = nullptr;
    }
    if (flags & (flagSyn | flagFin | flagRst)) {
        // Nothing of a connection is held past its opening or closing.
        releaseWhere(c, [&](const HeldSegment& h) { return h.frame.flow == frame.flow; });
        if (c.previousFlow == frame.flow) c.previousFlow = nullptr;
        if (c.keptFlow == frame.flow && c.keptCount > 0) {
            if ((flags & flagFin) && c.settings->decoy == DecoyKind::afterRst) {
                resetWithDecoys(c, frame);
                return;
            }
            c.keptCount = 0;  // out of window: none is sent once the connection closes
        }
        deliver(c, frame);
        return;
    }
    if (frame.payloadLength == 0) {
        HeldSegment* asked = nullptr;
        if (c.heldCount > 0 && (flags & flagAck)) asked = acknowledgeOnlyReceived(c, frame);
        deliver(c, frame);
        sendAcknowledgedDecoys(c, frame);
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
