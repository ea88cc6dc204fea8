#include "http/chunked.h"

#include "tcp/tcp-session.h"

namespace tracemint {
namespace {

// The size line into a caller's buffer: one is written per chunk, so no
// formatting machinery and no allocation.
struct SizeLine {
    char text[20];  // 16 hex digits and CR LF at the most
    size_t length = 0;
};

SizeLine formatSizeLine(uint64_t size) {
    static constexpr char hex[] = "0123456789abcdef";
    char digits[16];
    size_t n = 0;
    do {
        digits[n++] = hex[size & 0xF];
        size >>= 4;
    } while (size != 0);
    SizeLine line;
    while (n > 0) line.text[line.length++] = digits[--n];
    line.text[line.length++] = '\r';
    line.text[line.length++] = '\n';
    return line;
}

}  // namespace

std::string chunkSizeLine(uint64_t size) {
    SizeLine line = formatSizeLine(size);
    return std::string(line.text, line.length);
}

void sendChunked(TcpSession& conn, Bytes bytes, uint8_t direction) {
    if (bytes.empty()) {
        if (conn.note.empty()) noteNext(conn, "HTTP: last chunk (size 0)");
        sendMessage(conn, lastChunk, direction);
        return;
    }
    SizeLine line = formatSizeLine(bytes.size());
    sendData(conn, {asBytes(std::string_view(line.text, line.length)), bytes, asBytes(chunkEnd)},
             direction);
}

}  // namespace tracemint
