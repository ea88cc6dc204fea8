#pragma once

// A deliberately slow Internet checksum (RFC 1071) that the tests use as an
// independent reference: one byte at a time, even offsets are the high byte of a
// big-endian 16-bit word, odd offsets the low byte, an odd final byte is padded
// with zero. Nothing here is shared with the code under test.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tracemint::testing {

// The folded one's-complement sum (not complemented) of the bytes.
inline uint16_t referenceSum(const std::vector<uint8_t>& bytes) {
    uint64_t sum = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        sum += (i % 2 == 0) ? uint64_t{bytes[i]} << 8 : uint64_t{bytes[i]};
    }
    while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

inline uint16_t referenceChecksum(const std::vector<uint8_t>& bytes) {
    return static_cast<uint16_t>(~referenceSum(bytes) & 0xFFFF);
}

// The bytes a TCP checksum covers, as a receiver rebuilds them: the pseudo-header
// of RFC 793 (IPv4) or RFC 8200 section 8.1 (IPv6), taken from the addresses in
// the IP header of the frame, then the whole TCP segment. Summing them, stored
// checksum included, gives 0xFFFF when the checksum is right.
inline std::vector<uint8_t> tcpChecksumCoverage(const std::vector<uint8_t>& frame) {
    const size_t ip = 14;
    std::vector<uint8_t> covered;
    covered.reserve(frame.size() + 40);
    size_t tcp;
    if (frame[12] == 0x86 && frame[13] == 0xDD) {
        tcp = ip + 40;
        const uint32_t length = static_cast<uint32_t>(frame.size() - tcp);
        for (size_t i = ip + 8; i < ip + 40; ++i) covered.push_back(frame[i]);
        covered.push_back(static_cast<uint8_t>(length >> 24));
        covered.push_back(static_cast<uint8_t>(length >> 16));
        covered.push_back(static_cast<uint8_t>(length >> 8));
        covered.push_back(static_cast<uint8_t>(length));
        for (uint8_t b : {0, 0, 0, 6}) covered.push_back(b);
    } else {
        tcp = ip + 20;
        const size_t length = frame.size() - tcp;
        for (size_t i = ip + 12; i < ip + 20; ++i) covered.push_back(frame[i]);
        covered.push_back(0);
        covered.push_back(6);
        covered.push_back(static_cast<uint8_t>(length >> 8));
        covered.push_back(static_cast<uint8_t>(length));
    }
    for (size_t i = tcp; i < frame.size(); ++i) covered.push_back(frame[i]);
    return covered;
}

}  // namespace tracemint::testing
