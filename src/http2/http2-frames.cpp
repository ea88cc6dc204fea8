#include "http2/http2-frames.h"

#include <string>

#include "common/byte-order.h"
#include "http2/hpack.h"

namespace tracemint {
namespace {

// Entries of the HPACK static table (RFC 7541, appendix A) that the blocks name.
constexpr uint64_t tableAuthority = 1;
constexpr uint64_t tableMethodGet = 2;
constexpr uint64_t tablePath = 4;
constexpr uint64_t tableSchemeHttp = 6;
constexpr uint64_t tableStatus200 = 8;
constexpr uint64_t tableAccept = 19;
constexpr uint64_t tableCacheControl = 24;

constexpr std::string_view pathPrefix = "/tracemint/";

// A frame whose payload is built after its header: the length is filled in last.
std::vector<uint8_t> startFrame(uint8_t type, uint8_t flags, uint32_t streamId) {
    FrameHeader header = frameHeader(0, type, flags, streamId);
    return std::vector<uint8_t>(header.begin(), header.end());
}

std::vector<uint8_t> finishFrame(std::vector<uint8_t> frame) {
    putBe24(frame.data(), static_cast<uint32_t>(frame.size() - frameHeaderSize));
    return frame;
}

}  // namespace

FrameHeader frameHeader(uint32_t length, uint8_t type, uint8_t flags, uint32_t streamId) {
    FrameHeader header{};
    putBe24(header.data(), length);
    header[3] = type;
    header[4] = flags;
    putBe32(header.data() + 5, streamId & 0x7FFFFFFF);
    return header;
}

std::vector<uint8_t> settingsFrame() {
    std::vector<uint8_t> frame = startFrame(frameSettings, 0, connectionStream);
    frame.insert(frame.end(), settingsPayload.begin(), settingsPayload.end());
    return finishFrame(std::move(frame));
}

std::vector<uint8_t> settingsAckFrame() {
    return startFrame(frameSettings, flagAck, connectionStream);
}

std::vector<uint8_t> endOfStreamFrame() {
    return startFrame(frameData, flagEndStream, requestStream);
}

std::vector<uint8_t> goawayFrame() {
    std::vector<uint8_t> frame = startFrame(frameGoaway, 0, connectionStream);
    frame.resize(frameHeaderSize + 8);  // last stream identifier 0, error code NO_ERROR (0)
    return finishFrame(std::move(frame));
}

std::vector<uint8_t> requestHeadersFrame(std::string_view authority, std::string_view encodedName) {
    std::vector<uint8_t> frame =
        startFrame(frameHeaders, flagEndStream | flagEndHeaders, requestStream);
    std::string path(pathPrefix);
    path += encodedName;
    appendLiteralField(frame, HpackIndexing::without, tableAuthority, authority);
    appendIndexedField(frame, tableMethodGet);
    appendLiteralField(frame, HpackIndexing::without, tablePath, path);
    appendIndexedField(frame, tableSchemeHttp);
    appendLiteralField(frame, HpackIndexing::incremental, tableAccept, "*/*");
    appendLiteralField(frame, HpackIndexing::incremental, tableCacheControl, "no-cache");
    return finishFrame(std::move(frame));
}

std::vector<uint8_t> responseHeadersFrame(uint64_t contentLength) {
    std::vector<uint8_t> frame = startFrame(frameHeaders, flagEndHeaders, requestStream);
    appendIndexedField(frame, tableStatus200);
    appendLiteralField(frame, HpackIndexing::never, "content-length",
                       std::to_string(contentLength));
    return finishFrame(std::move(frame));
}

FrameHeader dataFrameHeader(uint32_t length) {
    return frameHeader(length, frameData, 0, requestStream);
}

}  // namespace tracemint
