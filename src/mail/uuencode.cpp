#include "mail/uuencode.h"

#include <array>
#include <cstring>

namespace tracemint {
namespace {

constexpr char uuChar(uint32_t v) {
    return v == 0 ? '`' : static_cast<char>(v + 32);
}

// Two output characters for every 12-bit value, so a group of 3 bytes costs two
// table loads.
struct PairTable {
    std::array<char, 2 * 4096> chars{};
    constexpr PairTable() {
        for (uint32_t v = 0; v < 4096; ++v) {
            chars[2 * v] = uuChar(v >> 6);
            chars[2 * v + 1] = uuChar(v & 63);
        }
    }
};
constexpr PairTable pairs;

inline void putGroup(const uint8_t* in, char* out) {
    const uint32_t v = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
    std::memcpy(out, &pairs.chars[2 * (v >> 12)], 2);
    std::memcpy(out + 2, &pairs.chars[2 * (v & 0xFFF)], 2);
}

// One line of 1 to 45 bytes; a short last group is filled with zero bytes.
char* putLine(const uint8_t* in, size_t n, char* o) {
    *o++ = static_cast<char>(32 + n);
    size_t i = 0;
    for (; i + 3 <= n; i += 3, o += 4) putGroup(in + i, o);
    if (i < n) {
        uint8_t last[3] = {in[i], i + 1 < n ? in[i + 1] : uint8_t{0}, 0};
        putGroup(last, o);
        o += 4;
    }
    *o++ = '\r';
    *o++ = '\n';
    return o;
}

}  // namespace

uint64_t uuEncodedSize(uint64_t n) {
    const uint64_t rest = n % uuLineInput;
    return n / uuLineInput * uuLineOutput + (rest ? 1 + (rest + 2) / 3 * 4 + 2 : 0);
}

size_t uuEncodeLines(Bytes input, char* out) {
    char* o = out;
    for (size_t at = 0; at < input.size(); at += uuLineInput) {
        const size_t n = input.size() - at < uuLineInput ? input.size() - at : uuLineInput;
        o = putLine(input.data() + at, n, o);
    }
    return static_cast<size_t>(o - out);
}

}  // namespace tracemint
