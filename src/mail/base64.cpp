#include "mail/base64.h"

#include <array>
#include <cstring>

namespace tracemint {
namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two output characters for every 12-bit value, so a group of 3 bytes costs two
// table loads instead of four.
struct PairTable {
    std::array<char, 2 * 4096> chars{};
    constexpr PairTable() {
        for (size_t v = 0; v < 4096; ++v) {
            chars[2 * v] = alphabet[v >> 6];
            chars[2 * v + 1] = alphabet[v & 63];
        }
    }
};
constexpr PairTable pairs;

inline void putGroup(const uint8_t* in, char* out) {
    const uint32_t v = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
    std::memcpy(out, &pairs.chars[2 * (v >> 12)], 2);
    std::memcpy(out + 2, &pairs.chars[2 * (v & 0xFFF)], 2);
}

}  // namespace

uint64_t base64EncodedSize(uint64_t n) {
    const uint64_t rest = n % base64LineInput;
    return n / base64LineInput * base64LineOutput + (rest ? (rest + 2) / 3 * 4 + 2 : 0);
}

size_t base64EncodeLines(Bytes input, char* out) {
    const uint8_t* in = input.data();
    size_t left = input.size();
    char* o = out;
    while (left >= base64LineInput) {
        for (size_t g = 0; g < base64LineInput / 3; ++g) putGroup(in + 3 * g, o + 4 * g);
        o[72] = '\r';
        o[73] = '\n';
        o += base64LineOutput;
        in += base64LineInput;
        left -= base64LineInput;
    }
    if (left > 0) {
        while (left >= 3) {
            putGroup(in, o);
            in += 3;
            o += 4;
            left -= 3;
        }
        if (left > 0) {
            // The short last group is filled with zero bits, then padded.
            uint8_t last[3] = {in[0], left > 1 ? in[1] : uint8_t{0}, 0};
            putGroup(last, o);
            o[3] = '=';
            if (left == 1) o[2] = '=';
            o += 4;
        }
        *o++ = '\r';
        *o++ = '\n';
    }
    return static_cast<size_t>(o - out);
}

}  // namespace tracemint
