#pragma once

#include <cstdint>

#include "input/transfer.h"
#include "tcp/tcp-session.h"

namespace tracemint {

// The attachment encodings, as --email-encoder 0 to 2 stores them in
// the settings' emailEncoding; any other value is taken as base64.
enum class AttachmentEncoding { base64, quotedPrintable, uu };
AttachmentEncoding attachmentEncodingOf(const Transfer& file);

// Whether the receiver un-stuffs the stream the attachment is part of: SMTP's
// DATA and POP3's RETR do, an IMAP literal does not.
enum class DotStuffingMode { none, stuff };

// Reads the input from its start, encodes it in the run's encoding and sends it
// in the given direction as whole lines gathered into messages: base64 in
// messages of about the block size in octets (every line lowers a budget by its
// length plus 3, and a message goes out when the budget reaches 0 or less), UU
// in messages of 10 lines followed by a message of its own that closes the
// data, quoted-printable in messages of at least the block size in characters
// (whole input bytes' output). With DotStuffingMode::stuff every line that
// begins with "." goes out with that dot doubled. Returns the octets of the
// encoded attachment before stuffing, which attachmentSize predicts.
// With a plan (from planAttachment, for a length announced in advance), a
// difference between what it counted and what was sent ends the run: the input
// changed between the readings ("Error: NAME: changed while being read ...").
struct AttachmentPlan;
uint64_t writeAttachment(TcpSession& conn, const Transfer& file, uint8_t direction,
                         DotStuffingMode stuffing, const AttachmentPlan* plan = nullptr);

// The octets writeAttachment sends (before stuffing) for the run's input and
// encoding: from the file size for base64 and UU; for quoted-printable by a
// counting pass of the encoder over the file, which the announced length of
// IMAP and POP3 needs before the first octet goes out.
uint64_t attachmentSize(const Transfer& file);

// The octets the attachment will take and a digest of the input bytes the
// counting pass read (quoted-printable only; 0 for the others).
struct AttachmentPlan {
    uint64_t octets = 0;
    uint32_t inputDigest = 0;
};
AttachmentPlan planAttachment(const Transfer& file);

}  // namespace tracemint
