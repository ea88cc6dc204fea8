#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/byte-order.h"

namespace tracemint {

struct ProgressMeter;

// The input of the run: an open descriptor of a regular file (a pipe or device
// has been copied into a private temporary file first), its size, and the name
// used in error messages.
struct InputFile {
    int fd = -1;
    uint64_t size = 0;
    std::string name;
    ProgressMeter* progress = nullptr;  // told how far every read of the input has got
};

// Reads a file from an offset in large pieces and hands out the blocks that a
// bulk loop sends, so a 1200-byte segment costs no system call of its own. For a
// regular file the blocks are exactly those that reading blockSize bytes at a
// time would give.
struct BlockReader {
    int fd = -1;
    std::string name;
    uint64_t offset = 0;  // file offset of the next read
    uint64_t limit = 0;   // stop before this offset (UINT64_MAX: end of file)
    std::vector<uint8_t> buffer;
    size_t begin = 0;  // unread bytes are buffer[begin, end)
    size_t end = 0;
    bool atEnd = false;
    // The data up to limit was announced before it was read: ending short of it
    // is an error, not an end.
    bool limitPromised = false;
    ProgressMeter* progress = nullptr;
};

inline constexpr size_t blockReaderBufferSize = 128 << 10;

// A reader of fd from startOffset up to (not including) limit, or to the end of
// the file when limit is UINT64_MAX.
BlockReader openBlockReader(int fd, const std::string& name, uint64_t startOffset = 0,
                            uint64_t limit = UINT64_MAX);
// The input from its start, up to the size it had when the run began, so every
// text that announces the size agrees with the bytes that follow; an input that
// has shrunk since ends the run ("Error: NAME: changed while being read (got N
// of M bytes)", status 255).
inline BlockReader openBlockReader(const InputFile& input) {
    BlockReader reader = openBlockReader(input.fd, input.name, 0, input.size);
    reader.limitPromised = true;
    reader.progress = input.progress;
    return reader;
}

// The next block of at most maxBytes; empty at the end of the data (and always
// for maxBytes 0). Valid until the next call. A failed read ends the run with the
// file's name and the system's reason (status 255).
Bytes nextBlock(BlockReader& reader, size_t maxBytes);

}  // namespace tracemint
