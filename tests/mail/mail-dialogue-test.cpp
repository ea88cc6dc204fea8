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

Dialogue runDialogue(void (*run)(TcpSession&, const Transfer&), const ByteVector& bytes,
                     uint8_t encoding, const std::string& name = "dir/in.bin",
                     const ConversationTexts& texts = {}) {
    testing::TempInput input(bytes);
    testing::CaptureFixture f;
    f.useInput(input.file, 1200, name);
    f.settings.emailEncoding = encoding;
    f.settings.texts = texts;
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
    // Chosen texts change the lengths of the head and the part head.
    const ConversationTexts chosen{"mx.test", "Agent/2 (a longer agent text than the default)",
                                   "text/plain; charset=\"utf-8\""};
    for (const ConversationTexts& texts : {ConversationTexts{}, chosen})
        for (uint8_t encoding : {0, 1, 2}) {
            for (const auto& input : dialogueInputs()) {
                SCOPED_TRACE(input.name + ", encoding " + std::to_string(encoding) + ", " +
                             (texts.host.empty() ? "default texts" : "chosen texts"));

                // POP3: the mail before stuffing, without the terminating dot line.
                Dialogue pop3 =
                    runDialogue(runPop3Transfer, input.bytes, encoding, "dir/in.bin", texts);
                std::smatch m;
                ASSERT_TRUE(std::regex_search(pop3.server, m, retrReply));
                const size_t mailStart = static_cast<size_t>(m.position(0) + m.length(0));
                const size_t terminator = pop3.server.find("\r\n.\r\n", mailStart);
                ASSERT_NE(terminator, std::string::npos);
                const std::string wire = pop3.server.substr(mailStart, terminator + 2 - mailStart);
                EXPECT_EQ(std::stoull(m[1]), unstuffed(wire).size());
                // LIST announces the same count in its scan listing.
                const std::string count = m[1];
                EXPECT_NE(pop3.server.find("+OK\r\n+OK 1 message (" + count + " octets)\r\n1 " +
                                           count + "\r\n.\r\n+OK " + count + " octets\r\n"),
                          std::string::npos);

                // IMAP: the literal ends where the FETCH reply's closing ")" begins.
                Dialogue imap =
                    runDialogue(runImapTransfer, input.bytes, encoding, "dir/in.bin", texts);
                ASSERT_TRUE(std::regex_search(imap.server, m, fetchReply));
                EXPECT_EQ(m[1], m[2]);
                const size_t literalStart = static_cast<size_t>(m.position(0) + m.length(0));
                const std::string after = imap.server.substr(literalStart + std::stoull(m[2]));
                EXPECT_EQ(after.rfind(")\r\nA04 OK Fetch completed.\r\n", 0), 0u)
                    << after.substr(0, 40);
                // ...and holds the closing delimiter and the empty line after it.
                EXPECT_EQ(imap.server.substr(literalStart + std::stoull(m[2]) - 6, 6),
                          "--\r\n\r\n");
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

// The attachment's part head, as a reader needs it to find and decode the file:
// the name quoted (a name with spaces stays whole), the encoding named (UU
// included), and the part's last line ended before the closing delimiter.
TEST(MailDialogues, AttachmentHeadsNameTheFileAndItsEncoding) {
    const std::string name = "my report (v2).pdf";
    const std::string disposition = "Content-Disposition: attachment; filename=\"" + name + "\"";
    const std::string uuBegin = "\r\n\r\nbegin 644 " + name + "\r\n";
    const struct {
        void (*run)(TcpSession&, const Transfer&);
        uint8_t encoding;
        bool fromServer;
        std::string head;  // the part head from its Content-Type line on
        std::string end;   // the end of the attachment and of the mail
    } cases[] = {
        {runSmtpTransfer, 0, false,
         "Content-Type: application/x-as400attachment;\r\n name=\"" + name +
             "\"\r\nContent-Transfer-Encoding: base64\r\n" + disposition + "\r\n\r\n",
         "\r\n\r\n--------------020106020307040709020108--\r\n.\r\n"},
        {runSmtpTransfer, 1, false,
         "Content-Type: application/x-as400attachment;\r\n name=\"" + name +
             "\"\r\nContent-Transfer-Encoding: quoted-printable\r\n" + disposition + "\r\n\r\n",
         "=\r\n\r\n--------------020106020307040709020108--\r\n.\r\n"},
        {runSmtpTransfer, 2, false,
         "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: uuencode\r\n" +
             disposition + uuBegin,
         "`\r\nend\r\n\r\n--------------020106020307040709020108--\r\n.\r\n"},
        {runPop3Transfer, 2, true,
         "Content-Type: application/octet-stream;\r\n name=\"" + name +
             "\"\r\nContent-Transfer-Encoding: uuencode" + uuBegin,
         "`\r\nend\r\n\r\n--------------070104010108080805080502--\r\n.\r\n"},
        {runImapTransfer, 0, true,
         "Content-Type: application/octet-stream\r\n" + disposition +
             "\r\nContent-Transfer-Encoding: base64\r\n\r\n",
         "\r\n\r\n--refeics-138facf0-915a-4457-8ff5-a6982ea42135--\r\n\r\n)\r\n"},
        {runImapTransfer, 2, true,
         "Content-Type: application/octet-stream\r\n" + disposition +
             "\r\nContent-Transfer-Encoding: uuencode" + uuBegin,
         "`\r\nend\r\n\r\n--refeics-138facf0-915a-4457-8ff5-a6982ea42135--\r\n\r\n)\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.head);
        const Dialogue d = runDialogue(c.run, testing::bytesOf("abc"), c.encoding, name);
        const std::string& text = c.fromServer ? d.server : d.client;
        EXPECT_NE(text.find(c.head), std::string::npos);
        EXPECT_NE(text.find(c.end), std::string::npos);
        EXPECT_EQ(text.find("Encoding: 446"), std::string::npos);
    }
}

TEST(MailDialogues, ImapGreetingIsOneResponseLine) {
    const Dialogue d = runDialogue(runImapTransfer, {}, 0);
    EXPECT_EQ(d.server.rfind(
                  "* OK [CAPABILITY IMAP4REV1 I18NLEVEL=1 LITERAL+ SASL-IR LOGIN-REFERRALS] "
                  "[10.10.5.140] IMAP4rev1 2007e.404 at Tue, 9 Nov 2010 15:13:41 +0000 (WET)\r\n"
                  "A01 OK ",
                  0),
              0u);
}

TEST(MailDialogues, ChosenTextsReplaceTheServerNameTheAgentAndThePartType) {
    const ConversationTexts chosen{"mx.test", "Agent/2", "image/png"};
    const ByteVector bytes(100, 'z');
    for (uint8_t encoding : {0, 2}) {
        SCOPED_TRACE("encoding " + std::to_string(encoding));
        Dialogue smtp = runDialogue(runSmtpTransfer, bytes, encoding, "x.png", chosen);
        Dialogue pop3 = runDialogue(runPop3Transfer, bytes, encoding, "x.png", chosen);
        Dialogue imap = runDialogue(runImapTransfer, bytes, encoding, "x.png", chosen);
        EXPECT_EQ(smtp.server.rfind("220 mx.test ESMTP ", 0), 0u);
        EXPECT_NE(smtp.server.find("250-mx.test Hello user.example.com "), std::string::npos);
        EXPECT_NE(smtp.server.find("221 2.0.0 mx.test closing connection\r\n"), std::string::npos);
        EXPECT_NE(pop3.server.find("(mx.test) ready.\r\n"), std::string::npos);
        for (const std::string* mail : {&smtp.client, &pop3.server, &imap.server}) {
            EXPECT_NE(mail->find("\r\nUser-Agent: Agent/2\r\n"), std::string::npos);
            EXPECT_NE(mail->find("Content-Type: image/png"), std::string::npos);
            EXPECT_EQ(mail->find("Thunderbird"), std::string::npos);
            EXPECT_EQ(mail->find("application/"), std::string::npos);
        }
        EXPECT_EQ(smtp.server.find("example.com ESMTP"), std::string::npos);
    }
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
