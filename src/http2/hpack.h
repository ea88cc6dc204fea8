#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

// The HPACK representations (RFC 7541) that the HTTP/2 header blocks use. Each
// appends to a byte buffer that the caller owns and keeps no state: this tool
// never adds to the dynamic table on its own side, so nothing needs tracking.
namespace tracemint {

// An integer with an N-bit prefix, N from 1 to 8 (section 5.1). `highBits` are the bits of the
// first octet above the prefix (a representation's pattern); values that do not
// fit the prefix continue in 7-bit groups, least significant first.
void appendHpackInteger(std::vector<uint8_t>& out, unsigned prefixBits, uint8_t highBits,
                        uint64_t value);

// A string literal without Huffman coding (section 5.2): its length as an
// integer with a 7-bit prefix and the H bit clear, then the octets.
void appendHpackString(std::vector<uint8_t>& out, std::string_view text);

// A field taken whole from the table (section 6.1).
void appendIndexedField(std::vector<uint8_t>& out, uint64_t index);

// How a literal field affects the decoder's dynamic table (sections 6.2.1 to 6.2.3).
enum class HpackIndexing : uint8_t { incremental, without, never };

// A literal field whose name is the table entry nameIndex.
void appendLiteralField(std::vector<uint8_t>& out, HpackIndexing indexing, uint64_t nameIndex,
                        std::string_view value);
// A literal field with a literal name.
void appendLiteralField(std::vector<uint8_t>& out, HpackIndexing indexing, std::string_view name,
                        std::string_view value);

}  // namespace tracemint
