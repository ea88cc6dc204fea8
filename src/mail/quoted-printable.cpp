#include "mail/quoted-printable.h"

#include <array>

namespace tracemint {
namespace {

enum : uint8_t { copied = 0, held = 1, escaped = 2 };

struct ClassTable {
    std::array<uint8_t, 256> of{};
    constexpr ClassTable() {
        for (int b = 0; b < 256; ++b) {
            if (b == '\t' || b == ' ') {
                of[b] = held;
            } else if (b >= 33 && b <= 126 && b != '=') {
                of[b] = copied;
            } else {
                of[b] = escaped;
            }
        }
    }
};
constexpr ClassTable classes;

constexpr char hexDigits[] = "0123456789ABCDEF";

// Makes room for count characters on the line, breaking it softly if needed.
inline char* reserve(QuotedPrintableState& s, int count, char* o) {
    if (s.lineLength + count > qpMaxLineLength) {
        *o++ = '=';
        *o++ = '\r';
        *o++ = '\n';
        s.lineLength = 0;
    }
    s.lineLength += count;
    return o;
}

inline char* literal(QuotedPrintableState& s, uint8_t c, char* o) {
    o = reserve(s, 1, o);
    *o++ = static_cast<char>(c);
    return o;
}

}  // namespace

QpProgress qpEncode(QuotedPrintableState& state, Bytes input, char* out, size_t limit) {
    const uint8_t* in = input.data();
    const size_t n = input.size();
    char* o = out;
    size_t i = 0;
    while (i < n) {
        const uint8_t b = in[i++];
        if (state.pendingSpace != 0) {
            o = literal(state, state.pendingSpace, o);
            state.pendingSpace = 0;
        }
        switch (classes.of[b]) {
            case copied: o = literal(state, b, o); break;
            case held: state.pendingSpace = b; break;
            default:
                o = reserve(state, 3, o);
                o[0] = '=';
                o[1] = hexDigits[b >> 4];
                o[2] = hexDigits[b & 15];
                o += 3;
        }
        const size_t produced = static_cast<size_t>(o - out);
        if (produced > 0 && produced >= limit) break;
    }
    return {i, static_cast<size_t>(o - out)};
}

size_t qpFinish(QuotedPrintableState& state, char* out) {
    char* o = out;
    if (state.pendingSpace != 0) o = literal(state, state.pendingSpace, o);
    if (state.lineLength > 0) {
        *o++ = '=';
        *o++ = '\r';
        *o++ = '\n';
    }
    state = {};
    return static_cast<size_t>(o - out);
}

}  // namespace tracemint
