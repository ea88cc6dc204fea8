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

void sendFrame(TcpSession& conn, const std::vector<uint8_t>& frame, uint8_t direction) {
    sendData(conn, Bytes(frame), direction);
}

// One DATA frame per block; the header travels as the first piece of the
// block's segment, so the block is never copied.
void sendDataFrames(TcpSession& conn, const Transfer& file) {
    BlockReader reader = openBlockReader(file);
    FrameHeader header = dataFrameHeader(0);
    for (;;) {
        Bytes block = nextBlock(reader, static_cast<size_t>(file.blockSize));
        if (block.empty()) break;
        putBe24(header.data(), static_cast<uint32_t>(block.size()));
        sendData(conn, {Bytes(header), block}, toClient);
    }
}

}  // namespace

std::string upgradeRequestText(const std::string& encodedName) {
    return "GET /tracemint/" + encodedName + " HTTP/1.1\r\nHost: " + serverHostName + "\r\n" +
           upgradeHeaderLines + "\r\n";
}

void runHttp2Transfer(TcpSession& conn, const Transfer& file) {
    // The run driver has checked the name against the encoder's budget before the
    // first capture was created.
    std::optional<std::string> encoded = encodeUrlPath(file.name);
    if (!encoded) throw FatalError(urlEncoderTooLong, exitFailure);

    openConnection(conn);
    sendMessage(conn, upgradeRequestText(*encoded), toServer);
    sendMessage(conn, switchingProtocolsText, toClient);
    sendMessage(conn, clientPreface, toServer);

    // The server's settings first; the client acknowledges them before it sends
    // its own. Both sides send the same octets.
    sendFrame(conn, settingsFrame(), toClient);
    sendFrame(conn, settingsAckFrame(), toServer);
    sendFrame(conn, settingsFrame(), toServer);
    sendFrame(conn, settingsAckFrame(), toClient);

    sendFrame(conn, requestHeadersFrame(authority(), *encoded), toServer);
    sendFrame(conn, responseHeadersFrame(file.fileSize), toClient);
    sendDataFrames(conn, file);
    sendFrame(conn, endOfStreamFrame(), toClient);
    sendFrame(conn, goawayFrame(), toClient);
    closeConnection(conn);
}

}  // namespace tracemint
