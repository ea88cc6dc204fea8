// HPACK integers of any value and prefix, and plain string literals of any
// octets, read back by an independent decoder to the same value and string,
// using every octet written and the pattern bits left as given.
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz-support.h"
#include "http2/hpack-test-decoder.h"
#include "http2/hpack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tracemint;
    if (size < 9) return 0;
    const unsigned prefixBits = data[0] % 8 + 1;
    const uint8_t highBits =
        static_cast<uint8_t>(prefixBits == 8 ? 0 : data[0] & (0xFF << prefixBits));
    uint64_t value = 0;
    for (size_t i = 1; i < 9; ++i) value = (value << 8) | data[i];
    // Small values matter most: the prefix boundary lies there.
    if (data[0] & 0x80) value >>= (data[1] % 64);

    std::vector<uint8_t> out;
    appendHpackInteger(out, prefixBits, highBits, value);
    FUZZ_CHECK(!out.empty() && (out[0] & ~((1u << prefixBits) - 1) & 0xFF) == highBits);
    testing::HpackCursor integer{out};
    FUZZ_CHECK(integer.integer(prefixBits) == value && !integer.failed &&
               integer.pos == out.size());

    const std::string_view text(reinterpret_cast<const char*>(data + 9), size - 9);
    std::vector<uint8_t> literal;
    appendHpackString(literal, text);
    testing::HpackCursor string{literal};
    FUZZ_CHECK(string.string() == text && !string.failed && string.pos == literal.size());
    return 0;
}
