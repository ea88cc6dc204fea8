#include "capture/pcap-writer.h"

#include <cstring>

namespace tracemint {

void writeFrame(CaptureFile& capture, const Frame& frame) {
    const size_t head = headLength(frame);
    const size_t frameLength = head + frame.payloadLength;
    uint8_t* record = captureSpace(capture, pcapRecordHeaderSize + frameLength);
    SimClock stamp;
    stamp.sec = static_cast<uint32_t>(frame.stampNs / 1000000000u);
    stamp.usec = static_cast<int32_t>((frame.stampNs % 1000000000u) / 1000u);
    auto recordHeader = pcapRecordHeader(stamp, static_cast<uint32_t>(frameLength));
    std::memcpy(record, recordHeader.data(), recordHeader.size());
    uint8_t* out = record + pcapRecordHeaderSize;
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
