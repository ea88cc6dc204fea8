#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The HTTP/2 frames (RFC 7540) of the cleartext download, built as bytes and
// never written here: the exchange sends them.
namespace tracemint {

inline constexpr size_t frameHeaderSize = 9;
using FrameHeader = std::array<uint8_t, frameHeaderSize>;

inline constexpr uint8_t frameData = 0x00;
inline constexpr uint8_t frameHeaders = 0x01;
inline constexpr uint8_t frameSettings = 0x04;
inline constexpr uint8_t frameGoaway = 0x07;
inline constexpr uint8_t frameWindowUpdate = 0x08;

inline constexpr uint8_t flagEndStream = 0x01;  // DATA, HEADERS
inline constexpr uint8_t flagAck = 0x01;        // SETTINGS
inline constexpr uint8_t flagEndHeaders = 0x04;

// Connection-wide frames use stream 0; the download is the upgraded request's stream.
inline constexpr uint32_t connectionStream = 0;
inline constexpr uint32_t requestStream = 1;

// Length (24 bits), type, flags, stream identifier with its reserved top bit clear.
// The length must be below 2^24.
FrameHeader frameHeader(uint32_t length, uint8_t type, uint8_t flags, uint32_t streamId);

// SETTINGS_MAX_CONCURRENT_STREAMS 100, SETTINGS_INITIAL_WINDOW_SIZE 65535: the
// payload of both sides' SETTINGS frames, and, in base64url, the HTTP2-Settings
// header of the upgrade request.
inline constexpr std::array<uint8_t, 12> settingsPayload{0x00, 0x03, 0x00, 0x00, 0x00, 0x64,
                                                         0x00, 0x04, 0x00, 0x00, 0xFF, 0xFF};

std::vector<uint8_t> settingsFrame();
std::vector<uint8_t> settingsAckFrame();
// The empty DATA frame that closes the download's stream.
std::vector<uint8_t> endOfStreamFrame();
// NO_ERROR, last stream identifier 1 (the download, which was answered), no
// debug data.
std::vector<uint8_t> goawayFrame();

// WINDOW_UPDATE granting `increment` more octets (1 to 2^31 - 1) on a stream, or
// on the connection with stream 0.
using WindowUpdateFrame = std::array<uint8_t, frameHeaderSize + 4>;
WindowUpdateFrame windowUpdateFrame(uint32_t streamId, uint32_t increment);
// :status 200 with the content-length of the file, the body following in DATA
// frames; a content-type field follows when one is given.
std::vector<uint8_t> responseHeadersFrame(uint64_t contentLength,
                                          std::string_view contentType = {});
// The header of a DATA frame on the request stream carrying `length` bytes.
FrameHeader dataFrameHeader(uint32_t length);

// What a frame is, in the protocol's words, from its 9-octet header: "HTTP/2
// SETTINGS (ACK)", "HTTP/2 DATA: stream 1, 1200 bytes, END_STREAM".
// The first appends it to `note`.
void writeFrameNote(std::string& note, const uint8_t* header);
std::string frameNote(const uint8_t* header);

}  // namespace tracemint
