#include "capture/capture-pieces.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "capture/capture-file.h"
#include "capture/pcapng-format.h"
#include "common/fatal-error.h"
#include "common/settings.h"

namespace tracemint {
namespace {

using Octets = std::vector<uint8_t>;

void append(Octets& out, const Octets& bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

template <size_t N>
void append(Octets& out, const std::array<uint8_t, N>& bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

const Octets frameA(60, 0xa1);
const Octets frameB(73, 0xb2);  // not a multiple of 4: the pcapng block pads it

Octets pcapCapture(TimeResolution resolution) {
    Octets c;
    append(c, pcapGlobalHeader(resolution));
    append(c, pcapRecordHeader(SimClock{defaultStartTime, 13000}, 60, resolution));
    append(c, frameA);
    append(c, pcapRecordHeader(SimClock{defaultStartTime + 1, 999999}, 73, resolution));
    append(c, frameB);
    return c;
}

Octets pcapngCapture(TimeResolution resolution) {
    Octets c = pcapngSectionHeader("tracemint 1.29", "-m h");
    append(c, pcapngInterfaceDescription(65535, resolution));
    append(c, pcapngEnhancedPacket(stampUnits(SimClock{defaultStartTime, 13000}, resolution), frameA,
                                   "TCP handshake: SYN"));
    append(c, pcapngEnhancedPacket(stampUnits(SimClock{defaultStartTime + 1, 999999}, resolution), frameB,
                                   ""));
    return c;
}

// The same capture as it would have come out with the clock `seconds` later.
Octets expected(CaptureFormat format, TimeResolution resolution, uint32_t seconds) {
    if (format == CaptureFormat::pcap) {
        Octets c;
        append(c, pcapRecordHeader(SimClock{defaultStartTime + seconds, 13000}, 60, resolution));
        append(c, frameA);
        append(c, pcapRecordHeader(SimClock{defaultStartTime + seconds + 1, 999999}, 73, resolution));
        append(c, frameB);
        return c;
    }
    Octets c = pcapngEnhancedPacket(stampUnits(SimClock{defaultStartTime + seconds, 13000}, resolution),
                                    frameA, "TCP handshake: SYN");
    append(c, pcapngEnhancedPacket(
                  stampUnits(SimClock{defaultStartTime + seconds + 1, 999999}, resolution), frameB, ""));
    return c;
}

Octets captureOf(CaptureFormat format, TimeResolution resolution) {
    return format == CaptureFormat::pcap ? pcapCapture(resolution) : pcapngCapture(resolution);
}

TEST(CapturePieces, StampsMoveByWholeSecondsInEveryFormatAndResolution) {
    for (CaptureFormat format : {CaptureFormat::pcap, CaptureFormat::pcapng}) {
        for (TimeResolution resolution :
             {TimeResolution::microsecond, TimeResolution::nanosecond}) {
            SCOPED_TRACE(std::to_string(int(format)) + " " + std::to_string(int(resolution)));
            Octets capture = captureOf(format, resolution);
            const size_t offset = capturePacketsOffset(capture, format);
            ASSERT_GT(offset, 0u);
            std::span<uint8_t> packets(capture.data() + offset, capture.size() - offset);
            ASSERT_TRUE(shiftCaptureStamps(packets, format, resolution, 3600));
            EXPECT_EQ(Octets(packets.begin(), packets.end()), expected(format, resolution, 3600));
        }
    }
}

TEST(CapturePieces, CutOrForeignBytesAreRefused) {
    for (CaptureFormat format : {CaptureFormat::pcap, CaptureFormat::pcapng}) {
        SCOPED_TRACE(int(format));
        Octets capture = captureOf(format, TimeResolution::microsecond);
        const size_t offset = capturePacketsOffset(capture, format);
        for (size_t cut : {size_t{1}, size_t{10}, capture.size() - offset - 1}) {
            Octets bytes(capture.begin() + offset, capture.end() - cut);
            EXPECT_FALSE(shiftCaptureStamps(bytes, format, TimeResolution::microsecond, 1));
        }
    }
    // A pcap file is no pcapng section, and a cut header is no header.
    const Octets pcap = pcapCapture(TimeResolution::microsecond);
    EXPECT_EQ(capturePacketsOffset(pcap, CaptureFormat::pcapng), 0u);
    EXPECT_EQ(capturePacketsOffset(Bytes(pcap.data(), 20), CaptureFormat::pcap), 0u);
    const Octets pcapng = pcapngCapture(TimeResolution::microsecond);
    EXPECT_EQ(capturePacketsOffset(Bytes(pcapng.data(), 40), CaptureFormat::pcapng), 0u);
}

std::string tempDirectory() {
    char name[] = "/tmp/tracemint-pieces-XXXXXX";
    EXPECT_NE(::mkdtemp(name), nullptr);
    return name;
}

Octets readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Octets(std::istreambuf_iterator<char>(in), {});
}

// A piece is written behind its own header, then its packets go behind the
// capture's header, moved in time; many more packets than the copy buffer holds
// cross its edge whole.
TEST(CapturePieces, PiecesAreAppendedWithoutTheirHeaderMovedInTime) {
    const std::string dir = tempDirectory();
    for (CaptureFormat format : {CaptureFormat::pcap, CaptureFormat::pcapng}) {
        SCOPED_TRACE(int(format));
        const TimeResolution resolution = TimeResolution::nanosecond;
        const Octets capture = captureOf(format, resolution);
        const size_t offset = capturePacketsOffset(capture, format);
        const Octets header(capture.begin(), capture.begin() + offset);
        const Octets packets(capture.begin() + offset, capture.end());
        const size_t copies = 3 * captureBufferSize / packets.size();

        CaptureFile piece;
        piece.format = format;
        piece.resolution = resolution;
        piece.sectionComment = "-m h";
        const std::string pieceName = dir + "/piece";
        const int fd = ::open(pieceName.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        openPiece(piece, fd, "piece");
        for (size_t i = 0; i < copies; ++i) appendCapture(piece, packets);
        finishPiece(piece);
        EXPECT_EQ(piece.sink.fd, -1);

        CaptureFile whole;
        whole.format = format;
        whole.resolution = resolution;
        whole.sectionComment = "-m h";
        const std::string wholeName = dir + "/whole";
        openOutput(whole, wholeName);
        appendPiece(whole, fd, "piece", 0);
        appendPiece(whole, fd, "piece", 10);
        closeCapture(whole);
        Octets joined = header;
        for (uint32_t seconds : {0u, 10u}) {
            for (size_t i = 0; i < copies; ++i) append(joined, expected(format, resolution, seconds));
        }
        EXPECT_TRUE(readAll(wholeName) == joined);

        // A piece cut short, or of the other format, is no piece.
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(header.size() + copies * packets.size() - 3)), 0);
        CaptureFile cut;
        cut.format = format;
        cut.resolution = resolution;
        openOutput(cut, wholeName);
        EXPECT_THROW(appendPiece(cut, fd, "piece", 1), FatalError);
        abandonCapture(cut);
        CaptureFile other;
        other.format = format == CaptureFormat::pcap ? CaptureFormat::pcapng : CaptureFormat::pcap;
        openOutput(other, wholeName);
        EXPECT_THROW(appendPiece(other, fd, "piece", 1), FatalError);
        abandonCapture(other);
        ::close(fd);
        ::unlink(pieceName.c_str());
        ::unlink(wholeName.c_str());
    }
    ::rmdir(dir.c_str());
}

// A piece that becomes its capture has its stamps moved where they lie, across
// the edges of the buffer it is read in, and nothing else changes; a header
// alone stays as it is, and a piece cut short or of the other format is refused.
TEST(CapturePieces, PiecesAreMovedInTimeWhereTheyLie) {
    const std::string dir = tempDirectory();
    const std::string pieceName = dir + "/piece";
    for (CaptureFormat format : {CaptureFormat::pcap, CaptureFormat::pcapng}) {
        for (TimeResolution resolution :
             {TimeResolution::microsecond, TimeResolution::nanosecond}) {
            SCOPED_TRACE(std::to_string(int(format)) + " " + std::to_string(int(resolution)));
            const Octets capture = captureOf(format, resolution);
            const size_t offset = capturePacketsOffset(capture, format);
            const Octets header(capture.begin(), capture.begin() + offset);
            const Octets packets(capture.begin() + offset, capture.end());
            const size_t copies = 3 * captureBufferSize / packets.size();
            Octets piece = header;
            Octets moved = header;
            for (size_t i = 0; i < copies; ++i) {
                append(piece, packets);
                append(moved, expected(format, resolution, 3600));
            }
            const int fd = ::open(pieceName.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::write(fd, piece.data(), piece.size()), ssize_t(piece.size()));
            shiftPieceInPlace(fd, "piece", format, resolution, 3600);
            EXPECT_TRUE(readAll(pieceName) == moved);

            ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(header.size())), 0);
            shiftPieceInPlace(fd, "piece", format, resolution, 3600);
            EXPECT_TRUE(readAll(pieceName) == header);

            const CaptureFormat other =
                format == CaptureFormat::pcap ? CaptureFormat::pcapng : CaptureFormat::pcap;
            EXPECT_THROW(shiftPieceInPlace(fd, "piece", other, resolution, 1), FatalError);
            ASSERT_EQ(::pwrite(fd, piece.data(), piece.size(), 0), ssize_t(piece.size()));
            ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(piece.size() - 3)), 0);
            EXPECT_THROW(shiftPieceInPlace(fd, "piece", format, resolution, 1), FatalError);
            ::close(fd);
        }
    }
    ::unlink(pieceName.c_str());
    ::rmdir(dir.c_str());
}

}  // namespace
}  // namespace tracemint
