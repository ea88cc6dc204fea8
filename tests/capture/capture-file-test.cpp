#include "capture/capture-file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/fatal-error.h"
#include "support/pcap-reader.h"

namespace tracemint {
namespace {

using testing::readFileBytes;

const std::vector<uint8_t> globalHeader = {
    0xd4, 0xc3, 0xb2, 0xa1,  // magic, little-endian, microsecond stamps
    0x02, 0x00, 0x04, 0x00,  // version 2.4
    0x00, 0x00, 0x00, 0x00,  // zone
    0x00, 0x00, 0x00, 0x00,  // stamp accuracy
    0xff, 0xff, 0x00, 0x00,  // snaplen 65535
    0x01, 0x00, 0x00, 0x00,  // link type 1, Ethernet
};

TEST(PcapHeaders, GlobalHeaderBytes) {
    auto h = pcapGlobalHeader();
    EXPECT_EQ(std::vector<uint8_t>(h.begin(), h.end()), globalHeader);
}

TEST(PcapHeaders, RecordHeaderBytes) {
    auto h = pcapRecordHeader(SimClock{0x48F33C58, 999999}, 0x0102);
    const std::vector<uint8_t> expected = {
        0x58, 0x3c, 0xf3, 0x48,  // seconds
        0x3f, 0x42, 0x0f, 0x00,  // microseconds
        0x02, 0x01, 0x00, 0x00,  // stored length
        0x02, 0x01, 0x00, 0x00,  // original length
    };
    EXPECT_EQ(std::vector<uint8_t>(h.begin(), h.end()), expected);
}

// Nanosecond captures differ in the magic and in the unit of the second field.
TEST(PcapHeaders, NanosecondMagicAndFraction) {
    auto h = pcapGlobalHeader(TimeResolution::nanosecond);
    std::vector<uint8_t> expected = globalHeader;
    expected[0] = 0x4d;
    expected[1] = 0x3c;
    EXPECT_EQ(std::vector<uint8_t>(h.begin(), h.end()), expected);

    auto r = pcapRecordHeader(SimClock{0x48F33C58, 999999}, 0x0102, TimeResolution::nanosecond);
    const std::vector<uint8_t> record = {
        0x58, 0x3c, 0xf3, 0x48,  // seconds
        0x18, 0xc6, 0x9a, 0x3b,  // 999999000 nanoseconds
        0x02, 0x01, 0x00, 0x00,  // stored length
        0x02, 0x01, 0x00, 0x00,  // original length
    };
    EXPECT_EQ(std::vector<uint8_t>(r.begin(), r.end()), record);
}

TEST(ComposeCaptureName, OutputNameOrInputBaseWithSuffix) {
    struct Case {
        std::string outFileName;
        std::string inputPath;
        std::string expected;
    };
    const Case cases[] = {
        {"", "/a/b/malware.pdf", "malware.pdf-http-get.pcap"},
        {"", "malware.pdf", "malware.pdf-http-get.pcap"},
        {"", "./dir.v2/report", "report-http-get.pcap"},
        {"", "../x/", "x-http-get.pcap"},
        // The -o name is used whole: no suffix, its directory kept.
        {"out/capture.pcap", "/a/b/malware.pdf", "out/capture.pcap"},
        {"plain", "/a/b/malware.pdf", "plain"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(composeCaptureName(c.outFileName, c.inputPath, "-http-get.pcap"), c.expected)
            << "-o '" << c.outFileName << "', input '" << c.inputPath << "'";
    }
}

// A path in the temporary directory, removed at the end of the test.
struct TempPath {
    std::string path;
    TempPath() {
        char name[] = "/tmp/tracemint-capture-XXXXXX";
        int fd = mkstemp(name);
        ::close(fd);
        path = name;
    }
    ~TempPath() { ::unlink(path.c_str()); }
};

TEST(CaptureFile, OpenTruncatesAndWritesTheGlobalHeader) {
    TempPath out;
    std::ofstream(out.path) << std::string(5000, 'z');
    CaptureFile capture;
    openOutput(capture, out.path);
    closeCapture(capture);
    EXPECT_EQ(readFileBytes(out.path), globalHeader);
}

TEST(CaptureFile, EveryByteArrivesInOrderAcrossBufferFlushes) {
    // Pieces of assorted sizes, some larger than the whole buffer, mixing both
    // ways of appending; the file must be the header followed by all of them.
    TempPath out;
    CaptureFile capture;
    openOutput(capture, out.path);
    std::vector<uint8_t> expected = globalHeader;
    std::mt19937 gen(2008);
    const size_t sizes[] = {1,
                            54,
                            captureBufferSize - 100,
                            99,
                            2,
                            1500,
                            captureBufferSize + 7,
                            3,
                            2 * captureBufferSize + 1,
                            17,
                            74};
    bool useSpace = false;
    for (size_t n : sizes) {
        std::vector<uint8_t> piece(n);
        for (auto& b : piece) b = static_cast<uint8_t>(gen());
        if (useSpace) {
            std::memcpy(captureSpace(capture, n), piece.data(), n);
        } else {
            appendCapture(capture, Bytes(piece));
        }
        useSpace = !useSpace;
        expected.insert(expected.end(), piece.begin(), piece.end());
    }
    closeCapture(capture);
    auto file = readFileBytes(out.path);
    ASSERT_EQ(file.size(), expected.size());
    EXPECT_TRUE(file == expected);
}

TEST(CaptureFile, OpenFailureNamesTheFile) {
    const std::string name = "/nonexistent-tracemint-dir/sub/out.pcap";
    CaptureFile capture;
    try {
        openOutput(capture, name);
        FAIL() << "expected FatalError";
    } catch (const FatalError& e) {
        EXPECT_EQ(e.status, 255);
        EXPECT_EQ(std::string(e.what()),
                  "Error: Failed to open outfile " + name + ": No such file or directory");
    }
    EXPECT_LT(capture.sink.fd, 0);
}

TEST(CaptureFile, WriteFailureNamesTheFileAndTheReason) {
    // /dev/full accepts the open and fails every write with ENOSPC. The buffered
    // bytes must not vanish silently at flush or at close.
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full";
    for (bool viaClose : {false, true}) {
        SCOPED_TRACE(viaClose ? "closeCapture" : "flushCapture");
        CaptureFile capture;
        openOutput(capture, "/dev/full");
        appendCapture(capture, Bytes(globalHeader));
        try {
            if (viaClose) {
                closeCapture(capture);
            } else {
                flushCapture(capture);
            }
            FAIL() << "expected FatalError";
        } catch (const FatalError& e) {
            EXPECT_EQ(e.status, 255);
            EXPECT_EQ(std::string(e.what()), "Error: /dev/full: No space left on device");
        }
        abandonCapture(capture);
        EXPECT_LT(capture.sink.fd, 0);
    }
}

TEST(CaptureFile, AbandonLeavesWhatWasThereBefore) {
    // After a failure elsewhere nothing cut short appears under the name.
    TempPath out;
    std::ofstream(out.path) << "earlier";
    CaptureFile capture;
    openOutput(capture, out.path);
    const std::vector<uint8_t> record(3 * captureBufferSize, 7);
    appendCapture(capture, Bytes(record));
    abandonCapture(capture);
    EXPECT_LT(capture.sink.fd, 0);
    const std::vector<uint8_t> earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    EXPECT_EQ(readFileBytes(out.path), earlier);
}

}  // namespace
}  // namespace tracemint
