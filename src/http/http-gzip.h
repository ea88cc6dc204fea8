#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "input/transfer.h"
#include "tcp/tcp-session.h"

namespace tracemint {

// The gzip member of a gzip-encoded body is sent in three pieces: the fixed
// header with the response head, the raw deflate data block by block, and the
// trailer (CRC-32 and size) at the end.
inline constexpr std::array<uint8_t, 10> gzipHeader{0x1f, 0x8b, 0x08, 0x00, 0x00,
                                                    0x00, 0x00, 0x00, 0x00, 0x03};

// The compressed input, prepared once per run in a private temporary file that
// holds exactly the raw deflate data (RFC 1951) the body sends.
struct GzipBody {
    int fd = -1;
    uint64_t tmpSize = 0;    // raw deflate data
    uint32_t crc = 0;        // CRC-32 of the input
    uint64_t inputSize = 0;  // bytes compressed
    std::string tempDirectory = ".";  // where the temporary file is made (else $TMPDIR)
};

// Compression levels of --gzip-level, those of ISA-L's deflate: 0 and 1 match
// short strings only in a small hash, 2 and 3 search more and cost more time
// for a smaller body.
inline constexpr int gzipMinLevel = 0;
inline constexpr int gzipMaxLevel = 3;

// Deflates the whole input at the settings' gzip level into a new private
// temporary file and records its CRC-32 and size. Does nothing when the body is
// already prepared. Failures end the run (status 255).
void compressGzip(const Transfer& file, GzipBody& body);
// Closes the temporary file; the directory setting stays.
void releaseGzipBody(GzipBody& body);

// Body bytes after the head's empty line: header, raw deflate data, trailer.
inline uint64_t gzipContentLength(const GzipBody& body) {
    return gzipHeader.size() + body.tmpSize + 8;
}

// CRC-32, then ISIZE (the input size modulo 2^32), both little-endian.
std::array<uint8_t, 8> gzipTrailer(uint32_t crc, uint64_t inputSize);

// Sends the trailer in direction 1: as one chunk followed by the last chunk when
// the body is chunked, else as one segment.
void sendGzipTrailer(TcpSession& conn, const GzipBody& body, bool chunked);

}  // namespace tracemint
