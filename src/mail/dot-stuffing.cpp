#include "mail/dot-stuffing.h"

#include <cstring>

namespace tracemint {
namespace {

bool beginsLine(const DotStuffing& state, Bytes text, size_t at) {
    const uint8_t b1 = at >= 1 ? text[at - 1] : state.last;
    const uint8_t b2 = at >= 2 ? text[at - 2] : (at == 1 ? state.last : state.beforeLast);
    return b2 == '\r' && b1 == '\n';
}

// The offset of the first "." at or after `from` that begins a line, or the size.
size_t nextLineDot(const DotStuffing& state, Bytes text, size_t from) {
    const uint8_t* base = text.data();
    while (from < text.size()) {
        const void* hit = std::memchr(base + from, '.', text.size() - from);
        if (hit == nullptr) return text.size();
        const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - base);
        if (beginsLine(state, text, at)) return at;
        from = at + 1;
    }
    return text.size();
}

void remember(DotStuffing& state, Bytes text) {
    if (text.size() >= 2) {
        state.beforeLast = text[text.size() - 2];
        state.last = text[text.size() - 1];
    } else if (text.size() == 1) {
        state.beforeLast = state.last;
        state.last = text[0];
    }
}

}  // namespace

Bytes dotStuff(DotStuffing& state, Bytes text, std::vector<uint8_t>& scratch) {
    size_t dot = nextLineDot(state, text, 0);
    if (dot == text.size()) {
        remember(state, text);
        return text;
    }
    // At most one extra byte per input byte.
    if (scratch.size() < 2 * text.size()) scratch.resize(2 * text.size());
    uint8_t* o = scratch.data();
    size_t from = 0;
    while (dot < text.size()) {
        // Copy up to and including the dot, then the dot once more.
        std::memcpy(o, text.data() + from, dot + 1 - from);
        o += dot + 1 - from;
        *o++ = '.';
        from = dot + 1;
        dot = nextLineDot(state, text, from);
    }
    std::memcpy(o, text.data() + from, text.size() - from);
    o += text.size() - from;
    remember(state, text);
    return Bytes(scratch.data(), static_cast<size_t>(o - scratch.data()));
}

}  // namespace tracemint
