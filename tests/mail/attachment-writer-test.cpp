#include "mail/attachment-writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "input/block-reader.h"
#include "common/fatal-error.h"
#include "http/http-test-support.h"
#include "mail/mail-test-support.h"
#include "support/pcap-reader.h"

namespace tracemint {
namespace {

using testing::ByteVector;

constexpr uint8_t base64 = 0;
constexpr uint8_t quotedPrintable = 1;
constexpr uint8_t uu = 2;

struct Written {
    std::vector<std::string> messages;  // as sent, in order
    uint64_t octets = 0;                // what the writer reports
    uint64_t predicted = 0;             // what attachmentSize said before
};

Written writeFile(const ByteVector& bytes, uint8_t encoding, int blockSize,
                  DotStuffingMode stuffing = DotStuffingMode::none) {
    testing::TempInput input(bytes);
    testing::CaptureFixture f;
    f.useInput(input.file, blockSize);
    f.settings.emailEncoding = encoding;
    Written out;
    out.predicted = attachmentSize(f.file);
    out.octets = writeAttachment(f.conn, f.file, toClient, stuffing);
    for (const auto& r : f.finish()) {
        if (r.srcPort() == f.conn.flow.destination.port && !r.payload().empty()) {
            out.messages.push_back(r.payloadText());
        }
    }
    return out;
}

std::vector<size_t> sizesOf(const std::vector<std::string>& messages) {
    std::vector<size_t> sizes;
    for (const auto& m : messages) sizes.push_back(m.size());
    return sizes;
}

std::string joined(const std::vector<std::string>& messages) {
    std::string all;
    for (const auto& m : messages) all += m;
    return all;
}

TEST(AttachmentWriter, GathersWholeLinesIntoMessages) {
    const struct {
        const char* name;
        uint8_t encoding;
        size_t fileSize;
        int blockSize;
        std::vector<size_t> sizes;
    } cases[] = {
        {"base64, empty file: nothing", base64, 0, 1200, {}},
        {"base64, one full line", base64, 54, 1200, {74}},
        {"base64, a line and 1 byte", base64, 55, 1200, {80}},
        {"base64, block size 0: a line each", base64, 54 * 3, 0, {74, 74, 74}},
        {"base64, block size 75: a line each", base64, 54 * 3, 75, {74, 74, 74}},
        {"base64, block size 100: two lines", base64, 54 * 5, 100, {148, 148, 74}},
        {"base64, block size 1200: 16 lines", base64, 54 * 40 + 10, 1200, {1184, 1184, 592 + 18}},
        {"UU, empty file: the closing only", uu, 0, 1200, {8}},
        {"UU, 450 bytes", uu, 450, 1200, {630, 8}},
        {"UU, 451 bytes: a line of one byte", uu, 451, 1200, {630, 7, 8}},
        {"UU ignores the block size", uu, 900, 100, {630, 630, 8}},
        {"quoted-printable, empty file: nothing", quotedPrintable, 0, 1200, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ByteVector bytes(c.fileSize, 0x5A);
        Written w = writeFile(bytes, c.encoding, c.blockSize);
        EXPECT_EQ(sizesOf(w.messages), c.sizes);
    }
}

TEST(AttachmentWriter, UuEndsWithTheZeroLengthAndEndLines) {
    Written w = writeFile(testing::bytesOf("\x01"), uu, 1200);
    ASSERT_EQ(w.messages.size(), 2u);
    EXPECT_EQ(w.messages[0], "!`0``\r\n");
    EXPECT_EQ(w.messages[1], "`\r\nend\r\n");
}

TEST(AttachmentWriter, QuotedPrintableMessagesHoldWholeBytesOutput) {
    // With block size 0 each byte's output is a message of its own; a held
    // space gives none (no empty segment), and goes out with the next byte.
    Written w = writeFile(testing::bytesOf("a b=\t"), quotedPrintable, 0);
    EXPECT_EQ(w.messages, (std::vector<std::string>{"a", " b", "=3D", "\t=\r\n"}));

    // With 1200 a message closes after the byte that reaches the block size,
    // so it holds 1200 to 1206 characters; the soft line breaks run on across
    // message boundaries.
    const ByteVector noise = testing::noiseBytes(20000, 3);
    w = writeFile(noise, quotedPrintable, 1200);
    ASSERT_GT(w.messages.size(), 10u);
    for (size_t i = 0; i + 1 < w.messages.size(); ++i) {
        EXPECT_GE(w.messages[i].size(), 1200u);
        EXPECT_LE(w.messages[i].size(), 1206u);
    }
    EXPECT_EQ(testing::decodeQuotedPrintable(joined(w.messages)), noise);
}

TEST(AttachmentWriter, PredictedSizeIsWhatIsSent) {
    // The announced lengths of POP3 and IMAP rest on this.
    for (uint8_t encoding : {base64, quotedPrintable, uu}) {
        for (const auto& input : testing::hardInputs()) {
            SCOPED_TRACE(input.name + ", encoding " + std::to_string(encoding));
            Written w = writeFile(input.bytes, encoding, 100, DotStuffingMode::stuff);
            EXPECT_EQ(w.predicted, w.octets);
            // Stuffing adds octets on the wire that the count leaves out.
            EXPECT_GE(joined(w.messages).size(), w.octets);
            Written plain = writeFile(input.bytes, encoding, 100);
            EXPECT_EQ(joined(plain.messages).size(), w.octets);
        }
    }
}

TEST(AttachmentWriter, StuffsLineDotsOnlyWhenAsked) {
    // A UU line of 14 bytes begins with its count character, a dot.
    const ByteVector fourteen(14, 'a');
    const std::string line = ".86%A86%A86%A86%A86$`\r\n";
    EXPECT_EQ(writeFile(fourteen, uu, 1200).messages[0], line);
    EXPECT_EQ(writeFile(fourteen, uu, 1200, DotStuffingMode::stuff).messages[0], "." + line);

    // Quoted-printable: every line begins with a dot, the first one too.
    std::string dots;
    for (int i = 0; i < 20; ++i) dots += "." + std::string(74, 'q');
    Written stuffed =
        writeFile(testing::bytesOf(dots), quotedPrintable, 300, DotStuffingMode::stuff);
    Written plain = writeFile(testing::bytesOf(dots), quotedPrintable, 300);
    std::string expected = "." + joined(plain.messages);
    for (size_t at = expected.find("\r\n."); at != std::string::npos;
         at = expected.find("\r\n.", at + 4)) {
        expected.insert(at + 2, ".");
    }
    EXPECT_EQ(joined(stuffed.messages), expected);
    EXPECT_EQ(std::count(expected.begin(), expected.end(), '.'), 40);
}

TEST(AttachmentWriter, AFailedReadEndsTheRun) {
    // A directory opens but cannot be read: the run must stop with the input's
    // name, not send a shorter attachment.
    int fd = ::open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    InputFile dir{fd, 4096, "the-input"};
    for (uint8_t encoding : {base64, quotedPrintable, uu}) {
        SCOPED_TRACE(int(encoding));
        testing::CaptureFixture f;
        f.useInput(dir);
        f.settings.emailEncoding = encoding;
        try {
            if (encoding == quotedPrintable) attachmentSize(f.file);
            writeAttachment(f.conn, f.file, toServer, DotStuffingMode::stuff);
            ADD_FAILURE() << "no error";
        } catch (const FatalError& error) {
            EXPECT_EQ(error.status, exitFailure);
            EXPECT_NE(std::string(error.what()).find("the-input"), std::string::npos)
                << error.what();
        }
    }
    ::close(fd);
}

}  // namespace
}  // namespace tracemint
