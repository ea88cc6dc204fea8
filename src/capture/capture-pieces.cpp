#include "capture/capture-pieces.h"

#include "capture/capture-file.h"
#include "capture/pcapng-format.h"

namespace tracemint {
namespace {

uint64_t unitsPerSecond(TimeResolution resolution) {
    return resolution == TimeResolution::nanosecond ? 1000000000 : 1000000;
}

bool shiftPcap(std::span<uint8_t> data, uint32_t seconds) {
    size_t pos = 0;
    while (pos < data.size()) {
        if (data.size() - pos < pcapRecordHeaderSize) return false;
        uint8_t* header = data.data() + pos;
        putLe32(header, getLe32(header) + seconds);
        const uint32_t stored = getLe32(header + 8);
        if (data.size() - pos - pcapRecordHeaderSize < stored) return false;
        pos += pcapRecordHeaderSize + stored;
    }
    return true;
}

bool shiftPcapng(std::span<uint8_t> data, TimeResolution resolution, uint32_t seconds) {
    const uint64_t shift = uint64_t{seconds} * unitsPerSecond(resolution);
    size_t pos = 0;
    while (pos < data.size()) {
        if (data.size() - pos < 12) return false;
        uint8_t* block = data.data() + pos;
        const uint32_t length = getLe32(block + 4);
        if (length < 12 || length % 4 != 0 || length > data.size() - pos) return false;
        if (getLe32(block) == pcapngEnhancedPacketType) {
            if (length < pcapngEnhancedPacketHeadSize + 4) return false;
            const uint64_t stamp = (uint64_t{getLe32(block + 12)} << 32) | getLe32(block + 16);
            putLe32(block + 12, static_cast<uint32_t>((stamp + shift) >> 32));
            putLe32(block + 16, static_cast<uint32_t>(stamp + shift));
        }
        pos += length;
    }
    return true;
}

}  // namespace

size_t capturePacketsOffset(Bytes capture, CaptureFormat format) {
    if (format == CaptureFormat::pcap) {
        return capture.size() >= pcapGlobalHeaderSize ? pcapGlobalHeaderSize : 0;
    }
    // The section header, then the interface description.
    size_t pos = 0;
    for (uint32_t type : {pcapngSectionHeaderType, pcapngInterfaceDescriptionType}) {
        if (capture.size() - pos < 12 || getLe32(capture.data() + pos) != type) return 0;
        const uint32_t length = getLe32(capture.data() + pos + 4);
        if (length < 12 || length > capture.size() - pos) return 0;
        pos += length;
    }
    return pos;
}

bool shiftCaptureStamps(std::span<uint8_t> packets, CaptureFormat format, TimeResolution resolution,
                        uint32_t seconds) {
    return format == CaptureFormat::pcap ? shiftPcap(packets, seconds)
                                         : shiftPcapng(packets, resolution, seconds);
}

size_t wholePacketsLength(Bytes packets, CaptureFormat format) {
    size_t pos = 0;
    for (;;) {
        const size_t left = packets.size() - pos;
        size_t length = 0;
        if (format == CaptureFormat::pcap) {
            if (left < pcapRecordHeaderSize) return pos;
            length = pcapRecordHeaderSize + getLe32(packets.data() + pos + 8);
        } else {
            if (left < 12) return pos;
            length = getLe32(packets.data() + pos + 4);
            // A malformed length ends the whole part here; the caller finds the
            // rest is no capture.
            if (length < 12 || length % 4 != 0) return pos;
        }
        if (length > left) return pos;
        pos += length;
    }
}

}  // namespace tracemint
