#include "http2/http2-exchange.h"

#include <optional>
#include <vector>

#include "input/block-reader.h"
#include "common/fatal-error.h"
#include "tcp/tcp-session.h"
#include "http/url-path.h"
#include "http2/http2-frames.h"

namespace tracemint {
namespace {

constexpr std::string_view defaultUserAgent =
    "Mozilla/5.0 (X11; U; Linux i686; en-US; rv:1.8.1.17) Gecko/20081007 Firefox/2.0.0.17";
constexpr const char* upgradeHeaderLines =
    "Accept: */*\r\n"
    "Connection: Upgrade, HTTP2-Settings\r\n"
    "Upgrade: h2c\r\n"
    "HTTP2-Settings: AAMAAABkAAQAAP__\r\n";

// The client returns flow-control credit as nghttp2 does: once the DATA payload
// received since its last update reaches half the initial window of 65535, it
// grants that much again on the connection and on the stream, in one segment.
constexpr uint32_t windowUpdateThreshold = 32768;

void sendFrame(TcpSession& conn, const std::vector<uint8_t>& frame, uint8_t direction) {
    buildNote(conn, [&](std::string& note) { writeFrameNote(note, frame.data()); });
    sendData(conn, Bytes(frame), direction);
}

// One DATA frame per block from the server; the header travels as the first
// piece of the block's segment, so the block is never copied. The client's
// window updates come between them.
void sendDataFrames(TcpSession& conn, const Transfer& file) {
    BlockReader reader = openBlockReader(file);
    FrameHeader header = dataFrameHeader(0);
    uint32_t received = 0;  // DATA payload since the client's last update
    for (;;) {
        Bytes block = nextBlock(reader, static_cast<size_t>(file.blockSize));
        if (block.empty()) break;
        putBe24(header.data(), static_cast<uint32_t>(block.size()));
        buildNote(conn, [&](std::string& note) { writeFrameNote(note, header.data()); });
        conn.filePieces = 0b10;  // the block, not the frame header
        sendData(conn, {Bytes(header), block}, toClient);
        conn.filePieces = 0;
        received += static_cast<uint32_t>(block.size());
        if (received >= windowUpdateThreshold) {
            const WindowUpdateFrame connectionCredit =
                windowUpdateFrame(connectionStream, received);
            const WindowUpdateFrame streamCredit = windowUpdateFrame(requestStream, received);
            noteNext(conn, "HTTP/2 WINDOW_UPDATE, twice: the connection and stream 1");
            sendData(conn, {Bytes(connectionCredit), Bytes(streamCredit)}, toServer);
            received = 0;
        }
    }
}

}  // namespace

std::string upgradeRequestText(const std::string& encodedName, const ConversationTexts& texts) {
    return "GET /tracemint/" + encodedName +
           " HTTP/1.1\r\nHost: " + std::string(chosenOr(texts.host, serverHostName)) +
           "\r\nUser-Agent: " + std::string(chosenOr(texts.userAgent, defaultUserAgent)) + "\r\n" +
           upgradeHeaderLines + "\r\n";
}

void runHttp2Transfer(TcpSession& conn, const Transfer& file) {
    // The run driver has checked the name against the encoder's budget before the
    // first capture was created.
    std::optional<std::string> encoded = encodeUrlPath(file.name);
    if (!encoded) throw FatalError(urlEncoderTooLong, exitFailure);

    conn.protocol = "HTTP";
    openConnection(conn);
    const ConversationTexts& texts = file.settings->texts;
    sendMessage(conn, upgradeRequestText(*encoded, texts), toServer);
    sendMessage(conn, switchingProtocolsText, toClient);
    noteNext(conn, "HTTP/2 connection preface");
    sendMessage(conn, clientPreface, toServer);

    // The server's settings first; the client acknowledges them before it sends
    // its own. Both sides send the same octets.
    sendFrame(conn, settingsFrame(), toClient);
    sendFrame(conn, settingsAckFrame(), toServer);
    sendFrame(conn, settingsFrame(), toServer);
    sendFrame(conn, settingsAckFrame(), toClient);

    // The upgraded request is stream 1, already half-closed by the client
    // (RFC 9113 section 3.2): the server's HEADERS answer it.
    sendFrame(conn, responseHeadersFrame(file.fileSize, texts.contentType), toClient);
    sendDataFrames(conn, file);
    sendFrame(conn, endOfStreamFrame(), toClient);
    sendFrame(conn, goawayFrame(), toClient);
    closeConnection(conn);
}

}  // namespace tracemint
