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

constexpr const char* upgradeHeaderLines =
    "User-Agent: Mozilla/5.0 (X11; U; Linux i686; en-US; rv:1.8.1.17) Gecko/20081007 "
    "Firefox/2.0.0.17\r\n"
    "Accept: */*\r\n"
    "Connection: Upgrade, HTTP2-Settings\r\n"
    "Upgrade: h2c\r\n"
    "HTTP2-Settings: AAMAAABkAAQAAP__\r\n";

// The request HEADERS name the server as on its usual port, whatever port the
// capture's segments use.
std::string authority() {
    return std::string(serverHostName) + ":80";
}

// Frame steps send from the side that conn.dataDirection names.
uint8_t frameSender(const Connection& conn) {
    return conn.dataDirection == toClient ? toClient : toServer;
}

void sendFrame(Connection& conn, const std::vector<uint8_t>& frame) {
    sendData(conn, Bytes(frame), frameSender(conn));
}

// One DATA frame per block; the header travels as the first piece of the
// block's segment, so the block is never copied.
void sendDataFrames(Connection& conn) {
    BlockReader reader = openBlockReader(*conn.inFile);
    FrameHeader header = dataFrameHeader(0);
    for (;;) {
        Bytes block = nextBlock(reader, static_cast<size_t>(conn.blockSize));
        if (block.empty()) break;
        putBe24(header.data(), static_cast<uint32_t>(block.size()));
        sendData(conn, {Bytes(header), block}, frameSender(conn));
    }
}

}  // namespace

std::string upgradeRequestText(const std::string& encodedName) {
    return "GET /tracemint/" + encodedName + " HTTP/1.1\r\nHost: " + serverHostName + "\r\n" +
           upgradeHeaderLines + "\r\n";
}

void runHttp2Transfer(Connection& conn) {
    // The run driver has checked the name against the encoder's budget before the
    // first capture was created.
    std::optional<std::string> encoded = encodeUrlPath(conn.inFileName);
    if (!encoded) throw FatalError(urlEncoderTooLong, exitFailure);

    openConnection(conn);
    sendMessage(conn, upgradeRequestText(*encoded), toServer);
    sendMessage(conn, switchingProtocolsText, toClient);
    conn.dataDirection = toServer;
    sendMessage(conn, clientPreface, frameSender(conn));

    // The server's settings first; the client acknowledges them before it sends
    // its own. Both sides send the same octets.
    conn.dataDirection = toClient;
    sendFrame(conn, settingsFrame());
    conn.dataDirection = toServer;
    sendFrame(conn, settingsAckFrame());
    sendFrame(conn, settingsFrame());
    conn.dataDirection = toClient;
    sendFrame(conn, settingsAckFrame());

    conn.dataDirection = toServer;
    sendFrame(conn, requestHeadersFrame(authority(), *encoded));
    conn.dataDirection = toClient;
    sendFrame(conn, responseHeadersFrame(conn.fileSize));
    sendDataFrames(conn);
    sendFrame(conn, endOfStreamFrame());
    sendFrame(conn, goawayFrame());
    closeConnection(conn);
}

}  // namespace tracemint
