// A body cut into chunks of any sizes and framed with the chunk size lines and the
// last chunk decodes, by a strict decoder, to exactly the body.
#include <cstdint>
#include <string>

#include "fuzz-support.h"
#include "http/chunked.h"

namespace {

// Strict: lower-case hex without leading zeros, no extensions, no trailer fields.
bool decodeChunked(const std::string& wire, std::string& body) {
    size_t pos = 0;
    for (;;) {
        size_t lineEnd = wire.find("\r\n", pos);
        if (lineEnd == std::string::npos || lineEnd == pos) return false;
        std::string hex = wire.substr(pos, lineEnd - pos);
        if (hex.size() > 1 && hex[0] == '0') return false;
        uint64_t size = 0;
        for (char c : hex) {
            int v = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
            if (v < 0 || size > (UINT64_MAX >> 4)) return false;
            size = size * 16 + static_cast<uint64_t>(v);
        }
        pos = lineEnd + 2;
        if (size == 0) return wire.compare(pos, std::string::npos, "\r\n") == 0;
        if (wire.size() - pos < size + 2) return false;
        body.append(wire, pos, size);
        pos += size;
        if (wire.compare(pos, 2, "\r\n") != 0) return false;
        pos += 2;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first bytes choose the chunk sizes (1 to 256 each, as a bulk loop cuts
    // blocks); the rest is the body.
    if (size < 1) return 0;
    size_t sizes = data[0] % 8 + 1;
    if (size < 1 + sizes) return 0;
    const uint8_t* cut = data + 1;
    std::string body(reinterpret_cast<const char*>(data + 1 + sizes), size - 1 - sizes);

    std::string wire;
    size_t pos = 0;
    for (size_t i = 0; pos < body.size(); i = (i + 1) % sizes) {
        size_t n = std::min<size_t>(cut[i] + 1u, body.size() - pos);
        wire += tracemint::chunkSizeLine(n);
        wire.append(body, pos, n);
        wire += tracemint::chunkEnd;
        pos += n;
    }
    wire += tracemint::lastChunk;

    std::string decoded;
    FUZZ_CHECK(decodeChunked(wire, decoded));
    FUZZ_CHECK(decoded == body);

    // A size line of any 64-bit size, followed by that many bytes and the chunk end,
    // reads back as one chunk of that size (checked on the size line alone).
    uint64_t any = 0;
    for (size_t i = 0; i < std::min<size_t>(size, 8); ++i) any = (any << 8) | data[i];
    std::string line = tracemint::chunkSizeLine(any);
    FUZZ_CHECK(line.size() >= 3 && line.compare(line.size() - 2, 2, "\r\n") == 0);
    std::string hex = line.substr(0, line.size() - 2);
    FUZZ_CHECK(hex == "0" || hex[0] != '0');
    uint64_t back = 0;
    for (char c : hex) {
        FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
        back = back * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    FUZZ_CHECK(back == any);
    return 0;
}
