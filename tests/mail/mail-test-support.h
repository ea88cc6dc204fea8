#pragma once

// Helpers of the mail tests: decoders of the three attachment encodings written
// from the RFCs, independently of the encoders under test, so an encoding is
// checked by what a receiver makes of it, and the inputs that are hard on them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tracemint::testing {

using ByteVector = std::vector<uint8_t>;

inline ByteVector bytesOf(std::string_view text) {
    ByteVector out;
    for (char c : text) out.push_back(static_cast<uint8_t>(c));
    return out;
}

inline std::string textOf(const ByteVector& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// The lines of a text that must end with CR LF; nothing if it does not.
inline std::optional<std::vector<std::string>> crlfLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string_view::npos) return std::nullopt;
        lines.emplace_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}

// RFC 4648 base64 of lines; rejects characters outside the alphabet, bad
// padding and lines longer than MIME's 76.
inline std::optional<ByteVector> decodeBase64(std::string_view text) {
    auto lines = crlfLines(text);
    if (!lines) return std::nullopt;
    std::string all;
    for (const auto& line : *lines) {
        if (line.size() > 76 || line.size() % 4 != 0) return std::nullopt;
        all += line;
    }
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    ByteVector out;
    for (size_t i = 0; i < all.size(); i += 4) {
        const bool last = i + 4 == all.size();
        int pad = 0;
        uint32_t v = 0;
        for (size_t k = 0; k < 4; ++k) {
            char c = all[i + k];
            if (c == '=') {
                if (!last || k < 2) return std::nullopt;
                ++pad;
                v <<= 6;
                continue;
            }
            if (pad > 0) return std::nullopt;
            int d = value(c);
            if (d < 0) return std::nullopt;
            v = (v << 6) | static_cast<uint32_t>(d);
        }
        out.push_back(static_cast<uint8_t>(v >> 16));
        if (pad < 2) out.push_back(static_cast<uint8_t>(v >> 8));
        if (pad < 1) out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

// RFC 2045 quoted-printable: "=" CR LF is a soft line break, "=XX" an octet in
// upper-case hex, CR LF a hard line break. Rejects lines over 76 characters,
// lines ending in a space or tab, and anything that is not printable ASCII.
inline std::optional<ByteVector> decodeQuotedPrintable(std::string_view text) {
    auto lines = crlfLines(text);
    if (!lines) return std::nullopt;
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    ByteVector out;
    for (size_t n = 0; n < lines->size(); ++n) {
        const std::string& line = (*lines)[n];
        if (line.size() > 76) return std::nullopt;
        if (!line.empty() && (line.back() == ' ' || line.back() == '\t')) return std::nullopt;
        bool soft = false;
        for (size_t i = 0; i < line.size(); ++i) {
            const char c = line[i];
            if (c == '=') {
                if (i + 1 == line.size()) {
                    soft = true;
                    break;
                }
                if (i + 2 >= line.size()) return std::nullopt;
                int hi = hex(line[i + 1]);
                int lo = hex(line[i + 2]);
                if (hi < 0 || lo < 0) return std::nullopt;
                out.push_back(static_cast<uint8_t>(hi * 16 + lo));
                i += 2;
            } else if (c == ' ' || c == '\t' || (c >= 33 && c <= 126)) {
                out.push_back(static_cast<uint8_t>(c));
            } else {
                return std::nullopt;
            }
        }
        if (!soft) {
            out.push_back('\r');
            out.push_back('\n');
        }
    }
    return out;
}

// Historical uuencode lines (without begin and end lines): a count character,
// then groups of four characters, each 6 bits plus 32 ("`" standing for 0).
inline std::optional<ByteVector> decodeUuLines(std::string_view text) {
    auto lines = crlfLines(text);
    if (!lines) return std::nullopt;
    auto six = [](char c) -> int {
        if (c == '`') return 0;
        if (c < 32 || c > 95) return -1;
        return c - 32;
    };
    ByteVector out;
    for (const auto& line : *lines) {
        if (line.empty()) return std::nullopt;
        const int count = six(line[0]);
        if (count < 0 || count > 45) return std::nullopt;
        const size_t groups = (static_cast<size_t>(count) + 2) / 3;
        if (line.size() != 1 + 4 * groups) return std::nullopt;
        ByteVector decoded;
        for (size_t g = 0; g < groups; ++g) {
            uint32_t v = 0;
            for (size_t k = 0; k < 4; ++k) {
                int d = six(line[1 + 4 * g + k]);
                if (d < 0) return std::nullopt;
                v = (v << 6) | static_cast<uint32_t>(d);
            }
            decoded.push_back(static_cast<uint8_t>(v >> 16));
            decoded.push_back(static_cast<uint8_t>(v >> 8));
            decoded.push_back(static_cast<uint8_t>(v));
        }
        decoded.resize(static_cast<size_t>(count));
        out.insert(out.end(), decoded.begin(), decoded.end());
    }
    return out;
}

// Inputs that are hard on the encoders, by name.
struct NamedInput {
    std::string name;
    ByteVector bytes;
};

inline std::vector<NamedInput> hardInputs() {
    std::vector<NamedInput> inputs;
    auto sized = [](size_t n) {
        ByteVector v(n);
        uint32_t x = static_cast<uint32_t>(n) * 2654435761u + 1;
        for (auto& b : v) {
            x = x * 1664525u + 1013904223u;
            b = static_cast<uint8_t>(x >> 24);
        }
        return v;
    };
    for (size_t n : {0, 1, 2, 3, 14, 44, 45, 46, 53, 54, 55, 450, 451, 4000}) {
        inputs.push_back({std::to_string(n) + " bytes", sized(n)});
    }
    ByteVector all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<uint8_t>(b));
    inputs.push_back({"all 256 byte values", all});
    inputs.push_back({"spaces and tabs before line ends",
                      bytesOf("a  \r\nb\t\t\r\nc \t\nd\t \r \r\n   \t\t  \t \t")});
    inputs.push_back({"equals signs, CR and LF", bytesOf("==\r=\n=3D\r\n\n\r\r\n=")});
    inputs.push_back({"lines that begin with a dot", bytesOf(".\r\n..\r\n.x\n.\r.\r\n.")});
    std::string fullLines;
    for (int i = 0; i < 6; ++i) fullLines += "." + std::string(74, 'q');
    inputs.push_back({"quoted-printable lines that begin with a dot", bytesOf(fullLines)});
    inputs.push_back({"a space at every line boundary",
                      bytesOf(std::string(74, 'w') + " " + std::string(74, 'w') + "\t")});
    return inputs;
}

}  // namespace tracemint::testing
