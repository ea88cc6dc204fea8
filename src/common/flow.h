#pragma once

#include <array>
#include <cstdint>

#include "common/settings.h"

namespace tracemint {

// One end of a connection: its host's addresses and its port.
struct Endpoint {
    std::array<uint8_t, 16> ip{};  // IPv4 in the first four octets
    MacAddress mac{};
    uint16_t port = 0;
};

// Directions: 0 from the flow's source endpoint to its destination, 1 the reverse.
inline constexpr uint8_t toServer = 0;
inline constexpr uint8_t toClient = 1;

// The two ends of one TCP connection. The source opens it; for an active FTP
// data connection that is the server host.
struct Flow {
    uint8_t ipVersion = 4;
    Endpoint source;
    Endpoint destination;
};

inline const Endpoint& sender(const Flow& flow, uint8_t direction) {
    return direction == 0 ? flow.source : flow.destination;
}
inline const Endpoint& receiver(const Flow& flow, uint8_t direction) {
    return direction == 0 ? flow.destination : flow.source;
}

}  // namespace tracemint
