#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/frame.h"
#include "common/random.h"
#include "common/settings.h"

namespace tracemint {

struct IpLayer;

// A segment held back by reordering; its payload lives in a slot of the pool.
struct HeldSegment {
    Frame frame;
    uint32_t seq = 0;
    uint8_t countdown = 0;  // later segments of its flow and direction still to pass it
};

// At most this many segments are held at once, and a reordering depth is at
// most one less.
inline constexpr size_t maxHeldSegments = 16;
inline constexpr uint8_t maxReorderDepth = maxHeldSegments - 1;
// A held payload is copied into a slot this large (any segment fits).
inline constexpr size_t heldSlotSize = 65536;

// The path between the two hosts, in front of the capture point. Without
// conditions every packet passes at once, untouched. With them, each segment
// from the TCP layer goes through these steps, in this order:
//   1. reordering: a data segment is held until up to DEPTH later data segments
//      of its direction have passed (or until the other side speaks, or the
//      connection closes); ACKs from the receiver meanwhile acknowledge only up
//      to the held segment, as duplicate ACKs;
//   2. duplication: a data segment is sent twice, the same IP packet both times;
//   3. fragmentation: a data packet is cut into IP fragments.
// Every random draw is made only for a condition that is on, so captures
// without conditions keep the draws, and the octets, of a plain run.
struct NetworkConditions {
    IpLayer* ip = nullptr;
    const ConditionSettings* settings = nullptr;
    Random* random = nullptr;
    std::vector<uint8_t> pool;  // maxHeldSegments slots, allocated once when reordering is on
    std::array<HeldSegment, maxHeldSegments> held{};
    std::array<bool, maxHeldSegments> slotUsed{};
    std::array<uint8_t, maxHeldSegments> heldSlot{};
    size_t heldCount = 0;
    uint64_t lastStampNs = 0;  // of the last packet delivered
};

// Allocates what the switched-on conditions need, once per run.
void startNetworkConditions(NetworkConditions& conditions, const ConditionSettings& settings,
                            Random& random, IpLayer& ip);

// One TCP segment (its TCP header in the frame, its checksum open) onto the path.
void passSegment(NetworkConditions& conditions, Frame& frame);

// Delivers every held segment (at the end of a capture).
void flushConditions(NetworkConditions& conditions);

// Whether an event of the given probability (in millionths) happens: one draw.
bool drawChance(Random& random, uint32_t ppm);

}  // namespace tracemint
