#include "link/ethernet.h"

#include <cstring>

#include "capture/pcap-writer.h"

namespace tracemint {

size_t linkHeaderSize(const LinkSettings& link) {
    return ethernetHeaderSize + vlanTagSize * link.vlanCount;
}

void sendLinkFrame(LinkLayer& link, Frame& frame) {
    const LinkSettings& settings = *link.settings;
    uint16_t etherType = frame.flow->ipVersion == 6 ? etherTypeIPv6 : etherTypeIPv4;
    // Tags go in from the inside out: the inner (802.1Q) tag next to the IP
    // packet, the outer (802.1ad) one in front of it.
    for (int i = settings.vlanCount - 1; i >= 0; --i) {
        uint8_t* tag = prependHeader(frame, vlanTagSize);
        putBe16(tag, settings.vlanIds[static_cast<size_t>(i)] & 0x0FFF);  // priority 0, DEI 0
        putBe16(tag + 2, etherType);
        etherType = (i == 0 && settings.vlanCount == 2) ? etherTypeProvider : etherTypeVlan;
    }
    uint8_t* h = prependHeader(frame, ethernetHeaderSize);
    std::memcpy(h, receiver(*frame.flow, frame.direction).mac.data(), 6);
    std::memcpy(h + 6, sender(*frame.flow, frame.direction).mac.data(), 6);
    putBe16(h + 12, etherType);
    writeFrame(*link.capture, frame);
}

}  // namespace tracemint
