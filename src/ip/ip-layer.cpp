#include "ip/ip-layer.h"

#include <cstring>

#include "common/checksum.h"
#include "link/ethernet.h"

namespace tracemint {

void prependIpHeader(Frame& frame, uint8_t ttl, uint16_t ipv4Id) {
    const Flow& flow = *frame.flow;
    const Endpoint& from = sender(flow, frame.direction);
    const Endpoint& to = receiver(flow, frame.direction);
    const uint32_t segmentLength = static_cast<uint32_t>(headLength(frame) + frame.payloadLength);

    uint8_t pseudo[40] = {};
    if (flow.ipVersion == 6) {
        std::memcpy(pseudo, from.ip.data(), 16);
        std::memcpy(pseudo + 16, to.ip.data(), 16);
        putBe32(pseudo + 32, segmentLength);
        pseudo[39] = ipProtocolTcp;
        addToChecksum(frame.partialSum, Bytes(pseudo, 40));

        uint8_t* h = prependHeader(frame, ipv6HeaderSize);
        putBe32(h + 0, 0x60000000u);
        putBe16(h + 4, static_cast<uint16_t>(segmentLength));
        h[6] = ipProtocolTcp;
        h[7] = ttl;
        std::memcpy(h + 8, from.ip.data(), 16);
        std::memcpy(h + 24, to.ip.data(), 16);
    } else {
        std::memcpy(pseudo, from.ip.data(), 4);
        std::memcpy(pseudo + 4, to.ip.data(), 4);
        pseudo[9] = ipProtocolTcp;
        putBe16(pseudo + 10, static_cast<uint16_t>(segmentLength));
        addToChecksum(frame.partialSum, Bytes(pseudo, 12));

        uint8_t* h = prependHeader(frame, ipv4HeaderSize);
        h[0] = 0x45;
        h[1] = 0;
        putBe16(h + 2, static_cast<uint16_t>(segmentLength + ipv4HeaderSize));
        putBe16(h + 4, ipv4Id);
        putBe16(h + 6, 0);  // no Don't Fragment bit, offset 0
        h[8] = ttl;
        h[9] = ipProtocolTcp;
        putBe16(h + 10, 0);
        std::memcpy(h + 12, from.ip.data(), 4);
        std::memcpy(h + 16, to.ip.data(), 4);
        putBe16(h + 10, internetChecksum(Bytes(h, ipv4HeaderSize)));
    }
}

void sendIpPacket(IpLayer& ip, Frame& frame) {
    uint16_t id = 0;
    if (frame.flow->ipVersion != 6) {
        // 16 fresh bits per packet, the generator's low octet first. IPv6 has no
        // identification outside a fragment header.
        const uint32_t r = nextRandom(*ip.random);
        id = static_cast<uint16_t>(((r & 0xFF) << 8) | ((r >> 8) & 0xFF));
    }
    prependIpHeader(frame, ip.ttl, id);
    sendLinkFrame(*ip.link, frame);
}

}  // namespace tracemint
