#include "capture/pcapng-format.h"

#include <algorithm>
#include <cstring>

namespace tracemint {
namespace {

constexpr uint16_t linkTypeEthernet = 1;

constexpr size_t padded(size_t n) {
    return (n + 3) & ~size_t{3};
}

// An option's length field has 16 bits: a longer value is cut there.
constexpr size_t maxOptionValue = 0xFFFF;

std::string_view clamped(std::string_view value) {
    return value.substr(0, maxOptionValue);
}

// Option code, value length, value, zero padding.
size_t optionSize(size_t valueLength) {
    return 4 + padded(std::min(valueLength, maxOptionValue));
}

// Room for n more octets at the end of the block.
uint8_t* grow(std::vector<uint8_t>& out, size_t n) {
    out.resize(out.size() + n);
    return out.data() + out.size() - n;
}

void appendLe16(std::vector<uint8_t>& out, uint16_t v) {
    putLe16(grow(out, 2), v);
}

void appendLe32(std::vector<uint8_t>& out, uint32_t v) {
    putLe32(grow(out, 4), v);
}

size_t writeOption(uint8_t* out, uint16_t code, std::string_view value) {
    value = clamped(value);
    putLe16(out, code);
    putLe16(out + 2, static_cast<uint16_t>(value.size()));
    if (!value.empty()) std::memcpy(out + 4, value.data(), value.size());
    const size_t size = optionSize(value.size());
    std::memset(out + 4 + value.size(), 0, size - 4 - value.size());
    return size;
}

void appendOption(std::vector<uint8_t>& out, uint16_t code, std::string_view value) {
    writeOption(grow(out, optionSize(value.size())), code, value);
}

// Fills in the length at both ends once the body is complete.
std::vector<uint8_t> finishBlock(std::vector<uint8_t> block) {
    appendLe32(block, 0);
    putLe32(&block[4], static_cast<uint32_t>(block.size()));
    putLe32(&block[block.size() - 4], static_cast<uint32_t>(block.size()));
    return block;
}

std::vector<uint8_t> startBlock(uint32_t type) {
    std::vector<uint8_t> block;
    appendLe32(block, type);
    appendLe32(block, 0);
    return block;
}

}  // namespace

std::vector<uint8_t> pcapngSectionHeader(std::string_view application, std::string_view comment) {
    std::vector<uint8_t> block = startBlock(pcapngSectionHeaderType);
    appendLe32(block, pcapngByteOrderMagic);
    appendLe16(block, 1);           // major version
    appendLe16(block, 0);           // minor version
    appendLe32(block, 0xFFFFFFFF);  // section length: not given
    appendLe32(block, 0xFFFFFFFF);
    if (!comment.empty()) appendOption(block, pcapngOptComment, comment);
    appendOption(block, pcapngOptUserApplication, application);
    appendOption(block, pcapngOptEndOfOptions, {});
    return finishBlock(std::move(block));
}

std::vector<uint8_t> pcapngInterfaceDescription(uint32_t snapLength, TimeResolution resolution) {
    std::vector<uint8_t> block = startBlock(pcapngInterfaceDescriptionType);
    appendLe16(block, linkTypeEthernet);
    appendLe16(block, 0);  // reserved
    appendLe32(block, snapLength);
    const char exponent = static_cast<char>(resolution);
    appendOption(block, pcapngOptTimeResolution, std::string_view(&exponent, 1));
    appendOption(block, pcapngOptEndOfOptions, {});
    return finishBlock(std::move(block));
}

size_t pcapngEnhancedPacketSize(size_t frameLength, size_t commentLength) {
    const size_t options = commentLength > 0 ? optionSize(commentLength) + optionSize(0) : 0;
    return pcapngEnhancedPacketHeadSize + padded(frameLength) + options + 4;
}

void writeEnhancedPacketHead(uint8_t* out, uint64_t stampUnits, uint32_t frameLength,
                             uint32_t blockLength) {
    putLe32(out, pcapngEnhancedPacketType);
    putLe32(out + 4, blockLength);
    putLe32(out + 8, 0);  // interface 0, the only one
    putLe32(out + 12, static_cast<uint32_t>(stampUnits >> 32));
    putLe32(out + 16, static_cast<uint32_t>(stampUnits));
    putLe32(out + 20, frameLength);
    putLe32(out + 24, frameLength);
}

size_t writeEnhancedPacketTail(uint8_t* out, uint32_t frameLength, std::string_view comment,
                               uint32_t blockLength) {
    size_t n = padded(frameLength) - frameLength;
    std::memset(out, 0, n);
    // Without a comment the block has no options at all, not even their end.
    if (!comment.empty()) {
        n += writeOption(out + n, pcapngOptComment, comment);
        n += writeOption(out + n, pcapngOptEndOfOptions, {});
    }
    putLe32(out + n, blockLength);
    return n + 4;
}

std::vector<uint8_t> pcapngEnhancedPacket(uint64_t stampUnits, Bytes frame,
                                          std::string_view comment) {
    const size_t size = pcapngEnhancedPacketSize(frame.size(), comment.size());
    std::vector<uint8_t> block(size);
    const auto frameLength = static_cast<uint32_t>(frame.size());
    writeEnhancedPacketHead(block.data(), stampUnits, frameLength, static_cast<uint32_t>(size));
    if (!frame.empty()) {
        std::memcpy(block.data() + pcapngEnhancedPacketHeadSize, frame.data(), frame.size());
    }
    writeEnhancedPacketTail(block.data() + pcapngEnhancedPacketHeadSize + frame.size(), frameLength,
                            comment, static_cast<uint32_t>(size));
    return block;
}

}  // namespace tracemint
