#include "http/http-exchange.h"

#include <string_view>

#include "input/block-reader.h"
#include "common/fatal-error.h"
#include "common/file-name-text.h"
#include "tcp/tcp-session.h"
#include "http/chunked.h"
#include "http/http-gzip.h"
#include "http/url-path.h"

namespace tracemint {
namespace {

constexpr const char* responsePreamble =
    "HTTP/1.1 200 Ok\r\n"
    "Date: Fri, 21 Sep 2018 13:35:26 GMT\r\n"
    "Server: Apache/2.2.3 (Debian) PHP/5.2.0-8+etch10 mod_ssl/2.2.3 OpenSSL/0.9.8c\r\n"
    "Last-Modified: Sat, 20 Jan 2018 12:01:21 GMT\r\n"
    "ETag: \"a801c-1bbd1c-22416640\"\r\n"
    "Accept-Ranges: bytes\r\n";

// The server's answer to the upload, once the whole body is in.
constexpr std::string_view postResponse =
    "HTTP/1.1 200 OK\r\n"
    "Date: Fri, 21 Sep 2018 13:35:26 GMT\r\n"
    "Server: Apache/2.2.3 (Debian) PHP/5.2.0-8+etch10 mod_ssl/2.2.3 OpenSSL/0.9.8c\r\n"
    "Content-Length: 0\r\n"
    "Content-Type: text/html; charset=UTF-8\r\n\r\n";

constexpr std::string_view defaultUserAgent =
    "Mozilla/5.0 (X11; U; Linux i686; en-US; rv:1.8.1.17) Gecko/20081007 Firefox/2.0.0.17";
constexpr const char* acceptLines =
    "Accept: text/xml,application/xml,application/xhtml+xml,text/html;q=0.9,text/plain;q=0.8,"
    "image/png,*/*;q=0.5\r\n"
    "Accept-Language: en-us,en;q=0.5\r\n";
constexpr const char* keepAliveLines =
    "Accept-Encoding: gzip,deflate\r\n"
    "Accept-Charset: ISO-8859-1,utf-8;q=0.7,*;q=0.7\r\n"
    "Keep-Alive: 300\r\n"
    "Connection: keep-alive\r\n";

// The client header lines that both requests share.
std::string clientHeaderLines(const ConversationTexts& texts) {
    std::string lines = "Host: ";
    lines.append(chosenOr(texts.host, serverHostName)).append("\r\n");
    lines.append("User-Agent: ").append(chosenOr(texts.userAgent, defaultUserAgent)).append("\r\n");
    return lines + acceptLines;
}

// The line that types the file; each encoder's head has its own by default.
std::string contentTypeLine(const ConversationTexts& texts, std::string_view defaultType) {
    return "Content-Type: " + std::string(chosenOr(texts.contentType, defaultType)) + "\r\n";
}

// "HTTP GET: response body, chunk, 2400 of 5000 bytes": where the body stands.
void writeBodyNote(std::string& note, uint8_t direction, bool gzip, bool chunked, uint64_t sent,
                   uint64_t total) {
    note += direction == toClient ? "HTTP GET: response body, " : "HTTP POST: request body, ";
    if (chunked) note += gzip ? "chunk of deflate data, " : "chunk, ";
    if (gzip && !chunked) note += "deflate data ";
    note.append(std::to_string(sent)).append(" of ").append(std::to_string(total)).append(" bytes");
}

// The file as the body of the exchange: from the input, or from the compressed
// temporary file for the gzip encodings; each block
// read is one data segment or one chunk.
void sendHttpBody(TcpSession& conn, const Transfer& file, uint8_t encoder, const GzipBody* body,
                  uint8_t direction) {
    const bool gzip = encoder == httpGzip || encoder == httpGzipChunked;
    const bool chunked = encoder == httpChunked || encoder == httpGzipChunked;
    BlockReader reader = gzip ? openBlockReader(body->fd, "temporary gzip body", 0, body->tmpSize)
                              : openBlockReader(file);
    // The body's blocks are the file's octets on the wire; a chunk's size
    // line and line end are not.
    const uint64_t total = gzip ? body->tmpSize : file.fileSize;
    uint64_t sent = 0;
    for (;;) {
        Bytes block = nextBlock(reader, static_cast<size_t>(file.blockSize));
        if (block.empty()) break;
        sent += block.size();
        buildNote(conn, [&](std::string& note) {
            writeBodyNote(note, direction, gzip, chunked, sent, total);
        });
        conn.filePieces = chunked ? 0b010 : 0b001;
        if (chunked) {
            sendChunked(conn, block, direction);
        } else {
            sendData(conn, block, direction);
        }
        conn.filePieces = 0;
    }
    if (gzip) {
        noteNext(conn, "HTTP GET: response body, gzip trailer (CRC-32 and size)");
        sendGzipTrailer(conn, *body, chunked);
    } else if (chunked) {
        sendChunked(conn, {}, direction);
    }
}

void sendHttpResponseHead(TcpSession& conn, const Transfer& file, uint8_t encoder,
                          const GzipBody& body) {
    switch (encoder) {
        case httpGzip: {
            std::string head =
                responseHeadText(httpGzip, gzipContentLength(body), file.settings->texts);
            noteNext(conn, "HTTP server: HTTP/1.1 200 Ok, then the gzip header");
            sendData(conn, {asBytes(head), Bytes(gzipHeader)}, toClient);
            break;
        }
        case httpGzipChunked:
            sendMessage(conn, responseHeadText(httpGzipChunked, 0, file.settings->texts), toClient);
            noteNext(conn, "HTTP GET: response body, chunk, gzip header");
            sendChunked(conn, Bytes(gzipHeader), toClient);
            break;
        default:
            sendMessage(conn, responseHeadText(encoder, file.fileSize, file.settings->texts),
                        toClient);
    }
}

}  // namespace

std::string getRequestText(const std::string& encodedName, const ConversationTexts& texts) {
    return "GET /tracemint/" + encodedName + " HTTP/1.1\r\n" + clientHeaderLines(texts) +
           keepAliveLines + "\r\n";
}

uint64_t postContentLength(const std::string& inFileName, uint64_t fileSize,
                           const ConversationTexts& texts) {
    // 222: the part head around the name (114 + 45 characters, the default type's
    // 24 among them) and the closing delimiter (63), so the length is exact for a
    // plain body.
    const uint64_t typeLength = chosenOr(texts.contentType, defaultPartType).size();
    return fileNameInHeader(inFileName).size() + fileSize + 222 - defaultPartType.size() +
           typeLength;
}

std::string postRequestHeadText(const std::string& inFileName, uint64_t fileSize,
                                const ConversationTexts& texts) {
    return std::string("POST /tracemint.cgi HTTP/1.1\r\n") + clientHeaderLines(texts) +
           "Content-Length: " + std::to_string(postContentLength(inFileName, fileSize, texts)) +
           "\r\n" + "Content-Type: multipart/form-data; boundary=" + multipartBoundary + "\r\n" +
           keepAliveLines + "\r\n" + "--" + multipartBoundary + "\r\n" +
           "Content-Disposition: form-data; name=\"file\"; filename=\"" +
           fileNameInHeader(inFileName) + "\"\r\n" + contentTypeLine(texts, defaultPartType) +
           "\r\n";
}

std::string responseHeadText(uint8_t httpEncoder, uint64_t contentLength,
                             const ConversationTexts& texts) {
    std::string head = responsePreamble;
    switch (httpEncoder) {
        case httpGzip:
            head += "Content-Length: " + std::to_string(contentLength) +
                    "\r\n"
                    "Vary: Accept-Encoding\r\n"
                    "Content-Encoding: gzip\r\n"
                    "Connection: close\r\n" +
                    contentTypeLine(texts, "text/html; charset=UTF-8") + "\r\n";
            break;
        case httpChunked:
            head += "Connection: close\r\n" + contentTypeLine(texts, "text/html") +
                    "Transfer-Encoding: chunked\r\n\r\n";
            break;
        case httpGzipChunked:
            head +=
                "Transfer-Encoding: chunked\r\n"
                "Vary: Accept-Encoding\r\n"
                "Content-Encoding: gzip\r\n"
                "Connection: close\r\n" +
                contentTypeLine(texts, "text/html") + "\r\n";
            break;
        default:
            head += "Content-Length: " + std::to_string(contentLength) +
                    "\r\n"
                    "Keep-Alive: timeout=15, max=99\r\n"
                    "Connection: Keep-Alive\r\n" +
                    contentTypeLine(texts, defaultPartType) + "\r\n";
    }
    return head;
}

void runHttpGetTransfer(TcpSession& conn, const Transfer& file) {
    // The run driver has checked the name against the encoder's budget before the
    // first capture was created.
    std::optional<std::string> encoded = encodeUrlPath(file.name);
    if (!encoded) throw FatalError(urlEncoderTooLong, exitFailure);

    const uint8_t encoder = file.settings->httpEncoder;
    GzipBody body;
    body.tempDirectory = file.tempDirectory;
    // The compressed body lives only as long as this exchange, error or not.
    struct Release {
        GzipBody& body;
        ~Release() { releaseGzipBody(body); }
    } release{body};
    conn.protocol = "HTTP";
    openConnection(conn);
    if (encoder == httpGzip || encoder == httpGzipChunked) compressGzip(file, body);
    sendMessage(conn, getRequestText(*encoded, file.settings->texts), toServer);
    sendHttpResponseHead(conn, file, encoder, body);
    sendHttpBody(conn, file, encoder, &body, toClient);
    closeConnection(conn);
}

void runHttpPostTransfer(TcpSession& conn, const Transfer& file) {
    conn.protocol = "HTTP";
    openConnection(conn);
    sendMessage(conn, postRequestHeadText(file.name, file.fileSize, file.settings->texts),
                toServer);
    sendHttpBody(conn, file, httpPlain, nullptr, toServer);
    noteNext(conn, "HTTP POST: request body, closing boundary");
    sendMessage(conn, multipartClose, toServer);
    sendMessage(conn, postResponse, toClient);
    closeConnection(conn);
}

}  // namespace tracemint
