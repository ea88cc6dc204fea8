#pragma once

// A small HPACK decoder (RFC 7541) written from the RFC for the tests, apart from
// the encoders under test: it reads a header block back into name/value pairs,
// so a block is checked by what a peer would make of it. It knows the static
// table entries a GET download uses and no Huffman coding; it keeps no dynamic
// table, so a reference to a dynamic entry fails the decoding.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tracemint::testing {

struct HpackField {
    std::string name;
    std::string value;
    bool operator==(const HpackField&) const = default;
};

struct HpackCursor {
    const std::vector<uint8_t>& in;
    size_t pos = 0;
    bool failed = false;

    // Section 5.1: the prefix, then 7-bit groups with the high bit as "more".
    uint64_t integer(unsigned prefixBits) {
        if (pos >= in.size()) return fail();
        const uint64_t mask = (1u << prefixBits) - 1;
        uint64_t value = in[pos++] & mask;
        if (value < mask) return value;
        unsigned shift = 0;
        for (;;) {
            if (pos >= in.size() || shift > 63) return fail();
            const uint8_t b = in[pos++];
            value += uint64_t{b & 0x7Fu} << shift;
            shift += 7;
            if ((b & 0x80) == 0) return value;
        }
    }
    std::string string() {
        if (pos >= in.size()) return fail(), std::string();
        if (in[pos] & 0x80) return fail(), std::string();  // Huffman: not written by this tool
        const uint64_t length = integer(7);
        if (failed || length > in.size() - pos) return fail(), std::string();
        std::string text(reinterpret_cast<const char*>(in.data() + pos), length);
        pos += length;
        return text;
    }
    uint64_t fail() {
        failed = true;
        return 0;
    }
};

inline const std::map<uint64_t, HpackField>& hpackStaticEntries() {
    static const std::map<uint64_t, HpackField> entries{
        {1, {":authority", ""}}, {2, {":method", "GET"}},     {3, {":method", "POST"}},
        {4, {":path", "/"}},     {6, {":scheme", "http"}},    {8, {":status", "200"}},
        {19, {"accept", ""}},    {24, {"cache-control", ""}}, {28, {"content-length", ""}},
        {31, {"content-type", ""}}, {58, {"user-agent", ""}},
    };
    return entries;
}

// The fields of a header block in order, or nothing if any octet is not
// understood or the block ends inside a representation.
inline std::optional<std::vector<HpackField>> decodeHpackBlock(const std::vector<uint8_t>& block) {
    std::vector<HpackField> fields;
    HpackCursor c{block};
    auto entry = [&](uint64_t index) -> std::optional<HpackField> {
        auto it = hpackStaticEntries().find(index);
        if (it == hpackStaticEntries().end()) return std::nullopt;
        return it->second;
    };
    while (c.pos < block.size() && !c.failed) {
        const uint8_t first = block[c.pos];
        unsigned prefix = 0;
        if (first & 0x80) {  // indexed field
            auto field = entry(c.integer(7));
            if (!field) return std::nullopt;
            fields.push_back(*field);
            continue;
        }
        if ((first & 0xC0) == 0x40) {
            prefix = 6;  // literal with incremental indexing
        } else if ((first & 0xE0) == 0x20) {
            return std::nullopt;  // dynamic table size update: never written
        } else {
            prefix = 4;  // literal without indexing (0000) or never indexed (0001)
        }
        const uint64_t nameIndex = c.integer(prefix);
        HpackField field;
        if (nameIndex == 0) {
            field.name = c.string();
        } else {
            auto named = entry(nameIndex);
            if (!named) return std::nullopt;
            field.name = named->name;
        }
        field.value = c.string();
        fields.push_back(field);
    }
    if (c.failed) return std::nullopt;
    return fields;
}

}  // namespace tracemint::testing
