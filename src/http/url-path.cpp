#include "http/url-path.h"

namespace tracemint {

std::optional<std::string> encodeUrlPath(std::string_view name) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string path;
    int budget = 250;
    for (char c : name) {
        if (budget <= 5) return std::nullopt;
        switch (c) {
            case '/':
                if (path.empty()) continue;
                [[fallthrough]];
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
            case ']': {
                auto byte = static_cast<unsigned char>(c);
                path += '%';
                path += hex[byte >> 4];
                path += hex[byte & 0xF];
                budget -= 4;
                break;
            }
            default: path += c; budget -= 1;
        }
    }
    return path;
}

}  // namespace tracemint
