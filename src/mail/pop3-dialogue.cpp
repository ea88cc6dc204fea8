#include "mail/pop3-dialogue.h"

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
constexpr std::string_view greetingHead =
    "+OK Microsoft Exchange Server 2003 POP3 server version 6.5.7638.1 (";
constexpr std::string_view greetingTail = ") ready.\r\n";
constexpr std::string_view okReply = "+OK\r\n";
constexpr std::string_view signOffReply =
    "+OK Microsoft Exchange Server 2003 POP3 server version 6.5.7638.1 signing off.\r\n";

// The client's texts.
constexpr std::string_view userCommand = "USER user\r\n";
constexpr std::string_view passCommand = "PASS plover\r\n";
constexpr std::string_view listCommand = "LIST\r\n";
constexpr std::string_view retrCommand = "RETR 1\r\n";
constexpr std::string_view quitCommand = "QUIT\r\n";

// The mail.
constexpr std::string_view headUserAgent =
    "User-Agent: Mozilla/5.0 (X11; Linux i686; rv:24.0) Gecko/20100101 Thunderbird/24.5.0\r\n";
constexpr std::string_view headTail =
    "Subject: tracemint\r\n"
    "Content-Type: multipart/mixed;\r\n"
    " boundary=\"------------070104010108080805080502\"\r\n"
    "\r\n";
constexpr std::string_view textPartHead =
    "This is a multi-part message in MIME format.\r\n"
    "--------------070104010108080805080502\r\n"
    "Content-Type: text/plain; charset=ISO-8859-2\r\n"
    "Content-Transfer-Encoding: 7bit\r\n"
    "\r\n";
constexpr std::string_view attachmentTypeHead =
    "\r\n--------------070104010108080805080502\r\nContent-Type: application/octet-stream;\r\n "
    "name=\"";
constexpr std::string_view attachmentType = "application/octet-stream";
constexpr std::string_view base64Piece =
    "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"";
constexpr std::string_view quotedPrintablePiece =
    "\"\r\nContent-Transfer-Encoding: quoted-printable\r\nContent-Disposition: attachment; "
    "filename=\"";
// uudecode needs a file mode on the begin line.
constexpr std::string_view uuPiece = "\"\r\nContent-Transfer-Encoding: uuencode\r\n\r\nbegin 644 ";
constexpr std::string_view uuPieceEnd = "\r\n";
constexpr std::string_view quotedNameEnd = "\"\r\n\r\n";
constexpr std::string_view attachmentEnd = "\r\n";
// The closing delimiter, then the line with one dot that ends the RETR reply.
constexpr std::string_view mailEnd = "--------------070104010108080805080502--\r\n.\r\n";
constexpr std::string_view replyTerminator = ".\r\n";

std::string messageHead(const Transfer& file) {
    std::string head;
    head.append("Received: from ").append(file.settings->srcEmail).append(" by (1.2.3.4:25) via ");
    head.append(mailDomain).append("\r\n");
    head.append(" (").append(pop3RelayIPv4).append(":56258) with [").append(mailDomain);
    head.append(" SMTP Server] id 1405730148303.WH100\r\n");
    head.append("  for ")
        .append(file.settings->dstEmail)
        .append("; Fri, 23 May 2014 01:48:56 -0200\r\n");
    head.append("Message-ID: <537F197F.1020309@").append(mailDomain).append(">\r\n");
    head.append("Date: Fri, 23 May 2014 11:48:47 +0500\r\n");
    head.append("From: <").append(file.settings->srcEmail).append(">\r\n");
    head.append(userAgentLine(file.settings->texts, headUserAgent));
    head.append("MIME-Version: 1.0\r\n");
    head.append("To: ").append(file.settings->dstEmail).append("\r\n");
    head.append(headTail);
    return head;
}

void writePop3Dialogue(TcpSession& conn, const Transfer& file) {
    const AttachmentEncoding encoding = attachmentEncodingOf(file);
    const std::string_view piece = encoding == AttachmentEncoding::uu ? uuPiece
                                   : encoding == AttachmentEncoding::quotedPrintable
                                       ? quotedPrintablePiece
                                       : base64Piece;
    const std::string_view pieceEnd =
        encoding == AttachmentEncoding::uu ? uuPieceEnd : quotedNameEnd;

    sendMessage(conn,
                std::string(greetingHead) +
                    std::string(chosenOr(file.settings->texts.host, pop3ServerHost)) +
                    std::string(greetingTail),
                toClient);
    sendMessage(conn, userCommand, toServer);
    sendMessage(conn, okReply, toClient);
    sendMessage(conn, passCommand, toServer);
    sendMessage(conn, okReply, toClient);
    // Readers size the mail by the counts in the LIST and RETR replies: every
    // octet of the mail before stuffing, without the terminating dot line. LIST
    // gives the count first, so the mail is put together before it. The filler
    // is still the one drawn after RETR: it is picked from a copy of the
    // generator moved past the IPv4 identifications of the six packets of the
    // LIST and RETR exchange, and the run's generator takes that draw after RETR,
    // so a seed gives the same filler and identifications as ever.
    const std::string head = messageHead(file);
    Random ahead = *file.random;
    if (file.settings->ipVersion == 4) {
        for (int packet = 0; packet < 6; ++packet) nextRandom(ahead);
    }
    const std::string filler = pickFillerText(ahead);
    const std::string name = fileNameInHeader(file.name);
    const AttachmentPlan plan = planAttachment(file);
    const std::string typeHead =
        withContentType(attachmentTypeHead, attachmentType, file.settings->texts);
    const uint64_t octets = head.size() + textPartHead.size() + filler.size() + typeHead.size() +
                            2 * name.size() + piece.size() + pieceEnd.size() + plan.octets +
                            attachmentEnd.size() + mailEnd.size() - replyTerminator.size();
    const std::string size = std::to_string(octets);

    sendMessage(conn, listCommand, toServer);
    // One message and its scan listing (RFC 1939 section 5).
    sendMessage(conn, "+OK 1 message (" + size + " octets)\r\n1 " + size + "\r\n.\r\n", toClient);
    sendMessage(conn, retrCommand, toServer);
    nextRandom(*file.random);
    sendMessage(conn, "+OK " + size + " octets\r\n", toClient);

    conn.section = "POP3 RETR";
    sendMessage(conn, head, toClient);
    sendMessage(conn, textPartHead, toClient);
    sendMessage(conn, filler, toClient);
    sendMessage(conn, typeHead, toClient);
    sendMessage(conn, name, toClient);
    sendMessage(conn, piece, toClient);
    sendMessage(conn, name, toClient);
    sendMessage(conn, pieceEnd, toClient);
    writeAttachment(conn, file, toClient, DotStuffingMode::stuff, &plan);
    sendMessage(conn, attachmentEnd, toClient);
    sendMessage(conn, mailEnd, toClient);
    conn.section = {};

    sendMessage(conn, quitCommand, toServer);
    sendMessage(conn, signOffReply, toClient);
}

}  // namespace

void runPop3Transfer(TcpSession& conn, const Transfer& file) {
    conn.protocol = "POP3";
    openConnection(conn);
    writePop3Dialogue(conn, file);
    closeConnection(conn);
}

}  // namespace tracemint
