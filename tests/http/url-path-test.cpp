#include "http/url-path.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace tracemint {
namespace {

struct UrlCase {
    const char* label;
    std::string name;
    std::optional<std::string> path;  // nullopt: the name is too long
};

std::string repeat(char c, size_t n) {
    return std::string(n, c);
}

std::string escapes(const char* escape, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += escape;
    return out;
}

TEST(UrlPath, EscapesExactlyTheReservedSetAndDropsLeadingSlashes) {
    const UrlCase cases[] = {
        {"absolute path", "/tmp/a b.gz", "tmp%2fa%20b%2egz"},
        {"only leading slashes dropped", "//x", "x"},
        {"slash inside kept as escape", "a/b", "a%2fb"},
        {"trailing slashes escaped", "x//", "x%2f%2f"},
        {"slash after a dropped slash and a dot", "/./", "%2e%2f"},
        {"nothing but slashes", "///", ""},
        {"empty name", "", ""},
        {"every escaped byte, lower-case hex", "a \"%()+.[]/", "a%20%22%25%28%29%2b%2e%5b%5d%2f"},
        // Characters that would be reserved in a URL elsewhere pass through as
        // they are: the path is made to match the tool's own rules, no more.
        {"other punctuation unchanged", "#?&:=~-_,;'!*@$<>{}|\\^`", "#?&:=~-_,;'!*@$<>{}|\\^`"},
        {"non-ASCII bytes unchanged", "caf\xc3\xa9 \xff", "caf\xc3\xa9%20\xff"},
        {"control bytes unchanged", std::string("a\tb\x01", 4), std::string("a\tb\x01", 4)},
        {"line ends escaped: they would end the request line", "a\r\nb", "a%0d%0ab"},
        {"escaped percent is not double-decoded", "%20", "%2520"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(encodeUrlPath(c.name), c.path);
    }
}

// The budget of 250: an escape costs 4, a plain byte 1, and a byte that finds the
// budget at 5 or less fails the whole name.
TEST(UrlPath, BudgetLimitsTheName) {
    const UrlCase cases[] = {
        {"62 escapes fit", repeat(' ', 62), escapes("%20", 62)},
        {"63 escapes fail", repeat(' ', 63), std::nullopt},
        {"245 plain bytes fit", repeat('a', 245), repeat('a', 245)},
        {"246 plain bytes fail", repeat('a', 246), std::nullopt},
        {"plain byte after 61 escapes", repeat(' ', 61) + "a", escapes("%20", 61) + "a"},
        {"two plain bytes after 61 escapes", repeat(' ', 61) + "aa", std::nullopt},
        {"escape may overrun the last plain bytes", repeat('a', 244) + ".",
         repeat('a', 244) + "%2e"},
        {"escape at budget 5 fails", repeat('a', 245) + ".", std::nullopt},
        {"dropped leading slashes cost nothing", "///" + repeat('a', 245), repeat('a', 245)},
        {"inner slash costs an escape", "a/" + repeat('b', 240), "a%2f" + repeat('b', 240)},
        {"inner slash past the budget", "a/" + repeat('b', 241), std::nullopt},
        {"non-ASCII bytes cost 1 each", repeat('\xe9', 245), repeat('\xe9', 245)},
        {"non-ASCII byte past the budget", repeat('\xe9', 246), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto path = encodeUrlPath(c.name);
        EXPECT_EQ(path, c.path);
    }
    EXPECT_EQ(encodeUrlPath(repeat(' ', 62))->size(), 186u);
}

}  // namespace
}  // namespace tracemint
