#include "mail/quoted-printable.h"

#include <array>
#include <cstring>

namespace tracemint {
namespace {

constexpr char hexDigits[] = "0123456789ABCDEF";

// For every byte: the characters it is written as (its own, or "=XX"), padded
// to four so they can be copied as one word, how many of them count, and
// whether it is a space or tab that must not end a line.
struct ByteTable {
    std::array<std::array<char, 4>, 256> text{};
    std::array<uint8_t, 256> width{};
    std::array<bool, 256> blank{};
    constexpr ByteTable() {
        for (int b = 0; b < 256; ++b) {
            const char c = static_cast<char>(b);
            if (b == '\t' || b == ' ' || (b >= 33 && b <= 126 && b != '=')) {
                text[b] = {c, 0, 0, 0};
                width[b] = 1;
                blank[b] = b == '\t' || b == ' ';
            } else {
                text[b] = {'=', hexDigits[b >> 4], hexDigits[b & 15], 0};
                width[b] = 3;
            }
        }
    }
};
constexpr ByteTable table;

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
    const char* stop = out + (limit > 0 ? limit : 1);
    size_t i = 0;
    while (i < n) {
        if (state.pendingSpace == 0) {
            // The next k bytes fit on the line whatever they are (3 characters
            // at most each), so no soft line break can fall among them, and a
            // space or tab among them is followed by its next byte on the same
            // line: it can be written at once. Only a blank that ends the run
            // is taken back and held.
            size_t k = static_cast<size_t>(qpMaxLineLength - state.lineLength) / 3;
            if (k > n - i) k = n - i;
            if (k > 0) {
                char* start = o;
                size_t taken = 0;
                while (taken < k) {
                    const uint8_t b = in[i + taken++];
                    std::memcpy(o, table.text[b].data(), 4);
                    o += table.width[b];
                    if (o >= stop) break;
                }
                i += taken;
                const uint8_t last = in[i - 1];
                if (table.blank[last]) {
                    --o;
                    state.pendingSpace = last;
                }
                state.lineLength += static_cast<int>(o - start);
                if (o >= stop) break;
                continue;
            }
        }
        // Near the end of a line, or after a held blank: one byte at a time.
        const uint8_t b = in[i++];
        if (state.pendingSpace != 0) {
            o = literal(state, state.pendingSpace, o);
            state.pendingSpace = 0;
        }
        if (table.blank[b]) {
            state.pendingSpace = b;
        } else {
            o = reserve(state, table.width[b], o);
            std::memcpy(o, table.text[b].data(), table.width[b]);
            o += table.width[b];
        }
        if (o >= stop) break;
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
