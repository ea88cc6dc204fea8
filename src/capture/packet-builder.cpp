#include "capture/packet-builder.h"

#include <cstring>
#include <stdexcept>

#include "common/byte-order.h"
#include "capture/capture-file.h"
#include "common/checksum.h"

namespace tracemint {

void buildEthernetHeaders(Connection& conn) {
    uint16_t etherType = conn.ipVersion == 6 ? 0x86DD : 0x0800;
    std::memcpy(&conn.macTemplate[0], serverMac.data(), 6);
    std::memcpy(&conn.macTemplate[6], clientMac.data(), 6);
    putBe16(&conn.macTemplate[12], etherType);
    // Direction 0 goes from the client MAC to the server MAC, direction 1 back.
    std::memcpy(&conn.ethForward[0], &conn.macTemplate[0], 6);
    std::memcpy(&conn.ethForward[6], &conn.macTemplate[6], 6);
    std::memcpy(&conn.ethReverse[0], &conn.macTemplate[6], 6);
    std::memcpy(&conn.ethReverse[6], &conn.macTemplate[0], 6);
    std::memcpy(&conn.ethForward[12], &conn.macTemplate[12], 2);
    std::memcpy(&conn.ethReverse[12], &conn.macTemplate[12], 2);
}

size_t frameOverhead(uint8_t ipVersion) {
    return ethernetHeaderSize + (ipVersion == 6 ? ipv6HeaderSize : ipv4HeaderSize) + tcpHeaderSize;
}

namespace {

// The IP and TCP headers with the TCP checksum left at zero; sum holds the
// pseudo-header and the TCP header, ready for the payload to be added.
size_t writeHeaders(const Connection& conn, uint8_t direction, uint8_t flags, size_t payloadLength,
                    uint16_t ipId, uint8_t* out, ChecksumSum& sum) {
    const bool forward = direction == 0;
    const bool v6 = conn.ipVersion == 6;
    const uint32_t segmentLength = static_cast<uint32_t>(payloadLength + tcpHeaderSize);

    const size_t ipSize = v6 ? ipv6HeaderSize : ipv4HeaderSize;
    uint8_t* ip = out;
    uint8_t* tcp = out + ipSize;

    putBe16(tcp + 0, forward ? conn.srcPort : conn.dstPort);
    putBe16(tcp + 2, forward ? conn.dstPort : conn.srcPort);
    putBe32(tcp + 4, forward ? conn.srcSeq : conn.dstSeq);
    // The acknowledgement number is filled in every segment, SYN included.
    putBe32(tcp + 8, forward ? conn.dstSeq : conn.srcSeq);
    tcp[12] = 0x50;
    tcp[13] = flags;
    putBe16(tcp + 14, tcpWindow);
    putBe16(tcp + 16, 0);
    putBe16(tcp + 18, 0);

    uint8_t pseudo[40] = {};
    size_t pseudoSize;
    if (v6) {
        const auto& from = forward ? conn.srcIPv6 : conn.dstIPv6;
        const auto& to = forward ? conn.dstIPv6 : conn.srcIPv6;
        std::memcpy(pseudo, from.data(), 16);
        std::memcpy(pseudo + 16, to.data(), 16);
        putBe32(pseudo + 32, segmentLength);
        pseudo[39] = 6;
        pseudoSize = 40;

        putBe32(ip + 0, 0x60000000u);
        putBe16(ip + 4, static_cast<uint16_t>(segmentLength));
        ip[6] = 6;
        ip[7] = 64;
        std::memcpy(ip + 8, from.data(), 16);
        std::memcpy(ip + 24, to.data(), 16);
    } else {
        const auto& from = forward ? conn.srcIPv4 : conn.dstIPv4;
        const auto& to = forward ? conn.dstIPv4 : conn.srcIPv4;
        std::memcpy(pseudo, from.data(), 4);
        std::memcpy(pseudo + 4, to.data(), 4);
        pseudo[9] = 6;
        putBe16(pseudo + 10, static_cast<uint16_t>(segmentLength));
        pseudoSize = 12;

        ip[0] = 0x45;
        ip[1] = 0;
        putBe16(ip + 2, static_cast<uint16_t>(segmentLength + ipv4HeaderSize));
        putBe16(ip + 4, ipId);
        putBe16(ip + 6, 0);  // no Don't Fragment bit, offset 0
        ip[8] = 64;
        ip[9] = 6;
        putBe16(ip + 10, 0);
        std::memcpy(ip + 12, from.data(), 4);
        std::memcpy(ip + 16, to.data(), 4);
        putBe16(ip + 10, internetChecksum(Bytes(ip, ipv4HeaderSize)));
    }

    // The TCP checksum covers the pseudo-header, the TCP header and the payload.
    addToChecksum(sum, Bytes(pseudo, pseudoSize));
    addToChecksum(sum, Bytes(tcp, tcpHeaderSize));
    return ipSize + tcpHeaderSize;
}

size_t payloadSize(std::initializer_list<Bytes> payload) {
    if (payload.size() > maxPayloadPieces) throw std::logic_error("too many pieces in one segment");
    size_t n = 0;
    for (Bytes piece : payload) n += piece.size();
    return n;
}

}  // namespace

size_t buildPacketHeaders(const Connection& conn, uint8_t direction, uint8_t flags,
                          std::initializer_list<Bytes> payload, uint16_t ipId, uint8_t* out) {
    ChecksumSum sum;
    const size_t size = writeHeaders(conn, direction, flags, payloadSize(payload), ipId, out, sum);
    for (Bytes piece : payload) addToChecksum(sum, piece);
    putBe16(out + size - tcpHeaderSize + 16, finishChecksum(sum));
    return size;
}

void writeSegment(Connection& conn, std::initializer_list<Bytes> payload, uint8_t direction,
                  uint8_t flags) {
    const size_t payloadLength = payloadSize(payload);
    // IPv6 has no identification; IPv4 draws 16 fresh bits per packet.
    uint16_t ipId = 0;
    if (conn.ipVersion != 6) {
        uint32_t r = nextRandom(*conn.random);
        ipId = static_cast<uint16_t>(((r & 0xFF) << 8) | ((r >> 8) & 0xFF));
    }
    const size_t overhead = frameOverhead(conn.ipVersion);
    uint8_t* record = captureSpace(*conn.outFile, pcapRecordHeaderSize + overhead + payloadLength);
    auto recordHeader =
        pcapRecordHeader(*conn.sharedClock, static_cast<uint32_t>(overhead + payloadLength));
    std::memcpy(record, recordHeader.data(), recordHeader.size());
    uint8_t* frame = record + pcapRecordHeaderSize;
    const auto& eth = direction == 0 ? conn.ethForward : conn.ethReverse;
    std::memcpy(frame, eth.data(), ethernetHeaderSize);
    uint8_t* headers = frame + ethernetHeaderSize;
    ChecksumSum sum;
    const size_t headerSize =
        writeHeaders(conn, direction, flags, payloadLength, ipId, headers, sum);
    // The payload goes into the capture and into the checksum in one pass.
    uint8_t* cursor = headers + headerSize;
    for (Bytes piece : payload) {
        copyIntoChecksum(sum, piece, cursor);
        cursor += piece.size();
    }
    putBe16(headers + headerSize - tcpHeaderSize + 16, finishChecksum(sum));
    uint32_t& senderSeq = direction == 0 ? conn.srcSeq : conn.dstSeq;
    senderSeq += static_cast<uint32_t>(payloadLength);
}

}  // namespace tracemint
