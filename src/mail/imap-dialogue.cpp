#include "mail/imap-dialogue.h"

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
constexpr std::string_view greeting =
    "* OK [CAPABILITY IMAP4REV1 I18NLEVEL=1 LITERAL+ SASL-IR LOGIN-REFERRALS] [10.10.5.140] "
    "IMAP4rev1 2007e.404 at Tue, 9 Nov 2010 15:13:41 +0000 (WET)\r\n";
constexpr std::string_view loginReply =
    "A01 OK [CAPABILITY IMAP4REV1 I18NLEVEL=1 LITERAL+ IDLE UIDPLUS NAMESPACE CHILDREN "
    "MAILBOX-REFERRALS BINARY UNSELECT ESEARCH WITHIN SCAN SORT THREAD=REFERENCES "
    "THREAD=ORDEREDSUBJECT MULTIAPPEND] User user authenticated\r\n";
constexpr std::string_view statusReply =
    "* STATUS INBOX (MESSAGES 1 UIDNEXT 3)\r\n"
    "A02 OK Assigning new unique identifiers to all messages\r\n";
constexpr std::string_view selectReply =
    "* 1 EXISTS\r\n"
    "* 1 RECENT\r\n"
    "* OK [UIDVALIDITY 1289315624] UID validity status\r\n"
    "* OK [UIDNEXT 3] Predicted next UID\r\n"
    "* FLAGS (\\Answered \\Flagged \\Deleted \\Draft \\Seen)\r\n"
    "* OK [PERMANENTFLAGS (\\* \\Answered \\Flagged \\Deleted \\Draft \\Seen)] Permanent flags\r\n"
    "* OK [UNSEEN 1] first unseen message in /var/spool/mail/user\r\n"
    "A03 OK [READ-WRITE] SELECT completed\r\n";
constexpr std::string_view fetchReplyHead = "* 1 FETCH (UID 1 RFC822.SIZE ";
constexpr std::string_view fetchDone = "A04 OK Fetch completed.\r\n";
constexpr std::string_view closeAndBye = "A06 OK Close completed.\r\n* BYE Logging out\r\n";
constexpr std::string_view logoutDone = "A07 OK Logout completed.\r\n";

// The client's texts; no command is tagged A05.
constexpr std::string_view loginCommand = "A01 LOGIN user plover\r\n";
constexpr std::string_view statusCommand = "A02 STATUS INBOX (UIDNEXT MESSAGES)\r\n";
constexpr std::string_view selectCommand = "A03 SELECT INBOX\r\n";
constexpr std::string_view fetchCommand = "A04 UID FETCH 1 (UID RFC822.SIZE BODY.PEEK[])\r\n";
constexpr std::string_view closeCommand = "A06 CLOSE\r\n";
constexpr std::string_view logoutCommand = "A07 LOGOUT\r\n";

// The mail, sent as the literal of the FETCH reply.
constexpr std::string_view textPartHead =
    "--refeics-138facf0-915a-4457-8ff5-a6982ea42135\r\n"
    "Content-Type: text/plain; charset=UTF-8\r\n\r\n";
constexpr std::string_view attachmentPartHead =
    "--refeics-138facf0-915a-4457-8ff5-a6982ea42135\r\n"
    "Content-Type: application/octet-stream\r\n"
    "Content-Disposition: attachment; filename=\"";
constexpr std::string_view attachmentType = "application/octet-stream";
// Each head closes the quoted file name first.
constexpr std::string_view base64Head = "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
constexpr std::string_view quotedPrintableHead =
    "\"\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n";
// uudecode needs a file mode on the begin line.
constexpr std::string_view uuHead = "\"\r\nContent-Transfer-Encoding: uuencode\r\n\r\nbegin 644 ";
constexpr std::string_view uuHeadEnd = "\r\n";
// The closing delimiter and an empty line end the literal; ")" ends the reply.
constexpr std::string_view mailEnd =
    "\r\n--refeics-138facf0-915a-4457-8ff5-a6982ea42135--\r\n\r\n)\r\n";
constexpr std::string_view fetchReplyEnd = ")\r\n";

std::string messageHead(const Transfer& file) {
    const std::string_view domain = mailDomain;
    std::string head;
    head.append("Return-Path: <").append(file.settings->srcEmail).append(">\r\n");
    head.append("Delivered-To: ")
        .append(domain)
        .append("-")
        .append(file.settings->dstEmail)
        .append("\r\n");
    head.append("Received: (qmail 12912 invoked by uid 89); 26 May 2014 10:14:00 -0000\r\n");
    head.append("Received: by simscan 1.4.0 ppid: 12861, pid: 12896, t: 0.8526s\r\n");
    head.append("         scanners: clamav: 0.95.2/m:51/d:9604\r\n");
    head.append("Received: from unknown (HELO ").append(domain).append(") (bmE=@1.2.3.4) by ");
    head.append(domain).append(
        " with (DHE-RSA-AES256-SHA encrypted) SMTP; 26 May 2014 10:14:00 -0000\r\n");
    head.append("Received: from [12.21.12.21] by ").append(domain);
    head.append(" with HTTP; Mon, 26 May 2014 12:13:56 +0200\r\n");
    // This mail names no agent unless one is chosen.
    head.append(userAgentLine(file.settings->texts, ""));
    head.append("MIME-Version: 1.0\r\n");
    head.append("Message-ID: <trinity-5335e8d2-aa96-4eb1-80cc-e9657b28fc65-1401099236666@");
    head.append(domain).append(">\r\n");
    head.append("From: <").append(file.settings->srcEmail).append(">\r\n");
    head.append("To: ").append(file.settings->dstEmail).append("\r\n");
    head.append("Subject: tracemint\r\n");
    head.append("Content-Type: multipart/mixed;\r\n");
    head.append(" boundary=refeics-138facf0-915a-4457-8ff5-a6982ea42135\r\n");
    head.append("Date: Mon, 26 May 2014 12:13:56 +0000\r\n");
    head.append("Importance: normal\r\n");
    head.append("Sensitivity: Normal\r\n");
    head.append("X-Priority: 3\r\n");
    head.append("\r\n");
    return head;
}

void writeImapDialogue(TcpSession& conn, const Transfer& file) {
    sendMessage(conn, greeting, toClient);
    sendMessage(conn, loginCommand, toServer);
    sendMessage(conn, loginReply, toClient);
    sendMessage(conn, statusCommand, toServer);
    sendMessage(conn, statusReply, toClient);
    sendMessage(conn, selectCommand, toServer);
    sendMessage(conn, selectReply, toClient);
    sendMessage(conn, fetchCommand, toServer);

    // A literal's length must be exact, or the reader misparses everything after
    // it: the mail from its head to the empty line after the closing delimiter.
    const AttachmentEncoding encoding = attachmentEncodingOf(file);
    const std::string head = messageHead(file);
    const std::string filler = pickFillerText(*file.random);
    const std::string name = fileNameInHeader(file.name);
    const AttachmentPlan plan = planAttachment(file);
    const std::string partHead =
        withContentType(attachmentPartHead, attachmentType, file.settings->texts);
    uint64_t octets = head.size() + textPartHead.size() + filler.size() + partHead.size() +
                      name.size() + plan.octets + mailEnd.size() - fetchReplyEnd.size();
    switch (encoding) {
        case AttachmentEncoding::uu:
            octets += uuHead.size() + name.size() + uuHeadEnd.size();
            break;
        case AttachmentEncoding::quotedPrintable: octets += quotedPrintableHead.size(); break;
        case AttachmentEncoding::base64: octets += base64Head.size(); break;
    }
    const std::string size = std::to_string(octets);
    sendMessage(conn, std::string(fetchReplyHead) + size + " BODY[] {" + size + "}\r\n", toClient);

    conn.section = "IMAP FETCH";
    sendMessage(conn, head, toClient);
    sendMessage(conn, textPartHead, toClient);
    sendMessage(conn, filler, toClient);
    sendMessage(conn, partHead, toClient);
    sendMessage(conn, name, toClient);
    switch (encoding) {
        case AttachmentEncoding::uu:
            sendMessage(conn, uuHead, toClient);
            sendMessage(conn, name, toClient);
            sendMessage(conn, uuHeadEnd, toClient);
            break;
        case AttachmentEncoding::quotedPrintable:
            sendMessage(conn, quotedPrintableHead, toClient);
            break;
        case AttachmentEncoding::base64: sendMessage(conn, base64Head, toClient); break;
    }
    // A literal is taken by its length, so its lines are sent as they are.
    writeAttachment(conn, file, toClient, DotStuffingMode::none, &plan);
    sendMessage(conn, mailEnd, toClient);
    conn.section = {};
    sendMessage(conn, fetchDone, toClient);

    // The client sends CLOSE and LOGOUT back to back.
    sendMessage(conn, closeCommand, toServer);
    sendMessage(conn, logoutCommand, toServer);
    sendMessage(conn, closeAndBye, toClient);
    sendMessage(conn, logoutDone, toClient);
}

}  // namespace

void runImapTransfer(TcpSession& conn, const Transfer& file) {
    conn.protocol = "IMAP";
    openConnection(conn);
    writeImapDialogue(conn, file);
    closeConnection(conn);
}

}  // namespace tracemint
