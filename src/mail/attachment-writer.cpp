#include "mail/attachment-writer.h"

#include <string>
#include <string_view>
#include <vector>

#include "common/checksum.h"
#include "common/fatal-error.h"
#include "input/block-reader.h"
#include "tcp/tcp-session.h"
#include "mail/base64.h"
#include "mail/dot-stuffing.h"
#include "mail/quoted-printable.h"
#include "mail/uuencode.h"

namespace tracemint {
namespace {

// Budget that one full line of base64 takes from the block size: 72 characters
// plus 3 (not the 2 of its CR LF), so 16 lines go into the default 1200.
constexpr int base64LineBudget = 75;
// UU messages hold 10 full lines (630 octets) whatever the block size.
constexpr size_t uuLinesPerMessage = 10;
// Input read per round of the quoted-printable encoder.
constexpr size_t qpReadSize = 64 * 1024;

// Where the gathered messages go: onto the connection, dot-stuffed or not.
struct MessageSink {
    TcpSession& conn;
    const Transfer& file;
    uint8_t direction;
    DotStuffingMode stuffing;
    DotStuffing state;
    std::vector<uint8_t> scratch;
    uint64_t octets = 0;
    // For the notes: "SMTP DATA: attachment, base64, message 12 of 870".
    const char* encodingName = "";
    uint64_t messages = 0;
    uint64_t expectedMessages = 0;  // 0 when not known ahead
};

void noteMessage(MessageSink& sink) {
    ++sink.messages;
    buildNote(sink.conn, [&](std::string& note) {
        note.append(sink.conn.section.empty() ? std::string_view("mail") : sink.conn.section);
        note.append(": attachment, ").append(sink.encodingName).append(", message ");
        note.append(std::to_string(sink.messages));
        if (sink.expectedMessages > 0) {
            note.append(" of ").append(std::to_string(sink.expectedMessages));
        }
    });
}

uint64_t messagesFor(uint64_t bytes, uint64_t perMessage) {
    return (bytes + perMessage - 1) / perMessage;
}

// Whether a message can hold a line that begins with ".": never for base64
// (its alphabet has no dot) nor for UU lines of 45 bytes (they begin with "M").
enum class LineDots { impossible, possible };

void emit(MessageSink& sink, Bytes message, LineDots dots = LineDots::possible) {
    noteMessage(sink);
    sink.octets += message.size();
    if (sink.stuffing == DotStuffingMode::stuff) {
        if (dots == LineDots::possible) {
            message = dotStuff(sink.state, message, sink.scratch);
        } else {
            // Whole lines only: the next message begins a line.
            sink.state = DotStuffing{};
        }
    }
    // The attachment's encoded lines are the file's octets on the wire.
    sink.conn.filePieces = 0b1;
    sendData(sink.conn, message, sink.direction);
    sink.conn.filePieces = 0;
}

Bytes viewOf(const std::vector<char>& buffer, size_t n) {
    return asBytes(std::string_view(buffer.data(), n));
}

void writeBase64(MessageSink& sink) {
    const int blockSize = sink.file.blockSize;
    const size_t lines =
        blockSize <= base64LineBudget
            ? 1
            : static_cast<size_t>((blockSize + base64LineBudget - 1) / base64LineBudget);
    std::vector<char> buffer(lines * base64LineOutput);
    sink.encodingName = "base64";
    sink.expectedMessages = messagesFor(sink.file.fileSize, lines * base64LineInput);
    BlockReader reader = openBlockReader(sink.file);
    for (;;) {
        Bytes block = nextBlock(reader, lines * base64LineInput);
        if (block.empty()) break;
        emit(sink, viewOf(buffer, base64EncodeLines(block, buffer.data())), LineDots::impossible);
    }
}

void writeUu(MessageSink& sink) {
    std::vector<char> buffer(uuLinesPerMessage * uuLineOutput);
    sink.encodingName = "UU";
    // The data, then the message that closes it.
    sink.expectedMessages = messagesFor(sink.file.fileSize, uuLinesPerMessage * uuLineInput) + 1;
    BlockReader reader = openBlockReader(sink.file);
    for (;;) {
        Bytes block = nextBlock(reader, uuLinesPerMessage * uuLineInput);
        if (block.empty()) break;
        // Only a file's last line can be short enough for a dot as its count.
        const LineDots dots =
            block.size() % uuLineInput == 0 ? LineDots::impossible : LineDots::possible;
        emit(sink, viewOf(buffer, uuEncodeLines(block, buffer.data())), dots);
    }
    emit(sink, asBytes(uuClosingText));
}

// The quoted-printable length is announced after a counting pass and before the
// encoding pass; both passes sum what they read, so an input rewritten between
// them is caught instead of contradicting the announced length.
uint32_t inputDigest(const ChecksumSum& sum, uint64_t octets) {
    return static_cast<uint32_t>(finishChecksum(sum)) ^ static_cast<uint32_t>(octets << 16);
}

uint32_t writeQuotedPrintable(MessageSink& sink) {
    ChecksumSum read;
    const size_t blockSize = sink.file.blockSize > 0 ? static_cast<size_t>(sink.file.blockSize) : 0;
    std::vector<char> buffer(blockSize + 2 * qpMaxOutputPerByte);
    QuotedPrintableState state;
    sink.encodingName = "quoted-printable";
    size_t held = 0;  // characters gathered for the next message
    BlockReader reader = openBlockReader(sink.file);
    for (;;) {
        Bytes block = nextBlock(reader, qpReadSize);
        if (block.empty()) break;
        addToChecksum(read, block);
        while (!block.empty()) {
            const size_t limit = blockSize > held ? blockSize - held : 0;
            QpProgress step = qpEncode(state, block, buffer.data() + held, limit);
            held += step.produced;
            block = block.subspan(step.consumed);
            // A message holds the output of whole input bytes only.
            if (held > 0 && held >= blockSize) {
                emit(sink, viewOf(buffer, held));
                held = 0;
            }
        }
    }
    held += qpFinish(state, buffer.data() + held);
    if (held > 0) emit(sink, viewOf(buffer, held));
    return inputDigest(read, sink.octets);
}

AttachmentPlan quotedPrintablePlan(const Transfer& file) {
    QuotedPrintableState state;
    ChecksumSum read;
    uint64_t total = 0;
    BlockReader reader = openBlockReader(file);
    for (;;) {
        Bytes block = nextBlock(reader, qpReadSize);
        if (block.empty()) break;
        addToChecksum(read, block);
        total += qpCount(state, block);
    }
    char tail[qpMaxOutputPerByte];
    total += qpFinish(state, tail);
    return {total, inputDigest(read, total)};
}

}  // namespace

AttachmentEncoding attachmentEncodingOf(const Transfer& file) {
    switch (file.settings->emailEncoding) {
        case 1: return AttachmentEncoding::quotedPrintable;
        case 2: return AttachmentEncoding::uu;
        default: return AttachmentEncoding::base64;
    }
}

uint64_t writeAttachment(TcpSession& conn, const Transfer& file, uint8_t direction,
                         DotStuffingMode stuffing, const AttachmentPlan* plan) {
    MessageSink sink{conn, file, direction, stuffing, {}, {}, 0};
    uint32_t digest = 0;
    switch (attachmentEncodingOf(file)) {
        case AttachmentEncoding::base64: writeBase64(sink); break;
        case AttachmentEncoding::quotedPrintable: digest = writeQuotedPrintable(sink); break;
        case AttachmentEncoding::uu: writeUu(sink); break;
    }
    if (plan && (plan->octets != sink.octets || plan->inputDigest != digest)) {
        throw FatalError("Error: " + file.input->name +
                             ": changed while being read (the second reading differs from the first)",
                         exitFailure);
    }
    return sink.octets;
}

AttachmentPlan planAttachment(const Transfer& file) {
    switch (attachmentEncodingOf(file)) {
        case AttachmentEncoding::quotedPrintable: return quotedPrintablePlan(file);
        case AttachmentEncoding::uu: return {uuEncodedSize(file.fileSize) + uuClosingText.size(), 0};
        case AttachmentEncoding::base64: break;
    }
    return {base64EncodedSize(file.fileSize), 0};
}

uint64_t attachmentSize(const Transfer& file) {
    return planAttachment(file).octets;
}

}  // namespace tracemint
