#include "capture/pcap-writer.h"

#include <algorithm>
#include <cstring>

#include "capture/pcapng-format.h"

namespace tracemint {

void writeFrame(CaptureFile& capture, const Frame& frame) {
    const size_t head = headLength(frame);
    const size_t frameLength = head + frame.payloadLength;
    const bool nanosecond = capture.resolution == TimeResolution::nanosecond;
    capture.lastStampNs = std::max(capture.lastStampNs, frame.stampNs);
    capture.written = true;
    uint8_t* out;
    if (capture.format == CaptureFormat::pcapng) {
        const size_t blockLength = pcapngEnhancedPacketSize(frameLength, frame.note.size());
        uint8_t* block = captureSpace(capture, blockLength);
        const uint64_t units = nanosecond ? frame.stampNs : frame.stampNs / 1000u;
        writeEnhancedPacketHead(block, units, static_cast<uint32_t>(frameLength),
                                static_cast<uint32_t>(blockLength));
        out = block + pcapngEnhancedPacketHeadSize;
        writeEnhancedPacketTail(out + frameLength, static_cast<uint32_t>(frameLength), frame.note,
                                static_cast<uint32_t>(blockLength));
    } else {
        uint8_t* record = captureSpace(capture, pcapRecordHeaderSize + frameLength);
        const uint32_t fraction = static_cast<uint32_t>(frame.stampNs % 1000000000u);
        putLe32(record, static_cast<uint32_t>(frame.stampNs / 1000000000u));
        putLe32(record + 4, nanosecond ? fraction : fraction / 1000u);
        putLe32(record + 8, static_cast<uint32_t>(frameLength));
        putLe32(record + 12, static_cast<uint32_t>(frameLength));
        out = record + pcapRecordHeaderSize;
    }
    std::memcpy(out, headBytes(frame), head);
    uint8_t* cursor = out + head;
    if (frame.checksumFromEnd == 0) {
        for (size_t i = 0; i < frame.pieceCount; ++i) {
            std::memcpy(cursor, frame.payload[i].data(), frame.payload[i].size());
            cursor += frame.payload[i].size();
        }
        return;
    }
    ChecksumSum sum = frame.partialSum;
    for (size_t i = 0; i < frame.pieceCount; ++i) {
        copyIntoChecksum(sum, frame.payload[i], cursor);
        cursor += frame.payload[i].size();
    }
    putBe16(out + head - frame.checksumFromEnd, finishChecksum(sum));
}

}  // namespace tracemint
