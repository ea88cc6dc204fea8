#include "tcp/tcp-session.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "ip/ip-layer.h"
#include "netcond/network-conditions.h"

namespace tracemint {
namespace {

// Linux acknowledges a lone full-sized segment when its delayed-ACK timer
// fires, 40 ms at the least.
constexpr uint64_t delayedAckTimeoutNs = 40000000;
// The window a modern receiver has grown to once the transfer runs: 3 MiB,
// enough for 100 Mbit/s over a 200 ms round trip.
constexpr uint32_t grownWindow = 3u << 20;

uint8_t other(uint8_t direction) {
    return direction == 0 ? 1 : 0;
}

// a comes after b in sequence space.
bool seqAfter(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) > 0;
}

const Settings& settingsOf(const TcpSession& session) {
    return *session.stack->settings;
}

uint32_t initialSequenceNumber(TcpSession& session) {
    Random& random = *session.stack->random;
    if (settingsOf(session).tcp.randomIsn) {
        const uint32_t high = nextRandom(random);
        return (high << 16) ^ nextRandom(random);
    }
    return (nextRandom(random) & 0xFFF) + 1;
}

// A packet without payload says what it is by its flags.
std::string_view controlNote(uint8_t direction, uint8_t flags) {
    if (flags & tcpSyn) return (flags & tcpAck) ? "TCP handshake: SYN, ACK" : "TCP handshake: SYN";
    if (flags & tcpFin) {
        return direction == toClient ? "TCP teardown: FIN from the server"
                                     : "TCP teardown: FIN from the client";
    }
    return "TCP ACK";
}

// A plain message tells what it is by its first line.
void writeMessageNote(std::string& note, const TcpSession& session, std::string_view text,
                      uint8_t direction) {
    constexpr size_t longest = 100;
    if (!session.section.empty()) {
        note.append(session.section).append(": ");
    } else {
        note.append(session.protocol.empty() ? "TCP" : session.protocol);
        note += direction == toServer ? " client: " : " server: ";
    }
    for (char c : text.substr(0, std::min(text.find_first_of("\r\n"), longest))) {
        note += (c >= ' ' && c <= '~') ? c : '.';
    }
}

uint32_t tsval(const TcpSession& session, uint8_t direction, uint64_t stampNs) {
    const uint64_t sinceStart = stampNs - session.stack->timestampShiftNs;
    return static_cast<uint32_t>(sinceStart / 1000000u) + session.tsOffset[direction];
}

// One segment from the direction's sender into the layers below; advances its
// sequence number by the payload.
void emit(TcpSession& session, uint8_t direction, uint8_t flags, const Frame& payload,
          uint64_t stampNs, uint32_t ackOverride = 0, bool useAckOverride = false,
          uint32_t tsecrOverride = 0) {
    const Settings& settings = settingsOf(session);
    Frame frame;
    frame.payload = payload.payload;
    frame.pieceCount = payload.pieceCount;
    frame.payloadLength = payload.payloadLength;
    frame.stampNs = stampNs;
    frame.flow = &session.flow;
    frame.direction = direction;
    frame.note = payload.note;
    frame.filePieces = payload.filePieces;
    frame.fileOffset = payload.fileOffset;
    if (settings.annotate && frame.note.empty())
        frame.note = controlNote(direction, flags);

    TcpHeader header;
    const Endpoint& from = sender(session.flow, direction);
    const Endpoint& to = receiver(session.flow, direction);
    header.sourcePort = from.port;
    header.destinationPort = to.port;
    header.seq = session.nextSeq[direction];
    header.ack = useAckOverride ? ackOverride : session.nextSeq[other(direction)];
    header.flags = flags;
    uint8_t options[maxTcpOptionsSize];
    if (!settings.tcp.options) {
        header.window = static_cast<uint16_t>(session.window);
    } else {
        const uint32_t value = tsval(session, direction, stampNs);
        const uint32_t echo = useAckOverride ? tsecrOverride : session.lastTsval[other(direction)];
        session.lastTsval[direction] = value;
        if (flags & tcpSyn) {
            // The window of a SYN is never scaled.
            header.window = static_cast<uint16_t>(std::min<uint32_t>(session.window, 64240));
            writeSynOptions(options, settings.tcp.mss, value, (flags & tcpAck) ? echo : 0,
                            session.windowShift);
            header.options = Bytes(options, synOptionsSize);
        } else {
            header.window = static_cast<uint16_t>(session.window >> session.windowShift);
            writeTimestampsOption(options, value, echo);
            header.options = Bytes(options, timestampsOptionSize);
        }
    }
    prependTcpHeader(frame, header);
    if (flags & tcpAck) {
        uint32_t& known = session.ackKnown[other(direction)];
        if (seqAfter(header.ack, known)) known = header.ack;
    }
    // Whatever a side sends acknowledges all it has received.
    if (!useAckOverride) session.heldSegments[other(direction)] = 0;
    session.nextSeq[direction] += static_cast<uint32_t>(frame.payloadLength);
    passSegment(*session.stack->network, frame);
}

void emitControl(TcpSession& session, uint8_t direction, uint8_t flags, uint64_t stampNs,
                 std::string_view note = {}) {
    Frame control{};
    control.note = note;
    emit(session, direction, flags, control, stampNs);
}

// --- ACKs that wait for their time (round trip or rate given) ---

void sendPendingFront(TcpStack& stack) {
    PendingAck entry = stack.pending[stack.pendingHead];
    stack.pendingHead = (stack.pendingHead + 1) % maxPendingAcks;
    stack.pendingCount -= 1;
    TcpSession& session = *entry.session;
    // A later segment of this side may have acknowledged as much already.
    const uint32_t known = session.ackKnown[other(entry.direction)];
    if (!seqAfter(entry.ack, known)) return;
    PacketClock& clock = *stack.clock;
    clock.nowNs = std::max(clock.nowNs, entry.timeNs);
    emit(session, entry.direction, tcpAck, Frame{}, clock.nowNs, entry.ack, true, entry.tsecr);
}

void sendPendingUpTo(TcpStack& stack, uint64_t timeNs) {
    while (stack.pendingCount > 0 && stack.pending[stack.pendingHead].timeNs <= timeNs) {
        sendPendingFront(stack);
    }
}

void queueAck(TcpSession& session, uint8_t direction, uint64_t timeNs) {
    TcpStack& stack = *session.stack;
    if (stack.pendingCount == maxPendingAcks) sendPendingFront(stack);
    PendingAck& entry = stack.pending[(stack.pendingHead + stack.pendingCount) % maxPendingAcks];
    entry.timeNs = timeNs;
    entry.session = &session;
    entry.ack = session.nextSeq[other(direction)];
    entry.tsecr = session.lastTsval[other(direction)];
    entry.direction = direction;
    stack.pendingCount += 1;
}

uint64_t halfRoundTrip(const TcpSession& session) {
    return settingsOf(session).timing.rttNs / 2;
}

// The time of a packet that answers what the other side sent last: half a
// round trip after it, and never before the clock.
uint64_t reactionTime(const TcpSession& session, uint8_t direction) {
    const uint64_t now = session.stack->clock->nowNs;
    const uint64_t last = session.lastSentNs[other(direction)];
    return last == notYetSent ? now : std::max(now, last + halfRoundTrip(session));
}

// The time of a handshake or teardown packet.
uint64_t controlTime(TcpSession& session, uint8_t direction) {
    PacketClock& clock = *session.stack->clock;
    if (!clock.modelled) return stepPacket(clock);
    sendPendingUpTo(*session.stack, UINT64_MAX);
    clock.nowNs = reactionTime(session, direction);
    return clock.nowNs;
}

// Whether the receiver acknowledges this segment at once, or holds the ACK for
// the next full-sized one (delayed ACKs): a segment shorter than full size ends
// a message and is acknowledged at once.
bool ackDue(TcpSession& session, uint8_t direction, size_t length, uint64_t stampNs) {
    if (!settingsOf(session).tcp.delayedAck || length < session.fullSegment ||
        session.heldSegments[direction] > 0) {
        session.heldSegments[direction] = 0;
        return true;
    }
    session.heldSegments[direction] = 1;
    session.heldSinceNs[direction] = stampNs;
    return false;
}

// A modelled segment waits until the receiver's window has room for it: the
// ACKs that free it are sent first, at their own times.
uint64_t waitForWindow(TcpSession& session, uint8_t direction, size_t length, uint64_t timeNs) {
    TcpStack& stack = *session.stack;
    PacketClock& clock = *stack.clock;
    for (;;) {
        const uint32_t inFlight = session.nextSeq[direction] - session.ackKnown[direction];
        if (uint64_t{inFlight} + length < session.window) return std::max(timeNs, clock.nowNs);
        if (stack.pendingCount > 0) {
            sendPendingFront(stack);
        } else if (session.heldSegments[direction] > 0) {
            const uint64_t at =
                std::max(clock.nowNs, session.heldSinceNs[direction] + halfRoundTrip(session) +
                                          delayedAckTimeoutNs);
            clock.nowNs = at;
            session.heldSegments[direction] = 0;
            emitControl(session, other(direction), tcpAck, at);
        } else {
            return std::max(timeNs, clock.nowNs);  // a window smaller than one segment
        }
    }
}

void sendSegment(TcpSession& session, const Frame& payload, uint8_t direction) {
    TcpStack& stack = *session.stack;
    PacketClock& clock = *stack.clock;
    const size_t length = payload.payloadLength;
    if (!clock.modelled) {
        emit(session, direction, tcpPshAck, payload, stepPacket(clock));
        if (ackDue(session, direction, length, clock.nowNs)) {
            emitControl(session, other(direction), tcpAck, stepAcknowledgement(clock));
        }
        return;
    }
    if (stack.pendingCount == maxPendingAcks) sendPendingFront(stack);
    uint64_t t = std::max(reactionTime(session, direction), session.linkFreeNs[direction]);
    t = waitForWindow(session, direction, length, t);
    sendPendingUpTo(stack, t);
    t = std::max(t, clock.nowNs);
    clock.nowNs = t;
    emit(session, direction, tcpPshAck, payload, t);
    session.lastSentNs[direction] = t;
    const uint64_t rate = settingsOf(session).timing.rateBitsPerSecond;
    session.linkFreeNs[direction] = rate == 0 ? t : t + uint64_t(length) * 8u * 1000000000u / rate;
    if (ackDue(session, direction, length, t)) {
        queueAck(session, other(direction), t + halfRoundTrip(session));
    }
}

}  // namespace

void startTcpStack(TcpStack& stack, const Settings& settings, Random& random, PacketClock& clock,
                   NetworkConditions& network) {
    stack.settings = &settings;
    stack.random = &random;
    stack.clock = &clock;
    stack.network = &network;
    if (clock.modelled) stack.pending.resize(maxPendingAcks);
    stack.pendingHead = 0;
    stack.pendingCount = 0;
}

TcpSession newSession(TcpStack& stack, const Flow& flow) {
    const Settings& settings = *stack.settings;
    TcpSession session;
    session.stack = &stack;
    session.flow = flow;
    const size_t optionOctets = settings.tcp.options ? timestampsOptionSize : 0;
    if (settings.mtu == 0) {
        // Without an MTU, a message travels in one segment, however long.
        session.maxSegment = 65535 - ipv6HeaderSize - tcpHeaderSize - maxTcpOptionsSize;
    } else {
        session.maxSegment =
            size_t(settings.mtu) - ipHeaderSize(flow.ipVersion) - tcpHeaderSize - optionOctets;
    }
    session.fullSegment = std::min(session.maxSegment, size_t(settings.blockSize));
    if (settings.tcp.window != 0) {
        session.window = settings.tcp.window;
    } else if (settings.tcp.options) {
        session.window = grownWindow;
    } else if (2 * size_t(settings.blockSize) + 1 >= defaultWindow) {
        session.window = 65535;
    }
    if (settings.tcp.options) {
        while ((session.window >> session.windowShift) > 65535) session.windowShift += 1;
        // The receiver can only announce whole units of 2^shift octets; the
        // sender fills what is announced, not a few octets more.
        session.window = (session.window >> session.windowShift) << session.windowShift;
    }
    return session;
}

void openConnection(TcpSession& session) {
    session.nextSeq[0] = initialSequenceNumber(session);
    session.nextSeq[1] = 0;
    session.lastSentNs = {notYetSent, notYetSent};
    session.linkFreeNs = {};
    session.heldSegments = {};
    session.lastTsval = {};
    if (settingsOf(session).tcp.options && settingsOf(session).tcp.randomIsn) {
        session.tsOffset[0] = nextRandom(*session.stack->random) << 1;
    }
    uint64_t t = controlTime(session, toServer);
    emitControl(session, toServer, tcpSyn, t);
    session.lastSentNs[0] = t;
    session.nextSeq[1] = initialSequenceNumber(session);
    if (settingsOf(session).tcp.options && settingsOf(session).tcp.randomIsn) {
        session.tsOffset[1] = nextRandom(*session.stack->random) << 1;
    }
    session.nextSeq[0] += 1;
    t = controlTime(session, toClient);
    emitControl(session, toClient, tcpSynAck, t);
    session.lastSentNs[1] = t;
    session.nextSeq[1] += 1;
    t = controlTime(session, toServer);
    emitControl(session, toServer, tcpAck, t, annotating(session) ? "TCP handshake: ACK" : "");
    // Each side has now seen the other acknowledge its SYN.
    session.ackKnown = session.nextSeq;
}

void sendData(TcpSession& session, std::initializer_list<Bytes> pieces, uint8_t direction) {
    if (pieces.size() > maxPayloadPieces) throw std::logic_error("too many pieces in one segment");
    size_t total = 0;
    for (Bytes piece : pieces) total += piece.size();
    if (session.note.empty()) {
        buildNote(session, [&](std::string& note) {
            note.append(session.protocol.empty() ? "TCP" : session.protocol)
                .append(" data, ")
                .append(std::to_string(total))
                .append(" bytes");
        });
    }
    // Cut the message into segments of at most maxSegment octets, each made of
    // views of the pieces it spans.
    size_t offset = 0;
    do {
        const size_t length = std::min(total - offset, session.maxSegment);
        Frame segment;
        segment.note = session.note;
        segment.fileOffset = session.fileOctets[direction];
        size_t skip = offset;
        size_t want = length;
        size_t index = 0;
        for (Bytes piece : pieces) {
            const bool fromFile = (session.filePieces >> index++) & 1;
            if (skip >= piece.size()) {
                skip -= piece.size();
                continue;
            }
            const size_t take = std::min(piece.size() - skip, want);
            if (take == 0 && want == 0) break;
            if (fromFile && take > 0) {
                segment.filePieces |= static_cast<uint8_t>(1u << segment.pieceCount);
                session.fileOctets[direction] += take;
            }
            segment.payload[segment.pieceCount++] = piece.subspan(skip, take);
            skip = 0;
            want -= take;
            if (want == 0) break;
        }
        segment.payloadLength = length;
        sendSegment(session, segment, direction);
        offset += length;
    } while (offset < total);
    session.note = {};
}

void sendData(TcpSession& session, Bytes bytes, uint8_t direction) {
    sendData(session, {bytes}, direction);
}

void sendMessage(TcpSession& session, std::string_view text, uint8_t direction) {
    if (session.note.empty()) {
        buildNote(session, [&](std::string& note) {
            writeMessageNote(note, session, text, direction);
        });
    }
    const size_t split = settingsOf(session).conditions.splitTexts;
    if (split == 0 || text.size() <= split) {
        sendData(session, {asBytes(text)}, direction);
        return;
    }
    // A sender that writes its text a few octets at a time; every piece keeps
    // the message's note.
    const std::string_view note = session.note;
    for (size_t offset = 0; offset < text.size(); offset += split) {
        session.note = note;
        sendData(session, {asBytes(text.substr(offset, split))}, direction);
    }
}

bool annotating(const TcpSession& session) {
    return settingsOf(session).annotate;
}

void noteNext(TcpSession& session, std::string_view note) {
    if (!annotating(session)) return;
    session.noteText = note;
    session.note = session.noteText;
}

void closeConnection(TcpSession& session) {
    uint64_t t = controlTime(session, toClient);
    emitControl(session, toClient, tcpFinAck, t);
    session.lastSentNs[1] = t;
    session.nextSeq[1] += 1;
    t = controlTime(session, toServer);
    emitControl(session, toServer, tcpAck, t);
    t = controlTime(session, toServer);
    emitControl(session, toServer, tcpFinAck, t);
    session.lastSentNs[0] = t;
    session.nextSeq[0] += 1;
    t = controlTime(session, toClient);
    emitControl(session, toClient, tcpAck, t);
}

void flushPendingAcks(TcpStack& stack) {
    sendPendingUpTo(stack, UINT64_MAX);
}

}  // namespace tracemint
