#include "netcond/network-conditions.h"

#include <algorithm>
#include <cstring>

#include "ip/ip-layer.h"

namespace tracemint {
namespace {

// Offsets in the TCP header, which is the whole head of a frame at this stage.
constexpr size_t seqOffset = 4;
constexpr size_t ackOffset = 8;
constexpr size_t flagsOffset = 13;
constexpr uint8_t flagFin = 0x01;
constexpr uint8_t flagSyn = 0x02;
constexpr uint8_t flagRst = 0x04;
constexpr uint8_t flagAck = 0x10;

bool seqAfter(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) > 0;
}

uint8_t flagsOf(const Frame& frame) {
    return headBytes(frame)[flagsOffset];
}

bool sameWay(const Frame& a, const Frame& b) {
    return a.flow == b.flow && a.direction == b.direction;
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

void releaseAt(NetworkConditions& c, size_t index) {
    HeldSegment segment = c.held[index];
    c.slotUsed[c.heldSlot[index]] = false;
    for (size_t i = index + 1; i < c.heldCount; ++i) {
        c.held[i - 1] = c.held[i];
        c.heldSlot[i - 1] = c.heldSlot[i];
    }
    c.heldCount -= 1;
    // The slot stays untouched until the next hold, after this delivery.
    deliver(c, segment.frame);
}

// Releases the held segments that match, oldest first.
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

void hold(NetworkConditions& c, const Frame& frame) {
    if (c.heldCount == maxHeldSegments) releaseAt(c, 0);
    size_t slot = 0;
    while (c.slotUsed[slot]) ++slot;
    c.slotUsed[slot] = true;
    uint8_t* out = c.pool.data() + slot * heldSlotSize;
    HeldSegment& entry = c.held[c.heldCount];
    c.heldSlot[c.heldCount] = static_cast<uint8_t>(slot);
    c.heldCount += 1;
    entry.frame = frame;
    size_t at = 0;
    for (size_t i = 0; i < frame.pieceCount; ++i) {
        std::memcpy(out + at, frame.payload[i].data(), frame.payload[i].size());
        at += frame.payload[i].size();
    }
    entry.frame.payload = {};
    entry.frame.payload[0] = Bytes(out, at);
    entry.frame.pieceCount = 1;
    entry.seq = getBe32(headBytes(frame) + seqOffset);
    entry.countdown =
        static_cast<uint8_t>(1 + nextRandom(*c.random) % c.settings->reorderDepth);
}

// A pure ACK from the receiver of held segments acknowledges no more than it
// has: it repeats the ACK of the first octet still missing.
void acknowledgeOnlyReceived(NetworkConditions& c, Frame& ack) {
    uint8_t* tcp = ack.head.data() + ack.headStart;
    const uint32_t number = getBe32(tcp + ackOffset);
    uint32_t missing = number;
    for (size_t i = 0; i < c.heldCount; ++i) {
        const HeldSegment& h = c.held[i];
        if (h.frame.flow == ack.flow && h.frame.direction != ack.direction &&
            seqAfter(missing, h.seq)) {
            missing = h.seq;
        }
    }
    if (missing == number) return;
    putBe32(tcp + ackOffset, missing);
    ack.partialSum = ChecksumSum{};
    addToChecksum(ack.partialSum, Bytes(headBytes(ack), headLength(ack)));
}

}  // namespace

bool drawChance(Random& random, uint32_t ppm) {
    return nextRandom(random) % 1000000u < ppm;
}

void startNetworkConditions(NetworkConditions& c, const ConditionSettings& settings,
                            Random& random, IpLayer& ip) {
    c.ip = &ip;
    c.settings = &settings;
    c.random = &random;
    c.heldCount = 0;
    c.slotUsed = {};
    if (settings.reorderPpm != 0) c.pool.assign(maxHeldSegments * heldSlotSize, 0);
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
        deliver(c, frame);
        return;
    }
    if (frame.payloadLength == 0) {
        if (c.heldCount > 0 && (flags & flagAck)) acknowledgeOnlyReceived(c, frame);
        deliver(c, frame);
        return;
    }
    // The other side only answers what it has received.
    releaseWhere(c, [&](const HeldSegment& h) {
        return h.frame.flow == frame.flow && h.frame.direction != frame.direction;
    });
    const ConditionSettings& s = *c.settings;
    if (s.reorderPpm != 0 && drawChance(*c.random, s.reorderPpm)) {
        hold(c, frame);
        return;
    }
    deliver(c, frame);
    for (size_t i = 0; i < c.heldCount; ++i) {
        if (sameWay(c.held[i].frame, frame)) c.held[i].countdown -= 1;
    }
    releaseWhere(c, [&](const HeldSegment& h) {
        return sameWay(h.frame, frame) && h.countdown == 0;
    });
}

void flushConditions(NetworkConditions& c) {
    while (c.heldCount > 0) releaseAt(c, 0);
}

}  // namespace tracemint
