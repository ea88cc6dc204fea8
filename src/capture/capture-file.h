#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/capture-pieces.h"
#include "capture/time-resolution.h"
#include "common/byte-order.h"
#include "sink/capture-sink.h"
#include "timing/sim-clock.h"

namespace tracemint {

// One capture being written, pcap or pcapng. Bytes are gathered in the sink's buffer and
// written in large pieces; every write is checked, and a failure ends the run
// with the file's name and the system's reason. The capture appears under its
// name only when it is whole (see CaptureSink).
struct CaptureFile {
    CaptureSink sink;
    // The container and its stamps, set before openOutput.
    CaptureFormat format = CaptureFormat::pcap;
    TimeResolution resolution = TimeResolution::microsecond;
    std::string sectionComment;  // pcapng only: the tool, its version and the options
    uint64_t lastStampNs = 0;    // of the latest packet written, kept across captures
    bool written = false;        // a packet has been written since the caller cleared it
};

inline constexpr size_t pcapGlobalHeaderSize = 24;
inline constexpr size_t pcapRecordHeaderSize = 16;
inline constexpr uint32_t pcapSnapLength = 65535;
// Few enough writes that their cost per byte is small, and small enough that the
// buffer stays in the core's cache while it fills; 512 KiB measured fastest (128
// KiB and 4 MiB were 8% slower).
inline constexpr size_t captureBufferSize = 512 << 10;

// The magic numbers tell a reader the unit of the stamps' second field.
inline constexpr uint32_t pcapMagic = 0xA1B2C3D4;
inline constexpr uint32_t pcapNanosecondMagic = 0xA1B23C4D;

// The 24-byte file header: little-endian magic for the resolution's stamps,
// version 2.4, zone 0, snaplen 65535, link type 1 (Ethernet).
std::array<uint8_t, pcapGlobalHeaderSize> pcapGlobalHeader(
    TimeResolution resolution = TimeResolution::microsecond);
// The 16-byte record header: stamp, then the stored and the original length (equal).
std::array<uint8_t, pcapRecordHeaderSize> pcapRecordHeader(
    SimClock stamp, uint32_t frameLength, TimeResolution resolution = TimeResolution::microsecond);

// The capture's name: the -o name when there is one, else the input's last path
// component followed by the mode's suffix.
std::string composeCaptureName(const std::string& outFileName, const std::string& inputPath,
                               const std::string& suffix);

// The application named in a pcapng section header.
inline constexpr const char* captureApplication = "tracemint 1.29";

// Starts the capture and buffers its file header (pcap's, or pcapng's section
// header and interface description). A capture that cannot be created ends the
// run: "Error: Failed to open outfile NAME: reason", status 255.
void openOutput(CaptureFile& capture, const std::string& name);

// A piece: a capture written into a private unnamed file (fd) that is put in
// place later, moved in time. openPiece buffers its file header as openOutput
// does; finishPiece writes what is buffered and leaves the file open, with the
// caller, who owns fd from then on (before, abandonCapture closes it).
void openPiece(CaptureFile& capture, int fd, const std::string& name);
void finishPiece(CaptureFile& capture);
// Appends the packets of the piece open at pieceFd (read from its start, its
// header left out), every stamp moved by `seconds`. A piece that is not a whole
// capture of this capture's format ends the run (status 255).
void appendPiece(CaptureFile& capture, int pieceFd, const std::string& pieceName,
                 uint32_t seconds);

// Moves every stamp of the piece open at pieceFd by `seconds` where it lies, so
// the piece can take its capture's name without a copy. A piece that is not a
// whole capture of this format ends the run (status 255).
void shiftPieceInPlace(int pieceFd, const std::string& pieceName, CaptureFormat format,
                       TimeResolution resolution, uint32_t seconds);

// n bytes at the end of the capture, to be filled by the caller at once.
inline uint8_t* captureSpace(CaptureFile& capture, size_t n) {
    return sinkSpace(capture.sink, n);
}
void appendCapture(CaptureFile& capture, Bytes bytes);

// Writes every buffered byte; a failed write ends the run (status 255).
void flushCapture(CaptureFile& capture);
// Flushes, closes and puts the whole capture under its name; a failure ends the run.
void closeCapture(CaptureFile& capture);
// After a failure elsewhere: closes without throwing and removes the capture in
// progress, so nothing cut short is left under a capture's name.
void abandonCapture(CaptureFile& capture) noexcept;

}  // namespace tracemint
