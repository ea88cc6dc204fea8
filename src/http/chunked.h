#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/byte-order.h"
#include "tcp/tcp-session.h"

namespace tracemint {

// The chunked transfer coding of HTTP/1.1: each chunk is its size in lower-case
// hex without leading zeros and CR LF, the data, CR LF; the body ends with the
// zero-size chunk and the empty line (no trailer fields).
inline constexpr const char* lastChunk = "0\r\n\r\n";
inline constexpr const char* chunkEnd = "\r\n";

std::string chunkSizeLine(uint64_t size);

// Sends the bytes as one chunk in one segment; an empty range sends the last
// chunk, which ends the body.
void sendChunked(TcpSession& conn, Bytes bytes, uint8_t direction);

}  // namespace tracemint
