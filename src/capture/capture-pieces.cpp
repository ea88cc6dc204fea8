#include "capture/capture-pieces.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "capture/capture-file.h"
#include "capture/pcapng-format.h"
#include "common/fatal-error.h"
#include "common/file-io.h"

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

// A whole file mapped into memory; private mappings leave the file as it is.
struct MappedFile {
    uint8_t* data = nullptr;
    size_t size = 0;

    MappedFile(const std::string& path, bool shared) {
        int fd = ::open(path.c_str(), shared ? O_RDWR | O_CLOEXEC : O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0) {
            const int error = errno;
            if (fd >= 0) ::close(fd);
            throw FatalError(systemErrorText(path, error), exitFailure);
        }
        size = static_cast<size_t>(st.st_size);
        if (size > 0) {
            void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                             shared ? MAP_SHARED : MAP_PRIVATE, fd, 0);
            const int error = errno;
            ::close(fd);
            if (p == MAP_FAILED) throw FatalError(systemErrorText(path, error), exitFailure);
            data = static_cast<uint8_t*>(p);
        } else {
            ::close(fd);
        }
    }
    ~MappedFile() {
        if (data != nullptr) ::munmap(data, size);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
};

// The packets of a mapped piece, moved; a piece that is not whole is an error
// of this run's own making, so it is reported like any failed output.
std::span<uint8_t> shiftedPackets(MappedFile& file, const std::string& path, CaptureFormat format,
                                  TimeResolution resolution, uint32_t seconds) {
    const size_t offset = capturePacketsOffset(Bytes(file.data, file.size), format);
    std::span<uint8_t> packets(file.data + offset, file.size - offset);
    if (offset == 0 || !shiftCaptureStamps(packets, format, resolution, seconds)) {
        throw FatalError("Error: " + path + ": not a whole capture", exitFailure);
    }
    return packets;
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

void shiftCaptureFile(const std::string& path, CaptureFormat format, TimeResolution resolution,
                      uint32_t seconds) {
    if (seconds == 0) return;
    MappedFile file(path, true);
    shiftedPackets(file, path, format, resolution, seconds);
}

void appendCapturePiece(int outFd, const std::string& outName, const std::string& piecePath,
                        CaptureFormat format, TimeResolution resolution, uint32_t seconds) {
    MappedFile file(piecePath, false);
    std::span<uint8_t> packets = shiftedPackets(file, piecePath, format, resolution, seconds);
    if (!writeAll(outFd, Bytes(packets.data(), packets.size()))) {
        throw FatalError(systemErrorText(outName, errno), exitFailure);
    }
}

}  // namespace tracemint
