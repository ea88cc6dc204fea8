#include "tcp/tcp-header.h"

#include <cstring>

namespace tracemint {

void prependTcpHeader(Frame& frame, const TcpHeader& header) {
    const size_t size = tcpHeaderSize + header.options.size();
    uint8_t* h = prependHeader(frame, size);
    putBe16(h + 0, header.sourcePort);
    putBe16(h + 2, header.destinationPort);
    putBe32(h + 4, header.seq);
    // The acknowledgement number is filled in every segment, SYN included.
    putBe32(h + 8, header.ack);
    h[12] = static_cast<uint8_t>((size / 4) << 4);
    h[13] = header.flags;
    putBe16(h + 14, header.window);
    putBe16(h + 16, 0);
    putBe16(h + 18, 0);
    if (!header.options.empty()) {
        std::memcpy(h + tcpHeaderSize, header.options.data(), header.options.size());
    }
    addToChecksum(frame.partialSum, Bytes(h, size));
    frame.checksumFromEnd = size - 16;
}

void writeSynOptions(uint8_t* out, uint16_t mss, uint32_t tsval, uint32_t tsecr,
                     uint8_t windowShift) {
    out[0] = 2;  // MSS
    out[1] = 4;
    putBe16(out + 2, mss);
    out[4] = 4;  // SACK permitted
    out[5] = 2;
    out[6] = 8;  // timestamps
    out[7] = 10;
    putBe32(out + 8, tsval);
    putBe32(out + 12, tsecr);
    out[16] = 1;  // NOP
    out[17] = 3;  // window scale
    out[18] = 3;
    out[19] = windowShift;
}

void writeTimestampsOption(uint8_t* out, uint32_t tsval, uint32_t tsecr) {
    out[0] = 1;
    out[1] = 1;
    out[2] = 8;
    out[3] = 10;
    putBe32(out + 4, tsval);
    putBe32(out + 8, tsecr);
}

}  // namespace tracemint
