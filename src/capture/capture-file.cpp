#include "capture/capture-file.h"

#include <cstring>

#include "capture/pcapng-format.h"
#include "common/byte-order.h"

namespace tracemint {

std::array<uint8_t, pcapGlobalHeaderSize> pcapGlobalHeader(TimeResolution resolution) {
    std::array<uint8_t, pcapGlobalHeaderSize> h{};
    putLe32(&h[0], resolution == TimeResolution::nanosecond ? pcapNanosecondMagic : pcapMagic);
    putLe16(&h[4], 2);
    putLe16(&h[6], 4);
    putLe32(&h[8], 0);
    putLe32(&h[12], 0);
    putLe32(&h[16], pcapSnapLength);
    putLe32(&h[20], 1);
    return h;
}

std::array<uint8_t, pcapRecordHeaderSize> pcapRecordHeader(SimClock stamp, uint32_t frameLength,
                                                           TimeResolution resolution) {
    std::array<uint8_t, pcapRecordHeaderSize> h{};
    putLe32(&h[0], stamp.sec);
    putLe32(&h[4], stampFraction(stamp, resolution));
    putLe32(&h[8], frameLength);
    putLe32(&h[12], frameLength);
    return h;
}

std::string composeCaptureName(const std::string& outFileName, const std::string& inputPath,
                               const std::string& suffix) {
    if (!outFileName.empty()) return outFileName;
    // The last path component, as basename() gives it: trailing slashes do not count.
    std::string path = inputPath;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    size_t slash = path.rfind('/');
    std::string base = (slash == std::string::npos || path == "/") ? path : path.substr(slash + 1);
    return base + suffix;
}

void openOutput(CaptureFile& capture, const std::string& name) {
    openSink(capture.sink, name, captureBufferSize);
    if (capture.format == CaptureFormat::pcapng) {
        appendCapture(capture, pcapngSectionHeader(captureApplication, capture.sectionComment));
        appendCapture(capture, pcapngInterfaceDescription(pcapSnapLength, capture.resolution));
    } else {
        appendCapture(capture, pcapGlobalHeader(capture.resolution));
    }
}

void flushCapture(CaptureFile& capture) {
    flushSink(capture.sink);
}

void appendCapture(CaptureFile& capture, Bytes bytes) {
    if (bytes.empty()) return;
    std::memcpy(captureSpace(capture, bytes.size()), bytes.data(), bytes.size());
}

void closeCapture(CaptureFile& capture) {
    commitSink(capture.sink);
}

void abandonCapture(CaptureFile& capture) noexcept {
    discardSink(capture.sink);
}

}  // namespace tracemint
