#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/frame.h"
#include "common/random.h"
#include "common/settings.h"
#include "timing/sim-clock.h"

namespace tracemint {

struct IpLayer;

// A segment the receiving host does not have yet: held back by reordering
// (not yet past the capture point), or lost after the capture point and
// waiting for its retransmission. Its payload lives in a slot of the pool.
struct HeldSegment {
    Frame frame;
    uint32_t seq = 0;
    uint8_t countdown = 0;  // reordered: later segments of its flow and direction still to pass it
    bool lost = false;
    uint8_t duplicateAcks = 0;  // lost: duplicate ACKs the sender has had for it
};

// At most this many segments are held at once, and a reordering depth is at
// most one less.
inline constexpr size_t maxHeldSegments = 16;
inline constexpr uint8_t maxReorderDepth = maxHeldSegments - 1;
// A held payload is copied into a slot this large (any segment fits).
inline constexpr size_t heldSlotSize = 65536;
// Slots beyond the held ones: the last two data segments, for overlaps.
inline constexpr size_t poolSlots = maxHeldSegments + 2;
// With decoys, more slots after those: the decoy being sent, and the decoys
// kept for later: until the receiver has acknowledged their octets (out of
// window; more wait their turn), or the last ones, for after a reset.
inline constexpr size_t decoySlot = poolSlots;
inline constexpr size_t keptDecoySlots = maxHeldSegments;
inline constexpr size_t firstKeptDecoySlot = poolSlots + 1;
inline constexpr size_t poolSlotsWithDecoys = firstKeptDecoySlot + keptDecoySlots;
// A lost segment the sender hears nothing about is sent again after this
// retransmission timeout (Linux's least, 200 ms) plus the round trip.
inline constexpr uint64_t retransmissionTimeoutNs = 200000000;

// The path between the two hosts, in front of the capture point. Without
// conditions every packet passes at once, untouched. With them, each segment
// from the TCP layer goes through these steps, in this order:
//   1. capture gap: a data segment reaches the host but not the capture; the
//      ACKs that follow acknowledge it all the same;
//   2. reordering: a data segment is held until up to DEPTH later data segments
//      of its direction have passed (or until the other side speaks, or the
//      connection closes);
//   3. loss: a data segment passes the capture point and is lost behind it;
//      after three duplicate ACKs the sender retransmits it at once (fast
//      retransmit), else when its timer runs out (before the other side
//      speaks, or the connection closes);
//   4. duplication: a data segment is sent twice, the same IP packet both times;
//   5. overlap: after a data segment, a retransmission of the second half of
//      the one before and the first half of this one, with the same octets;
//   6. decoys: a data segment that carries the file's octets goes with a decoy
//      of the same octets altered (or the decoy text), which one reassembly
//      policy keeps and the receiving host does not;
//   7. fragmentation: a data packet is cut into IP fragments.
// While a segment is held or lost, the receiver's pure ACKs acknowledge only up
// to it (duplicate ACKs; with SACK blocks for what arrived beyond it when the
// segments carry the timestamps option, so SACK was agreed).
// Every random draw is made only for a condition that is on, so captures
// without conditions keep the draws, and the octets, of a plain run.
struct NetworkConditions {
    IpLayer* ip = nullptr;
    const ConditionSettings* settings = nullptr;
    Random* random = nullptr;
    PacketClock* clock = nullptr;  // moved on by retransmission timeouts
    uint64_t rttNs = 0;
    std::vector<uint8_t> pool;  // poolSlots slots, allocated once when a condition holds segments
    std::array<HeldSegment, maxHeldSegments> held{};
    std::array<bool, maxHeldSegments> slotUsed{};
    // Overlaps: the previous data segment (in slot previousSlot) and its way.
    const Flow* previousFlow = nullptr;
    uint8_t previousDirection = 0;
    uint32_t previousSeq = 0;
    size_t previousLength = 0;
    size_t previousSlot = maxHeldSegments;
    std::array<uint8_t, maxHeldSegments> heldSlot{};
    size_t heldCount = 0;
    uint64_t lastStampNs = 0;  // of the last packet delivered
    // Kept decoys of one flow and direction (the one that carries the file),
    // oldest first in a ring, with the sequence number past each.
    std::array<Frame, keptDecoySlots> keptDecoys{};
    std::array<uint32_t, keptDecoySlots> keptDecoyEnds{};
    size_t keptCount = 0;
    size_t keptNext = 0;
    const Flow* keptFlow = nullptr;
    uint8_t keptDirection = 0;
    const Flow* resetFlow = nullptr;  // reset: nothing more of it is sent
};

// Allocates what the switched-on conditions need, once per run.
void startNetworkConditions(NetworkConditions& conditions, const ConditionSettings& settings,
                            Random& random, IpLayer& ip, PacketClock* clock = nullptr,
                            uint64_t rttNs = 0);

// One TCP segment (its TCP header in the frame, its checksum open) onto the path.
void passSegment(NetworkConditions& conditions, Frame& frame);

// Delivers every held segment (at the end of a capture).
void flushConditions(NetworkConditions& conditions);

// Whether an event of the given probability (in millionths) happens: one draw.
bool drawChance(Random& random, uint32_t ppm);

// A file octet as a decoy shows it: letters rotated by 13, digits by 5,
// octets outside printable ASCII with their top bit flipped; spaces,
// punctuation and line ends stay, so a decoy of a text encoding (base64,
// quoted-printable, UU) keeps its alphabet and its lines.
uint8_t decoyOctet(uint8_t octet);

// The decoy's payload for a segment into out (payloadLength octets): the
// file's pieces altered or replaced by text (repeated from the start of the
// file's octets, by fileOffset), the other pieces as they are.
void writeDecoyPayload(const Frame& frame, std::string_view text, uint8_t* out);

}  // namespace tracemint
