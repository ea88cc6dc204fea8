// The URL path of any file name decodes back to the name (without its leading
// slashes), never holds a raw byte that needs escaping, and is refused exactly
// when the name overruns the path's budget.
#include <cstdint>
#include <string>

#include "fuzz-support.h"
#include "http/url-path.h"

namespace {

bool mustEscape(char c) {
    switch (c) {
        case '/':
        case ' ':
        case '"':
        case '%':
        case '\r':
        case '\n':
        case '(':
        case ')':
        case '+':
        case '.':
        case '[':
        case ']': return true;
        default: return false;
    }
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // upper-case hex is not what the encoder writes
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string name(reinterpret_cast<const char*>(data), size);
    std::string expected = name.substr(std::min(name.find_first_not_of('/'), name.size()));

    // The budget: 250, an escape costs 4 and a plain byte 1; a name is refused
    // when a byte is due while 5 or less remain.
    int budget = 250;
    bool refused = false;
    for (char c : expected) {
        if (budget <= 5) {
            refused = true;
            break;
        }
        budget -= mustEscape(c) ? 4 : 1;
    }

    auto path = tracemint::encodeUrlPath(name);
    FUZZ_CHECK(path.has_value() == !refused);
    if (!path) return 0;
    std::string decoded;
    for (size_t i = 0; i < path->size(); ++i) {
        char c = (*path)[i];
        if (c == '%') {
            FUZZ_CHECK(i + 2 < path->size());
            int high = hexValue((*path)[i + 1]);
            int low = hexValue((*path)[i + 2]);
            FUZZ_CHECK(high >= 0 && low >= 0);
            char byte = static_cast<char>(high * 16 + low);
            FUZZ_CHECK(mustEscape(byte));
            decoded += byte;
            i += 2;
        } else {
            FUZZ_CHECK(!mustEscape(c));
            decoded += c;
        }
    }
    FUZZ_CHECK(decoded == expected);
    return 0;
}
