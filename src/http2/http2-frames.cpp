#include "http2/http2-frames.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "common/byte-order.h"
#include "http2/hpack.h"

namespace tracemint {
namespace {

// Entries of the HPACK static table (RFC 7541, appendix A) that the blocks name.
constexpr uint64_t tableStatus200 = 8;
constexpr uint64_t tableContentType = 31;

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
    frame.resize(frameHeaderSize + 8);  // error code NO_ERROR (0)
    putBe32(frame.data() + frameHeaderSize, requestStream);
    return finishFrame(std::move(frame));
}

WindowUpdateFrame windowUpdateFrame(uint32_t streamId, uint32_t increment) {
    WindowUpdateFrame frame{};
    const FrameHeader header = frameHeader(4, frameWindowUpdate, 0, streamId);
    std::copy(header.begin(), header.end(), frame.begin());
    putBe32(frame.data() + frameHeaderSize, increment & 0x7FFFFFFF);
    return frame;
}

std::vector<uint8_t> responseHeadersFrame(uint64_t contentLength, std::string_view contentType) {
    std::vector<uint8_t> frame = startFrame(frameHeaders, flagEndHeaders, requestStream);
    appendIndexedField(frame, tableStatus200);
    appendLiteralField(frame, HpackIndexing::never, "content-length",
                       std::to_string(contentLength));
    if (!contentType.empty()) {
        appendLiteralField(frame, HpackIndexing::without, tableContentType, contentType);
    }
    return finishFrame(std::move(frame));
}

FrameHeader dataFrameHeader(uint32_t length) {
    return frameHeader(length, frameData, 0, requestStream);
}

void writeFrameNote(std::string& note, const uint8_t* header) {
    static constexpr const char* names[] = {
        "DATA",         "HEADERS", "PRIORITY", "RST_STREAM",    "SETTINGS",
        "PUSH_PROMISE", "PING",    "GOAWAY",   "WINDOW_UPDATE", "CONTINUATION"};
    const uint32_t length = (uint32_t{header[0]} << 16) | (uint32_t{header[1]} << 8) | header[2];
    const uint8_t type = header[3];
    const uint8_t flags = header[4];
    const uint32_t stream = getBe32(header + 5) & 0x7FFFFFFF;
    note += "HTTP/2 ";
    if (type < std::size(names)) {
        note += names[type];
    } else {
        note.append("frame of type ").append(std::to_string(type));
    }
    const bool ackable = type == frameSettings || type == 6;
    if (ackable && (flags & flagAck) != 0) note += " (ACK)";
    if (stream != connectionStream) note.append(": stream ").append(std::to_string(stream));
    if (type == frameData) note.append(", ").append(std::to_string(length)).append(" bytes");
    const bool endable = type == frameData || type == frameHeaders;
    if (endable && (flags & flagEndStream) != 0) note += ", END_STREAM";
}

std::string frameNote(const uint8_t* header) {
    std::string note;
    writeFrameNote(note, header);
    return note;
}

}  // namespace tracemint
