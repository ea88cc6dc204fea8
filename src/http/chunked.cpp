#include "http/chunked.h"

#include <cstdio>

#include "capture/tcp-conversation.h"

namespace tracemint {

std::string chunkSizeLine(uint64_t size) {
    char line[24];
    int n = std::snprintf(line, sizeof line, "%llx\r\n", static_cast<unsigned long long>(size));
    return std::string(line, static_cast<size_t>(n));
}

void sendChunked(Connection& conn, Bytes bytes, uint8_t direction) {
    if (bytes.empty()) {
        sendMessage(conn, lastChunk, direction);
        return;
    }
    std::string sizeLine = chunkSizeLine(bytes.size());
    sendData(conn, {asBytes(sizeLine), bytes, asBytes(chunkEnd)}, direction);
}

}  // namespace tracemint
