#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "input/transfer.h"
#include "tcp/tcp-session.h"

namespace tracemint {

// Mode h: the client downloads the file with GET; the response body is plain,
// gzip, chunked or gzip inside chunked as the settings say.
void runHttpGetTransfer(TcpSession& conn, const Transfer& file);
// Mode H: the client uploads the file in a multipart/form-data POST. The body
// always carries the file plain, so its Content-Length is exact.
void runHttpPostTransfer(TcpSession& conn, const Transfer& file);

// The texts, exposed so that tests can hold them against the rules.
// Chosen texts replace the defaults they name; none chosen gives the default texts.
std::string getRequestText(const std::string& encodedName, const ConversationTexts& texts = {});
std::string postRequestHeadText(const std::string& inFileName, uint64_t fileSize,
                                const ConversationTexts& texts = {});
// The response head for an encoder; contentLength is used by the plain and gzip heads.
std::string responseHeadText(uint8_t httpEncoder, uint64_t contentLength,
                             const ConversationTexts& texts = {});
// Framing of the POST body around the file: opening part head and closing delimiter.
uint64_t postContentLength(const std::string& inFileName, uint64_t fileSize,
                           const ConversationTexts& texts = {});

// The file's type in the upload's part and the plain response, unless one is chosen.
inline constexpr std::string_view defaultPartType = "application/octet-stream";

inline constexpr const char* multipartBoundary =
    "---------------------------8173728711543081858379436204";
inline constexpr const char* multipartClose =
    "\r\n-----------------------------8173728711543081858379436204--\r\n";

}  // namespace tracemint
