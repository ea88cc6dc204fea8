#include "input/block-reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/fatal-error.h"
#include "input/input-file.h"
#include "input/progress-meter.h"

namespace tracemint {

BlockReader openBlockReader(int fd, const std::string& name, uint64_t startOffset, uint64_t limit) {
    BlockReader reader;
    reader.fd = fd;
    reader.name = name;
    reader.offset = startOffset;
    reader.limit = limit;
    reader.buffer.resize(blockReaderBufferSize);
    return reader;
}

// Refills the buffer so that it holds at least `want` bytes, unless the data ends.
static void refill(BlockReader& reader, size_t want) {
    if (reader.begin > 0) {
        std::memmove(reader.buffer.data(), reader.buffer.data() + reader.begin,
                     reader.end - reader.begin);
        reader.end -= reader.begin;
        reader.begin = 0;
    }
    while (!reader.atEnd && reader.end < want && reader.end < reader.buffer.size()) {
        size_t room = reader.buffer.size() - reader.end;
        if (reader.limit != UINT64_MAX) {
            uint64_t left = reader.limit > reader.offset ? reader.limit - reader.offset : 0;
            if (left == 0) {
                reader.atEnd = true;
                break;
            }
            room = static_cast<size_t>(std::min<uint64_t>(room, left));
        }
        ssize_t k = ::pread(reader.fd, reader.buffer.data() + reader.end, room,
                            static_cast<off_t>(reader.offset));
        if (k < 0) {
            if (errno == EINTR) continue;
            throw FatalError(systemErrorText(reader.name, errno), exitFailure);
        }
        if (k == 0) {
            // The size announced before the first byte went out is a promise:
            // an input that shrank since cannot keep it.
            if (reader.limitPromised) {
                throw FatalError(changedWhileReadText(reader.name, reader.offset, reader.limit),
                                 exitFailure);
            }
            reader.atEnd = true;
            break;
        }
        reader.end += static_cast<size_t>(k);
        reader.offset += static_cast<uint64_t>(k);
        if (reader.progress) updateProgress(*reader.progress, reader.offset);
    }
}

Bytes nextBlock(BlockReader& reader, size_t maxBytes) {
    if (maxBytes == 0) return {};
    if (reader.end - reader.begin < maxBytes) refill(reader, maxBytes);
    size_t n = std::min(maxBytes, reader.end - reader.begin);
    Bytes block(reader.buffer.data() + reader.begin, n);
    reader.begin += n;
    return block;
}

}  // namespace tracemint
