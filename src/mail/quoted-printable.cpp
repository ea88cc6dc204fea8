#include "mail/quoted-printable.h"

#include <array>
#include <cstdint>
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
// Without Store only the characters are counted.
template <bool Store>
inline size_t reserve(int& line, int count, char* out, size_t o) {
    if (line + count > qpMaxLineLength) {
        if constexpr (Store) std::memcpy(out + o, "=\r\n", 3);
        o += 3;
        line = 0;
    }
    line += count;
    return o;
}

// The one encoder, writing (Store) or only counting the characters: the count
// that announces a mail's size comes from the same code as the mail itself.
//
// A held blank goes out with the byte after it, at the same place in the text
// as if it had been written at once, so inside a call every byte is written at
// its turn; only a blank that ends the call is taken back (with the soft line
// break it may have caused) and held for the next call. The byte that makes the
// output reach the stop ends the call, the output of a byte being what it adds
// to the text when the characters of a blank are counted with the byte after it.
template <bool Store>
QpProgress encode(QuotedPrintableState& state, Bytes input, char* out, size_t stop,
                  size_t capacity) {
    const uint8_t* in = input.data();
    const size_t n = input.size();
    if (n == 0) return {0, 0};
    // A 4-byte copy of a byte's characters may start no later than this.
    const size_t wideCopyEnd = capacity - 4;
    size_t o = 0;
    int line = state.lineLength;
    if (state.pendingSpace != 0) {
        o = reserve<Store>(line, 1, out, o);
        if constexpr (Store) out[o] = static_cast<char>(state.pendingSpace);
        ++o;
        state.pendingSpace = 0;
    }
    size_t i = 0;
    while (i < n) {
        // Four bytes at a time while they surely fit on the line and stay short
        // of the stop (12 characters at most): neither a soft line break nor the
        // stop can fall among them, so they need no check of their own.
        while (n - i >= 4 && o + 12 < stop) {
            const uint8_t* group = in + i;
            const int width = table.width[group[0]] + table.width[group[1]] +
                              table.width[group[2]] + table.width[group[3]];
            if (line + width > qpMaxLineLength) break;
            if constexpr (Store) {
                for (int k = 0; k < 4; ++k) {
                    std::memcpy(out + o, table.text[group[k]].data(), 4);
                    o += table.width[group[k]];
                }
            } else {
                o += static_cast<size_t>(width);
            }
            line += width;
            i += 4;
        }
        if (i == n) break;
        const uint8_t b = in[i++];
        const int width = table.width[b];
        const size_t before = o;
        o = reserve<Store>(line, width, out, o);
        if constexpr (Store) {
            if (o <= wideCopyEnd) {
                std::memcpy(out + o, table.text[b].data(), 4);
            } else {
                std::memcpy(out + o, table.text[b].data(), static_cast<size_t>(width));
            }
        }
        o += static_cast<size_t>(width);
        // A blank's own character counts at the next byte's turn, so at a
        // blank's turn the output is what stood before it.
        if (o >= stop && (!table.blank[b] || before >= stop)) break;
    }
    if (table.blank[in[i - 1]]) {
        // Take the blank back, and the soft line break before it if it made one:
        // then the blank begins a line (only the very first character of a text
        // does so without a break, and it is never preceded by output here).
        --o;
        --line;
        if (line == 0 && o >= 3) {
            o -= 3;
            line = qpMaxLineLength;
        }
        state.pendingSpace = in[i - 1];
    }
    state.lineLength = line;
    return {i, o};
}

}  // namespace

QpProgress qpEncode(QuotedPrintableState& state, Bytes input, char* out, size_t limit) {
    return encode<true>(state, input, out, limit > 0 ? limit : 1, limit + qpMaxOutputPerByte);
}

uint64_t qpCount(QuotedPrintableState& state, Bytes input) {
    return encode<false>(state, input, nullptr, SIZE_MAX, SIZE_MAX).produced;
}

size_t qpFinish(QuotedPrintableState& state, char* out) {
    size_t o = 0;
    if (state.pendingSpace != 0) {
        o = reserve<true>(state.lineLength, 1, out, o);
        out[o++] = static_cast<char>(state.pendingSpace);
    }
    if (state.lineLength > 0) {
        std::memcpy(out + o, "=\r\n", 3);
        o += 3;
    }
    state = {};
    return o;
}

}  // namespace tracemint
