#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte-order.h"
#include "common/flow.h"
#include "common/random.h"
#include "common/settings.h"
#include "tcp/tcp-header.h"
#include "timing/sim-clock.h"

namespace tracemint {

struct NetworkConditions;
struct TcpSession;

// A pure ACK that the receiver sends later than the segment it acknowledges
// (half a round trip after it), queued until the clock reaches it.
struct PendingAck {
    uint64_t timeNs = 0;
    TcpSession* session = nullptr;
    uint32_t ack = 0;
    uint32_t tsecr = 0;
    uint8_t direction = 0;  // of the ACK itself
};

// At most this many ACKs wait at once; a sender that would queue more waits for
// the oldest, as it would for a full window.
inline constexpr size_t maxPendingAcks = 4096;

// What every connection of a run shares: the settings, the generator, the
// clock, the way down to the network, and the queue of ACKs still to come.
struct TcpStack {
    const Settings* settings = nullptr;
    Random* random = nullptr;
    PacketClock* clock = nullptr;
    NetworkConditions* network = nullptr;
    // How far the input's clock was moved on from the run's start: TCP
    // timestamps count from the run's start, so the octets of an input's
    // conversations do not depend on where it stands in the run.
    uint64_t timestampShiftNs = 0;
    std::vector<PendingAck> pending;  // a ring of maxPendingAcks, in time order
    size_t pendingHead = 0;
    size_t pendingCount = 0;
};

// A session's lastSentNs before its side has sent anything: 0 is a time like
// any other (a capture may start at the Unix epoch).
inline constexpr uint64_t notYetSent = UINT64_MAX;

// One TCP connection between the flow's source (the side that opens it) and
// its destination, written segment by segment into the layers below.
struct TcpSession {
    TcpStack* stack = nullptr;
    Flow flow;
    std::array<uint32_t, 2> nextSeq{};    // [d]: next sequence number of direction d's sender
    std::array<uint32_t, 2> ackKnown{};   // [d]: highest ACK that direction d's sender has seen
    std::array<uint32_t, 2> lastTsval{};  // [d]: the last TSval direction d's sender sent
    std::array<uint32_t, 2> tsOffset{};
    std::array<uint8_t, 2> heldSegments{};  // [d]: full-sized segments of d's sender not yet ACKed
    std::array<uint64_t, 2> heldSinceNs{};
    // [d]: last payload, SYN or FIN from d's sender
    std::array<uint64_t, 2> lastSentNs{notYetSent, notYetSent};
    std::array<uint64_t, 2> linkFreeNs{};   // [d]: when d's sender may start the next payload
    uint32_t window = defaultWindow;  // advertised by both sides, in octets
    uint8_t windowShift = 0;
    size_t maxSegment = 0;      // payload octets per segment
    size_t fullSegment = 0;     // a segment this long counts as full-sized for delayed ACKs
    std::string_view note;      // what the next payload carries, for annotated captures
    // Which pieces of the next sendData calls carry the file's octets (bit i
    // for piece i), set by the dialogue around them; and how many such octets
    // each direction has sent.
    uint8_t filePieces = 0;
    std::array<uint64_t, 2> fileOctets{};
    std::string noteText;       // the note's own storage, when it is built rather than fixed
    // Where the session's plain messages are: "SMTP", or while a mail goes "SMTP
    // DATA", so that a message without a note of its own is noted by its first line.
    std::string_view protocol;
    std::string_view section;
};

// Sets up the shared part; the queue is allocated here, once per run.
void startTcpStack(TcpStack& stack, const Settings& settings, Random& random, PacketClock& clock,
                   NetworkConditions& network);
// A session on the flow; nothing is sent until openConnection.
TcpSession newSession(TcpStack& stack, const Flow& flow);

// Three-way handshake with fresh initial sequence numbers.
void openConnection(TcpSession& session);
// The bytes as one message from the direction's sender: one segment, or several
// where the message is longer than a segment may be, each acknowledged by the
// peer as its ACK policy says. Up to three pieces go out as one segment (a
// chunk's size line, its data and its line end, say).
void sendData(TcpSession& session, std::initializer_list<Bytes> pieces, uint8_t direction);
void sendData(TcpSession& session, Bytes bytes, uint8_t direction);
void sendMessage(TcpSession& session, std::string_view text, uint8_t direction);
// Whether the run annotates its packets; dialogues build notes only then.
bool annotating(const TcpSession& session);
// The note of the next message (copied), when the run annotates.
void noteNext(TcpSession& session, std::string_view note);
// The note of the next message, written by `write(std::string&)` into the
// session's own buffer when the run annotates. The buffer keeps its room from
// one note to the next, so notes built for every packet allocate nothing.
template <class Write>
void buildNote(TcpSession& session, Write write) {
    if (!annotating(session)) return;
    session.noteText.clear();
    write(session.noteText);
    session.note = session.noteText;
}
// Four-packet teardown; the destination side (the server) closes first.
void closeConnection(TcpSession& session);
// Sends every ACK still queued (at the end of a capture).
void flushPendingAcks(TcpStack& stack);

inline Bytes asBytes(std::string_view text) {
    return Bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace tracemint
