#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/byte-order.h"

namespace tracemint {

// Where a capture's bytes go, decided by what is at its name when it is opened:
// - replaceName: nothing, a regular file, or a symbolic link to one (or to
//   nothing). The capture is written under a private temporary name in the same
//   directory and renamed over the name only when it is whole, so a reader (or a
//   concurrent run) never sees half a capture, and a link at the name is
//   replaced, not followed.
// - inPlace: an existing name that is not a regular file (/dev/null, a FIFO, a
//   terminal). It is opened and written as it is; renaming over it would replace
//   the device node itself.
// - standardOutput: "-", or a name that is the process's own standard output
//   (/dev/stdout, /proc/self/fd/1). Written through descriptor 1.
enum class SinkKind { replaceName, inPlace, standardOutput };

struct CaptureSink {
    int fd = -1;
    SinkKind kind = SinkKind::replaceName;
    std::string name;      // the capture's name, as given
    std::string tempPath;  // the private name while a replaceName capture is written
    int pendingSlot = -1;  // its registration for removal on a signal
    std::vector<uint8_t> buffer;
    size_t used = 0;
};

// The kind the name would get now. error is set to errno when what is at the
// name cannot be examined (anything but "does not exist").
SinkKind sinkKindOf(const std::string& name, int& error);
bool sinkIsStandardOutput(const std::string& name);

// Whether a component of the name is longer than its directory allows
// (pathconf's NAME_MAX; 255 where the directory does not exist yet), so every
// capture name of a run can be checked before the first capture is made.
bool hasOverlongComponent(const std::string& name);

// The directory a capture of this name is created in ("." for a bare name).
std::string directoryOf(const std::string& name);

// Opens the sink for a new capture with an empty buffer of bufferSize bytes. A
// sink that cannot be opened ends the run: "Error: Failed to open outfile NAME:
// reason", status 255.
void openSink(CaptureSink& sink, const std::string& name, size_t bufferSize);

// Makes room for n bytes by flushing (and growing the buffer for a larger piece).
void makeSinkRoom(CaptureSink& sink, size_t n);
// n bytes at the end of the buffered data, to be filled by the caller at once.
inline uint8_t* sinkSpace(CaptureSink& sink, size_t n) {
    if (sink.used + n > sink.buffer.size()) makeSinkRoom(sink, n);
    uint8_t* p = sink.buffer.data() + sink.used;
    sink.used += n;
    return p;
}
// Writes every buffered byte; a failed write ends the run with the name and the
// system's reason (status 255).
void flushSink(CaptureSink& sink);
// Flushes, closes and, for replaceName, renames the capture to its name. A
// failure ends the run; the caller then discards the sink.
void commitSink(CaptureSink& sink);
// After a failure: closes without writing and removes the capture in progress.
void discardSink(CaptureSink& sink) noexcept;

// A capture written before it may take its name: a private unnamed file in the
// directory the name is in, created as any new capture is (0666 before the
// umask), open for reading and writing. -1 with errno set when that directory's
// file system makes no unnamed files.
int createUnnamedCapture(const std::string& directory);

// Opens the sink over a capture already written into a file of
// createUnnamedCapture: the file is linked under a private temporary name beside
// the name, and commitSink renames it over the name as it does any capture. The
// sink owns fd from then on. False, with nothing changed, when the name is not
// one to replace now (a device, standard output) or the file cannot be linked
// there (another file system, no /proc); the caller then writes the capture.
bool adoptUnnamedCapture(CaptureSink& sink, const std::string& name, int fd);

}  // namespace tracemint
