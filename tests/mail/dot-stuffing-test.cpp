#include "mail/dot-stuffing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tcp/tcp-session.h"

namespace tracemint {
namespace {

std::string textOf(Bytes bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

TEST(DotStuffing, DoublesADotThatBeginsALineAcrossMessages) {
    // Each case is one stream sent as several messages.
    const struct {
        const char* name;
        std::vector<std::string> messages;
        std::string expected;  // the stream on the wire
    } cases[] = {
        {"no dot", {"abc\r\ndef\r\n"}, "abc\r\ndef\r\n"},
        {"the stream's first byte", {".abc\r\n"}, "..abc\r\n"},
        {"after CR LF", {"a\r\n.b\r\n.\r\n"}, "a\r\n..b\r\n..\r\n"},
        {"dots inside lines stay", {"a.b\r\nc.\r\n x.\r\n"}, "a.b\r\nc.\r\n x.\r\n"},
        {"only the first of several", {"..\r\n...x"}, "...\r\n....x"},
        {"not after a bare LF or CR", {"a\n.b\r.c"}, "a\n.b\r.c"},
        {"message ends with CR LF", {"abc\r\n", ".x\r\n"}, "abc\r\n..x\r\n"},
        {"CR LF split between messages", {"abc\r", "\n.x"}, "abc\r\n..x"},
        {"one-byte messages", {"\r", "\n", ".", "."}, "\r\n..."},
        {"one-byte message after a CR two bytes back", {"\rb", "\n", "."}, "\rb\n."},
        {"an empty message changes nothing", {"a\r\n", "", ".b"}, "a\r\n..b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DotStuffing state;
        std::vector<uint8_t> scratch;
        std::string wire;
        for (const auto& m : c.messages) wire += textOf(dotStuff(state, asBytes(m), scratch));
        EXPECT_EQ(wire, c.expected);
    }
}

TEST(DotStuffing, TextWithoutLineDotsIsNotCopied) {
    DotStuffing state;
    std::vector<uint8_t> scratch;
    const std::string text = "abc\r\nd.e\r\n";
    Bytes out = dotStuff(state, asBytes(text), scratch);
    EXPECT_EQ(static_cast<const void*>(out.data()), static_cast<const void*>(text.data()));
    EXPECT_TRUE(scratch.empty());
}

}  // namespace
}  // namespace tracemint
