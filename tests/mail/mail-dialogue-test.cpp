#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "http/http-test-support.h"
#include "mail/imap-dialogue.h"
#include "mail/mail-filler.h"
#include "mail/mail-test-support.h"
#include "mail/pop3-dialogue.h"
#include "mail/smtp-dialogue.h"
#include "support/pcap-reader.h"

namespace tracemint {
namespace {

using testing::ByteVector;

// Both directions of one dialogue over a file, as byte streams.
struct Dialogue {
    std::string client;
    std::string server;
};

Dialogue runDialogue(void (*run)(TcpSession&, const Transfer&), const ByteVector& bytes, uint8_t encoding,
                     const std::string& name = "dir/in.bin") {
    testing::TempInput input(bytes);
    testing::CaptureFixture f;
    f.useInput(input.file, 1200, name);
    f.settings.emailEncoding = encoding;
    run(f.conn, f.file);
    Dialogue d;
    for (const auto& r : f.finish()) {
        (r.srcPort() == f.conn.flow.destination.port ? d.server : d.client) += r.payloadText();
    }
    return d;
}

// Files whose encodings put a "." at the start of lines: a UU line of 14 bytes,
// quoted-printable lines of 75 characters.
std::vector<testing::NamedInput> dialogueInputs() {
    std::string dots;
    for (int i = 0; i < 10; ++i) dots += "." + std::string(74, 'q');
    return {{"empty", {}},
            {"14 bytes", ByteVector(14, 'a')},
            {"dot lines", testing::bytesOf(dots)},
            {"noise", testing::noiseBytes(5000, 9)}};
}

// What a POP3 client makes of the reply's lines: a leading dot removed.
std::string unstuffed(const std::string& text) {
    std::string out;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find("\r\n", pos);
        end = end == std::string::npos ? text.size() : end + 2;
        if (text[pos] == '.') ++pos;
        out.append(text, pos, end - pos);
        pos = end;
    }
    return out;
}

TEST(MailDialogues, AnnouncedMailSizesAreExact) {
    const std::regex retrReply(R"(\+OK (\d+) octets\r\n)");
    const std::regex fetchReply(R"(\* 1 FETCH \(UID 1 RFC822\.SIZE (\d+) BODY\[\] \{(\d+)\}\r\n)");
    for (uint8_t encoding : {0, 1, 2}) {
        for (const auto& input : dialogueInputs()) {
            SCOPED_TRACE(input.name + ", encoding " + std::to_string(encoding));

            // POP3: the mail before stuffing, without the terminating dot line.
            Dialogue pop3 = runDialogue(runPop3Transfer, input.bytes, encoding);
            std::smatch m;
            ASSERT_TRUE(std::regex_search(pop3.server, m, retrReply));
            const size_t mailStart = static_cast<size_t>(m.position(0) + m.length(0));
            const size_t terminator = pop3.server.find("\r\n.\r\n", mailStart);
            ASSERT_NE(terminator, std::string::npos);
            const std::string wire = pop3.server.substr(mailStart, terminator + 2 - mailStart);
            EXPECT_EQ(std::stoull(m[1]), unstuffed(wire).size());

            // IMAP: the literal ends where the FETCH reply's closing ")" begins.
            Dialogue imap = runDialogue(runImapTransfer, input.bytes, encoding);
            ASSERT_TRUE(std::regex_search(imap.server, m, fetchReply));
            EXPECT_EQ(m[1], m[2]);
            const size_t literalStart = static_cast<size_t>(m.position(0) + m.length(0));
            const std::string after = imap.server.substr(literalStart + std::stoull(m[2]));
            EXPECT_EQ(after.rfind(")\r\nA04 OK Fetch completed.\r\n", 0), 0u)
                << after.substr(0, 40);
            // ...and holds the closing delimiter and the empty line after it.
            EXPECT_EQ(imap.server.substr(literalStart + std::stoull(m[2]) - 6, 6), "--\r\n\r\n");
        }
    }
}

TEST(MailDialogues, UuBeginLineCarriesAModeAndLineDotsAreStuffedOutsideImap) {
    const ByteVector fourteen(14, 'a');
    const std::string line = ".86%A86%A86%A86%A86$`\r\n";
    Dialogue smtp = runDialogue(runSmtpTransfer, fourteen, 2);
    Dialogue pop3 = runDialogue(runPop3Transfer, fourteen, 2);
    Dialogue imap = runDialogue(runImapTransfer, fourteen, 2);
    const std::string begin = "begin 644 dir/in.bin\r\n";
    EXPECT_NE(smtp.client.find(begin + "." + line + "`\r\nend\r\n"), std::string::npos);
    EXPECT_NE(pop3.server.find(begin + "." + line + "`\r\nend\r\n"), std::string::npos);
    EXPECT_NE(imap.server.find(begin + line + "`\r\nend\r\n"), std::string::npos);
    // The DATA phase ends once, at the end of the mail.
    const std::string dataEnd = "\r\n.\r\n";
    EXPECT_EQ(smtp.client.find(dataEnd), smtp.client.rfind("QUIT") - dataEnd.size());
}

TEST(MailFiller, EntriesKeepTheirForm) {
    for (std::string_view entry : fillerTexts) {
        SCOPED_TRACE(entry);
        EXPECT_GE(entry.size(), 40u);
        EXPECT_LE(entry.size(), 161u);
        auto lines = testing::crlfLines(entry);
        ASSERT_TRUE(lines);
        EXPECT_GE(lines->size(), 1u);
        EXPECT_LE(lines->size(), 3u);
        for (const auto& line : *lines) {
            EXPECT_LE(line.size(), 159u);
            // A line that began with "." would be eaten by SMTP and POP3.
            EXPECT_FALSE(!line.empty() && line[0] == '.');
            for (char c : line) EXPECT_TRUE(c >= 32 && c <= 126) << int(c);
        }
    }
    EXPECT_EQ(fillerTexts[0], "What's red and invisible? No tomatoes.\r\n");
    EXPECT_NE(std::find(fillerTexts.begin(), fillerTexts.end(),
                        "What are a ninja's favourite type of shoes?\r\n Sneakers!\r\n"),
              fillerTexts.end());
}

}  // namespace
}  // namespace tracemint
