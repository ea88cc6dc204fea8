#include "capture/capture-file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <span>

#include "capture/pcapng-format.h"
#include "common/byte-order.h"
#include "common/fatal-error.h"
#include "common/file-io.h"

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

namespace {

void appendFileHeader(CaptureFile& capture) {
    if (capture.format == CaptureFormat::pcapng) {
        appendCapture(capture, pcapngSectionHeader(captureApplication, capture.sectionComment));
        appendCapture(capture, pcapngInterfaceDescription(pcapSnapLength, capture.resolution));
    } else {
        appendCapture(capture, pcapGlobalHeader(capture.resolution));
    }
}

// Reads up to n bytes at offset; fewer only at the end of the file.
size_t readAt(int fd, uint8_t* out, size_t n, uint64_t offset, const std::string& name) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = retryInterrupted(
            [&] { return ::pread(fd, out + got, n - got, static_cast<off_t>(offset + got)); });
        if (r < 0) throw FatalError(systemErrorText(name, errno), exitFailure);
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return got;
}

void writeAt(int fd, const uint8_t* bytes, size_t n, uint64_t offset, const std::string& name) {
    size_t done = 0;
    while (done < n) {
        const ssize_t w = retryInterrupted([&] {
            return ::pwrite(fd, bytes + done, n - done, static_cast<off_t>(offset + done));
        });
        if (w <= 0) throw FatalError(systemErrorText(name, w < 0 ? errno : EIO), exitFailure);
        done += static_cast<size_t>(w);
    }
}

[[noreturn]] void notWhole(const std::string& pieceName) {
    throw FatalError("Error: " + pieceName + ": not a whole capture", exitFailure);
}

}  // namespace

void openOutput(CaptureFile& capture, const std::string& name) {
    openSink(capture.sink, name, captureBufferSize);
    appendFileHeader(capture);
}

void openPiece(CaptureFile& capture, int fd, const std::string& name) {
    CaptureSink& sink = capture.sink;
    sink.fd = fd;
    sink.kind = SinkKind::inPlace;
    sink.name = name;
    sink.tempPath.clear();
    sink.buffer.assign(captureBufferSize, 0);
    sink.used = 0;
    appendFileHeader(capture);
}

void finishPiece(CaptureFile& capture) {
    flushSink(capture.sink);
    capture.sink.fd = -1;
    capture.sink.buffer = {};
}

void appendPiece(CaptureFile& capture, int pieceFd, const std::string& pieceName,
                 uint32_t seconds) {
    // Any record or block (a frame of at most 65535 octets and a comment of as
    // many) fits the buffer whole, and so does the file header.
    std::vector<uint8_t> buffer(captureBufferSize);
    uint64_t offset = 0;
    size_t held = readAt(pieceFd, buffer.data(), buffer.size(), offset, pieceName);
    offset += held;
    const size_t header = capturePacketsOffset(Bytes(buffer.data(), held), capture.format);
    if (header == 0) notWhole(pieceName);
    size_t start = header;
    for (;;) {
        Bytes rest(buffer.data() + start, held - start);
        const size_t whole = wholePacketsLength(rest, capture.format);
        std::span<uint8_t> packets(buffer.data() + start, whole);
        if (!shiftCaptureStamps(packets, capture.format, capture.resolution, seconds)) {
            notWhole(pieceName);
        }
        appendCapture(capture, Bytes(packets.data(), packets.size()));
        const size_t left = held - start - whole;
        std::memmove(buffer.data(), buffer.data() + start + whole, left);
        const size_t got =
            readAt(pieceFd, buffer.data() + left, buffer.size() - left, offset, pieceName);
        offset += got;
        held = left + got;
        start = 0;
        if (got == 0) {
            if (left != 0) notWhole(pieceName);
            return;
        }
    }
}

void shiftPieceInPlace(int pieceFd, const std::string& pieceName, CaptureFormat format,
                       TimeResolution resolution, uint32_t seconds) {
    // Read and written back a buffer at a time. Mapping the file and moving the
    // stamps in the mapping measured several times slower: every page of it
    // costs a fault on its first touch (and more under a hypervisor that
    // shadows page tables), while read and write copy through mappings the
    // kernel already has.
    std::vector<uint8_t> buffer(captureBufferSize);
    uint64_t offset = 0;
    for (;;) {
        const size_t held = readAt(pieceFd, buffer.data(), buffer.size(), offset, pieceName);
        size_t start = 0;
        if (offset == 0) {
            start = capturePacketsOffset(Bytes(buffer.data(), held), format);
            if (start == 0) notWhole(pieceName);
        }
        if (held == start) return;
        // Records never outgrow the buffer, so bytes left with no whole record
        // among them are a record cut short.
        std::span<uint8_t> packets(buffer.data() + start,
                                   wholePacketsLength(Bytes(buffer.data() + start, held - start),
                                                      format));
        if (packets.empty() || !shiftCaptureStamps(packets, format, resolution, seconds)) {
            notWhole(pieceName);
        }
        writeAt(pieceFd, packets.data(), packets.size(), offset + start, pieceName);
        offset += start + packets.size();
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
