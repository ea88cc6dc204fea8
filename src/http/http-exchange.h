#pragma once

#include <cstdint>
#include <string>

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
std::string getRequestText(const std::string& encodedName);
std::string postRequestHeadText(const std::string& inFileName, uint64_t fileSize);
// The response head for an encoder; contentLength is used by the plain and gzip heads.
std::string responseHeadText(uint8_t httpEncoder, uint64_t contentLength);
// Framing of the POST body around the file: opening part head and closing delimiter.
uint64_t postContentLength(const std::string& inFileName, uint64_t fileSize);

inline constexpr const char* multipartBoundary =
    "---------------------------8173728711543081858379436204";
inline constexpr const char* multipartClose =
    "\r\n-----------------------------8173728711543081858379436204--\r\n";

}  // namespace tracemint
