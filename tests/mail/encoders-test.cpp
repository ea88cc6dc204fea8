#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "mail/base64.h"
#include "mail/mail-test-support.h"
#include "mail/quoted-printable.h"
#include "mail/uuencode.h"

namespace tracemint {
namespace {

using testing::ByteVector;

std::string base64Of(const ByteVector& in) {
    std::string out(base64EncodedSize(in.size()), '\0');
    out.resize(base64EncodeLines(in, out.data()));
    return out;
}

std::string uuOf(const ByteVector& in) {
    std::string out(uuEncodedSize(in.size()), '\0');
    out.resize(uuEncodeLines(in, out.data()));
    return out;
}

// The whole input through the encoder in pieces of the given size (0: in one
// piece), as a writer that reads the file in blocks calls it.
std::string quotedPrintableOf(const ByteVector& in, size_t piece = 0) {
    QuotedPrintableState state;
    std::string out;
    std::vector<char> buffer(64 * 1024);
    size_t at = 0;
    while (at < in.size()) {
        size_t n = piece == 0 ? in.size() - at : std::min(piece, in.size() - at);
        Bytes rest(in.data() + at, n);
        while (!rest.empty()) {
            QpProgress p = qpEncode(state, rest, buffer.data(), buffer.size() - qpMaxOutputPerByte);
            out.append(buffer.data(), p.produced);
            rest = rest.subspan(p.consumed);
        }
        at += n;
    }
    out.append(buffer.data(), qpFinish(state, buffer.data()));
    EXPECT_EQ(state.lineLength, 0);
    EXPECT_EQ(state.pendingSpace, 0);
    return out;
}

// What the counting pass announces for the same input in the same pieces.
uint64_t quotedPrintableCount(const ByteVector& in, size_t piece) {
    QuotedPrintableState state;
    uint64_t total = 0;
    for (size_t at = 0; at < in.size(); at += piece) {
        total += qpCount(state, Bytes(in.data() + at, std::min(piece, in.size() - at)));
    }
    char tail[qpMaxOutputPerByte];
    return total + qpFinish(state, tail);
}

TEST(MailEncoders, QuotedPrintableCountIsTheLengthOfTheText) {
    for (const auto& input : testing::hardInputs()) {
        SCOPED_TRACE(input.name);
        for (size_t piece : {1, 7, 75, 1200}) {
            EXPECT_EQ(quotedPrintableCount(input.bytes, piece),
                      quotedPrintableOf(input.bytes).size())
                << "pieces of " << piece;
        }
    }
}

TEST(MailEncoders, EveryEncodingDecodesBackToItsInput) {
    for (const auto& input : testing::hardInputs()) {
        SCOPED_TRACE(input.name);
        const std::string base64 = base64Of(input.bytes);
        EXPECT_EQ(base64.size(), base64EncodedSize(input.bytes.size()));
        EXPECT_EQ(testing::decodeBase64(base64), input.bytes) << base64;

        const std::string uu = uuOf(input.bytes);
        EXPECT_EQ(uu.size(), uuEncodedSize(input.bytes.size()));
        EXPECT_EQ(testing::decodeUuLines(uu), input.bytes) << uu;

        const std::string qp = quotedPrintableOf(input.bytes);
        EXPECT_EQ(testing::decodeQuotedPrintable(qp), input.bytes) << qp;
        // The file's own line breaks are escaped: every line break is soft.
        const auto qpLines = testing::crlfLines(qp);
        ASSERT_TRUE(qpLines);
        for (const auto& line : *qpLines) EXPECT_EQ(line.back(), '=') << line;
    }
}

TEST(MailEncoders, LinesHaveTheirFixedWidths) {
    ByteVector big(54 * 3 + 45 * 2 + 7, 0xA5);
    const auto base64Lines = *testing::crlfLines(base64Of(big));
    ASSERT_EQ(base64Lines.size(), 5u);
    for (size_t i = 0; i + 1 < base64Lines.size(); ++i) EXPECT_EQ(base64Lines[i].size(), 72u);
    const auto uuLines = *testing::crlfLines(uuOf(big));
    ASSERT_EQ(uuLines.size(), 6u);
    for (size_t i = 0; i + 1 < uuLines.size(); ++i) {
        EXPECT_EQ(uuLines[i].size(), 61u);
        EXPECT_EQ(uuLines[i][0], 'M');
    }
    const auto qpLines = testing::crlfLines(
        quotedPrintableOf(testing::bytesOf(std::string(300, '\xff') + std::string(300, 'k'))));
    ASSERT_TRUE(qpLines);
    for (const auto& line : *qpLines) EXPECT_LE(line.size(), 76u) << line;
}

TEST(MailEncoders, ExactTexts) {
    const struct {
        const char* encoding;
        std::string input;
        std::string expected;
    } cases[] = {
        {"base64", "", ""},
        {"base64", "M", "TQ==\r\n"},
        {"base64", "Ma", "TWE=\r\n"},
        {"base64", "Man", "TWFu\r\n"},
        {"uu", "", ""},
        {"uu", std::string(3, '\0'), "#````\r\n"},
        {"uu", "Cat", "#0V%T\r\n"},
        // A 14-byte line's count character is a dot.
        {"uu", std::string(14, 'a'), ".86%A86%A86%A86%A86$`\r\n"},
        {"qp", "", ""},
        {"qp", "a=b", "a=3Db=\r\n"},
        {"qp", "x\r\n", "x=0D=0A=\r\n"},
        {"qp", " ", " =\r\n"},
        {"qp", "a \t", "a \t=\r\n"},
        {"qp", " \n", " =0A=\r\n"},
        {"qp", std::string("\xff\x00", 2), "=FF=00=\r\n"},
        // 75 characters, then a soft line break.
        {"qp", std::string(80, 'a'),
         std::string(75, 'a') + "=\r\n" + std::string(5, 'a') + "=\r\n"},
        // An escape is never split: 74 characters leave no room for "=FF".
        {"qp", std::string(74, 'a') + "\xff", std::string(74, 'a') + "=\r\n=FF=\r\n"},
        // A held space that does not fit moves to the next line with its byte.
        {"qp", std::string(75, 'a') + " b", std::string(75, 'a') + "=\r\n b=\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.encoding) + " of \"" + c.input + "\"");
        const ByteVector in = testing::bytesOf(c.input);
        const std::string out = std::string(c.encoding) == "base64" ? base64Of(in)
                                : std::string(c.encoding) == "uu"   ? uuOf(in)
                                                                    : quotedPrintableOf(in);
        EXPECT_EQ(out, c.expected);
    }
}

TEST(MailEncoders, QuotedPrintableCarriesItsStateAcrossPieces) {
    // The held space and the line length must survive a piece boundary
    // anywhere, or a soft line break lands in the wrong place.
    for (const auto& input : testing::hardInputs()) {
        SCOPED_TRACE(input.name);
        const std::string whole = quotedPrintableOf(input.bytes);
        for (size_t piece : {1, 2, 3, 7, 76, 1000}) {
            EXPECT_EQ(quotedPrintableOf(input.bytes, piece), whole) << "pieces of " << piece;
        }
    }
}

TEST(MailEncoders, QuotedPrintableStopsAtTheLimitAfterAWholeByte) {
    // "=FF" three characters at a time: a limit of 4 takes two bytes (6
    // characters), never half of an escape.
    const ByteVector in(10, 0xFF);
    QuotedPrintableState state;
    char out[32];
    QpProgress p = qpEncode(state, in, out, 4);
    EXPECT_EQ(p.consumed, 2u);
    EXPECT_EQ(std::string(out, p.produced), "=FF=FF");
    // A held space gives no output: with limit 0 the encoder goes on to the
    // next byte that gives some.
    const ByteVector spaced = testing::bytesOf("  x");
    state = {};
    p = qpEncode(state, spaced, out, 0);
    EXPECT_EQ(p.consumed, 2u);
    EXPECT_EQ(std::string(out, p.produced), " ");
    EXPECT_EQ(state.pendingSpace, ' ');
}

}  // namespace
}  // namespace tracemint
