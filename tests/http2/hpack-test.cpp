#include "http2/hpack.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "http2/hpack-test-decoder.h"

namespace tracemint {
namespace {

using Octets = std::vector<uint8_t>;

Octets withText(Octets head, const std::string& text) {
    for (char c : text) head.push_back(static_cast<uint8_t>(c));
    return head;
}

TEST(HpackInteger, EncodesTheRfcExamplesAndPrefixBoundaries) {
    const struct {
        unsigned prefixBits;
        uint8_t highBits;
        uint64_t value;
        Octets octets;
    } cases[] = {
        // RFC 7541, C.1.1 to C.1.3.
        {5, 0x00, 10, {0x0A}},
        {5, 0x00, 1337, {0x1F, 0x9A, 0x0A}},
        {8, 0x00, 42, {0x2A}},
        // The largest value that fits the prefix, and the first two that do not.
        {7, 0x00, 126, {0x7E}},
        {7, 0x00, 127, {0x7F, 0x00}},
        {7, 0x00, 128, {0x7F, 0x01}},
        // A continuation octet that itself needs the "more" bit.
        {7, 0x00, 127 + 128, {0x7F, 0x80, 0x01}},
        // The representation's pattern stays in the bits above the prefix.
        {7, 0x80, 2, {0x82}},
        {4, 0x10, 15, {0x1F, 0x00}},
        {6, 0x40, 19, {0x53}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.value << " with a " << c.prefixBits << "-bit prefix");
        Octets out{0xEE};  // appends, leaving what is there
        appendHpackInteger(out, c.prefixBits, c.highBits, c.value);
        EXPECT_EQ(Octets(out.begin() + 1, out.end()), c.octets);
        EXPECT_EQ(out[0], 0xEE);
    }
}

TEST(HpackInteger, DecodesBackOverTheWholeRange) {
    for (unsigned prefix = 1; prefix <= 8; ++prefix) {
        for (uint64_t value : {uint64_t{0}, uint64_t{1}, uint64_t{(1u << prefix) - 2},
                               uint64_t{(1u << prefix) - 1}, uint64_t{1u << prefix},
                               uint64_t{16383}, uint64_t{16384}, uint64_t{1} << 40, UINT64_MAX}) {
            SCOPED_TRACE(::testing::Message() << value << " with a " << prefix << "-bit prefix");
            Octets out;
            appendHpackInteger(out, prefix, 0, value);
            testing::HpackCursor cursor{out};
            EXPECT_EQ(cursor.integer(prefix), value);
            EXPECT_FALSE(cursor.failed);
            EXPECT_EQ(cursor.pos, out.size()) << "octets left over";
        }
    }
}

TEST(HpackString, IsPlainWithItsLengthInASevenBitPrefix) {
    const struct {
        std::string text;
        Octets head;
    } cases[] = {
        {"", {0x00}},
        {"*/*", {0x03}},
        {std::string(126, 'a'), {0x7E}},
        {std::string(127, 'b'), {0x7F, 0x00}},
        {std::string(300, 'c'), {0x7F, 0xAD, 0x01}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.size());
        Octets out;
        appendHpackString(out, c.text);
        EXPECT_EQ(out, withText(c.head, c.text));
    }
}

// RFC 7541, C.2.1 to C.2.4: one representation of each kind.
TEST(HpackField, RepresentationsMatchTheRfcExamples) {
    Octets out;
    appendLiteralField(out, HpackIndexing::incremental, "custom-key", "custom-header");
    const Octets incremental =
        withText(withText({0x40, 0x0A}, "custom-key"), std::string("\x0d") + "custom-header");
    EXPECT_EQ(out, incremental);

    out.clear();
    appendLiteralField(out, HpackIndexing::without, 4, "/sample/path");
    EXPECT_EQ(out, withText({0x04, 0x0C}, "/sample/path"));

    out.clear();
    appendLiteralField(out, HpackIndexing::never, "password", "secret");
    EXPECT_EQ(out, withText(withText({0x10, 0x08}, "password"), "\x06secret"));

    out.clear();
    appendIndexedField(out, 2);
    EXPECT_EQ(out, Octets{0x82});

    // A name index past the prefix continues like any integer.
    out.clear();
    appendLiteralField(out, HpackIndexing::without, 40, "v");
    EXPECT_EQ(out, withText({0x0F, 0x19, 0x01}, "v"));
}

}  // namespace
}  // namespace tracemint
