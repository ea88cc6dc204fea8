#include "http2/hpack.h"

namespace tracemint {
namespace {

struct LiteralPattern {
    unsigned prefixBits;
    uint8_t highBits;
};

LiteralPattern literalPattern(HpackIndexing indexing) {
    switch (indexing) {
        case HpackIndexing::incremental: return {6, 0x40};
        case HpackIndexing::never: return {4, 0x10};
        case HpackIndexing::without: break;
    }
    return {4, 0x00};
}

}  // namespace

void appendHpackInteger(std::vector<uint8_t>& out, unsigned prefixBits, uint8_t highBits,
                        uint64_t value) {
    const uint64_t prefixMax = (uint64_t{1} << prefixBits) - 1;
    if (value < prefixMax) {
        out.push_back(static_cast<uint8_t>(highBits | value));
        return;
    }
    out.push_back(static_cast<uint8_t>(highBits | prefixMax));
    value -= prefixMax;
    while (value >= 0x80) {
        out.push_back(static_cast<uint8_t>(0x80 | (value & 0x7F)));
        value >>= 7;
    }
    out.push_back(static_cast<uint8_t>(value));
}

void appendHpackString(std::vector<uint8_t>& out, std::string_view text) {
    appendHpackInteger(out, 7, 0x00, text.size());
    for (char c : text) out.push_back(static_cast<uint8_t>(c));
}

void appendIndexedField(std::vector<uint8_t>& out, uint64_t index) {
    appendHpackInteger(out, 7, 0x80, index);
}

void appendLiteralField(std::vector<uint8_t>& out, HpackIndexing indexing, uint64_t nameIndex,
                        std::string_view value) {
    const LiteralPattern pattern = literalPattern(indexing);
    appendHpackInteger(out, pattern.prefixBits, pattern.highBits, nameIndex);
    appendHpackString(out, value);
}

void appendLiteralField(std::vector<uint8_t>& out, HpackIndexing indexing, std::string_view name,
                        std::string_view value) {
    // Name index 0 announces a literal name.
    const LiteralPattern pattern = literalPattern(indexing);
    out.push_back(pattern.highBits);
    appendHpackString(out, name);
    appendHpackString(out, value);
}

}  // namespace tracemint
