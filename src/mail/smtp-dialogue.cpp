#include "mail/smtp-dialogue.h"

#include <string>
#include <string_view>

#include "common/file-name-text.h"
#include "mail/chosen-texts.h"
#include "tcp/tcp-session.h"
#include "mail/attachment-writer.h"
#include "mail/mail-filler.h"

namespace tracemint {
namespace {

// The server's texts.
constexpr std::string_view greetingTail =
    " ESMTP Sendmail 8.14.5/8.14.5; Thu, 22 May 2014 12:12:12 GMT\r\n";
constexpr std::string_view ehloReplyTail = " [10.1.2.3], pleased to meet you\r\n";
constexpr std::string_view ehloExtensions =
    "250-ENHANCEDSTATUSCODES\r\n250-PIPELINING\r\n250-EXPN\r\n250-VERB\r\n250-8BITMIME\r\n"
    "250-SIZE 32000000\r\n250-DSN\r\n250-ETRN\r\n250-STARTTLS\r\n250-DELIVERBY\r\n250 HELP\r\n";
constexpr std::string_view dataReply = "354 Enter mail, end with \".\" on a line by itself\r\n";
constexpr std::string_view acceptedReply =
    "250 2.0.0 s4M9a2xl017623 Message accepted for delivery\r\n";
constexpr std::string_view closingReplyTail = " closing connection\r\n";

// The client's texts. The declared size is an estimate, the same for every file.
constexpr std::string_view ehloCommand = "EHLO user\r\n";
constexpr std::string_view mailSizeTail = "> SIZE=10000\r\n";
constexpr std::string_view dataCommand = "DATA\r\n";
constexpr std::string_view quitCommand = "QUIT\r\n";

// The mail.
constexpr std::string_view boundaryLine = "--------------020106020307040709020108\r\n";
// The closing delimiter and the line with one dot that ends DATA. The CR LF
// before the delimiter belongs to it (RFC 2046 section 5.1.1), so the part's
// last line keeps its own line end.
constexpr std::string_view mailEnd = "\r\n--------------020106020307040709020108--\r\n.\r\n";
constexpr std::string_view headUserAgent =
    "User-Agent: Mozilla/5.0 (X11; Linux i686; rv:24.0) Gecko/20100101 Thunderbird/24.5.0\r\n";
constexpr std::string_view headTail =
    "Subject: tracemint - Nardo Vesk\r\n"
    "X-Enigmail-Version: 1.6\r\n"
    "Content-Type: multipart/mixed;\r\n"
    " boundary=\"------------020106020307040709020108\"\r\n"
    "\r\n"
    "This is a multi-part message in MIME format.\r\n"
    "--------------020106020307040709020108\r\n"
    "Content-Type: text/plain; charset=ISO-8859-1\r\n"
    "Content-Transfer-Encoding: 7bit\r\n"
    "\r\n";
// The attachment's Content-Type line stays open: the part head continues it.
constexpr std::string_view attachmentTypeHead =
    "Content-Type: application/x-as400attachment;\r\n name=\"";
constexpr std::string_view base64PartHead =
    "\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"";
constexpr std::string_view quotedPrintablePartHead =
    "\r\nContent-Transfer-Encoding: quoted-printable\r\nContent-Disposition: attachment; "
    "filename=\"";
// The types those heads name, which a chosen type replaces.
constexpr std::string_view attachmentType = "application/x-as400attachment";
constexpr std::string_view uuPartType = "application/octet-stream";
// uudecode needs a file mode on the begin line.
constexpr std::string_view uuPartHead =
    "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: uuencode\r\n"
    "Content-Disposition: attachment; filename=\"";
constexpr std::string_view uuBeginLine = "\"\r\n\r\nbegin 644 ";

std::string messageHead(const Transfer& file) {
    std::string head;
    head.append("Message-ID: <537DC502.5080409@").append(mailDomain).append(">\r\n");
    head.append("Date: Thu, 22 May 2014 11:36:02 +0200\r\n");
    head.append("From: <").append(file.settings->srcEmail).append(">\r\n");
    head.append(userAgentLine(file.settings->texts, headUserAgent));
    head.append("MIME-Version: 1.0\r\n");
    head.append("To: <").append(file.settings->dstEmail).append(">\r\n");
    head.append(headTail);
    return head;
}

std::string partHead(const Transfer& file) {
    const std::string name = fileNameInHeader(file.name);
    switch (attachmentEncodingOf(file)) {
        case AttachmentEncoding::uu:
            return withContentType(uuPartHead, uuPartType, file.settings->texts) + name +
                   std::string(uuBeginLine) + name + "\r\n";
        case AttachmentEncoding::quotedPrintable:
            return std::string(quotedPrintablePartHead) + name + "\"\r\n\r\n";
        case AttachmentEncoding::base64: break;
    }
    return std::string(base64PartHead) + name + "\"\r\n\r\n";
}

void writeSmtpDialogue(TcpSession& conn, const Transfer& file) {
    const std::string domain = mailDomain;
    // The server names itself in its greeting, its EHLO reply and its farewell.
    const std::string server(chosenOr(file.settings->texts.host, mailDomain));
    sendMessage(conn, "220 " + server + std::string(greetingTail), toClient);
    sendMessage(conn, ehloCommand, toServer);
    sendMessage(conn, "250-" + server + " Hello user." + domain + std::string(ehloReplyTail),
                toClient);
    sendMessage(conn, ehloExtensions, toClient);
    sendMessage(conn, "MAIL FROM:<" + file.settings->srcEmail + std::string(mailSizeTail),
                toServer);
    sendMessage(conn, "250 2.1.0 <" + file.settings->srcEmail + ">... Sender ok\r\n", toClient);
    sendMessage(conn, "RCPT TO:<" + file.settings->dstEmail + ">\r\n", toServer);
    sendMessage(conn, "250 2.1.5 <" + file.settings->dstEmail + ">... Recipient ok\r\n", toClient);
    sendMessage(conn, dataCommand, toServer);
    sendMessage(conn, dataReply, toClient);

    conn.section = "SMTP DATA";
    sendMessage(conn, messageHead(file), toServer);
    sendMessage(conn, pickFillerText(*file.random), toServer);
    sendMessage(conn, boundaryLine, toServer);
    if (attachmentEncodingOf(file) != AttachmentEncoding::uu) {
        sendMessage(conn,
                    withContentType(attachmentTypeHead, attachmentType, file.settings->texts) +
                        fileNameInHeader(file.name) + "\"",
                    toServer);
    }
    sendMessage(conn, partHead(file), toServer);
    writeAttachment(conn, file, toServer, DotStuffingMode::stuff);
    sendMessage(conn, mailEnd, toServer);
    conn.section = {};

    sendMessage(conn, acceptedReply, toClient);
    sendMessage(conn, quitCommand, toServer);
    sendMessage(conn, "221 2.0.0 " + server + std::string(closingReplyTail), toClient);
}

}  // namespace

void runSmtpTransfer(TcpSession& conn, const Transfer& file) {
    conn.protocol = "SMTP";
    openConnection(conn);
    writeSmtpDialogue(conn, file);
    closeConnection(conn);
}

}  // namespace tracemint
