#include "capture/capture-file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/byte-order.h"
#include "common/fatal-error.h"
#include "common/file-io.h"

namespace tracemint {

std::string systemErrorText(const std::string& name, int errorNumber) {
    return "Error: " + name + ": " + std::strerror(errorNumber);
}

std::array<uint8_t, pcapGlobalHeaderSize> pcapGlobalHeader() {
    std::array<uint8_t, pcapGlobalHeaderSize> h{};
    putLe32(&h[0], 0xA1B2C3D4u);
    putLe16(&h[4], 2);
    putLe16(&h[6], 4);
    putLe32(&h[8], 0);
    putLe32(&h[12], 0);
    putLe32(&h[16], 65535);
    putLe32(&h[20], 1);
    return h;
}

std::array<uint8_t, pcapRecordHeaderSize> pcapRecordHeader(SimClock stamp, uint32_t frameLength) {
    std::array<uint8_t, pcapRecordHeaderSize> h{};
    putLe32(&h[0], stamp.sec);
    putLe32(&h[4], static_cast<uint32_t>(stamp.usec));
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
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw FatalError("Error: Failed to open outfile " + name + ": " + std::strerror(errno),
                         exitFailure);
    }
    capture.fd = fd;
    capture.name = name;
    capture.buffer.assign(captureBufferSize, 0);
    capture.used = 0;
    appendCapture(capture, pcapGlobalHeader());
}

void flushCapture(CaptureFile& capture) {
    if (capture.used == 0) return;
    size_t n = capture.used;
    capture.used = 0;
    if (!writeAll(capture.fd, Bytes(capture.buffer.data(), n))) {
        throw FatalError(systemErrorText(capture.name, errno), exitFailure);
    }
}

uint8_t* captureSpace(CaptureFile& capture, size_t n) {
    if (capture.used + n > capture.buffer.size()) {
        flushCapture(capture);
        if (n > capture.buffer.size()) capture.buffer.resize(n);
    }
    uint8_t* p = capture.buffer.data() + capture.used;
    capture.used += n;
    return p;
}

void appendCapture(CaptureFile& capture, Bytes bytes) {
    if (bytes.empty()) return;
    std::memcpy(captureSpace(capture, bytes.size()), bytes.data(), bytes.size());
}

void closeCapture(CaptureFile& capture) {
    if (capture.fd < 0) return;
    flushCapture(capture);
    int fd = capture.fd;
    capture.fd = -1;
    capture.buffer = {};
    if (::close(fd) != 0) throw FatalError(systemErrorText(capture.name, errno), exitFailure);
}

void abandonCapture(CaptureFile& capture) noexcept {
    if (capture.fd < 0) return;
    if (capture.used > 0) {
        (void)writeAll(capture.fd, Bytes(capture.buffer.data(), capture.used));
        capture.used = 0;
    }
    ::close(capture.fd);
    capture.fd = -1;
    capture.buffer = {};
}

}  // namespace tracemint
