#include "input/block-reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "common/fatal-error.h"

namespace tracemint {
namespace {

// A file of random bytes in the temporary directory, open for reading.
struct InputFixture {
    std::string path;
    int fd = -1;
    std::vector<uint8_t> bytes;

    explicit InputFixture(size_t size) : bytes(size) {
        std::mt19937 gen(static_cast<uint32_t>(size));
        for (auto& b : bytes) b = static_cast<uint8_t>(gen());
        char name[] = "/tmp/tracemint-input-XXXXXX";
        fd = mkstemp(name);
        path = name;
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t k = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (k <= 0) break;
            done += static_cast<size_t>(k);
        }
    }
    ~InputFixture() {
        if (fd >= 0) ::close(fd);
        ::unlink(path.c_str());
    }
};

// Reads blocks until the first empty one; checks that every block but the last is
// exactly maxBytes, and that the end stays the end.
std::vector<uint8_t> readAll(BlockReader& reader, size_t maxBytes) {
    std::vector<uint8_t> all;
    bool shortSeen = false;
    for (;;) {
        Bytes block = nextBlock(reader, maxBytes);
        if (block.empty()) break;
        EXPECT_FALSE(shortSeen) << "a block after a short block, at " << all.size();
        EXPECT_LE(block.size(), maxBytes);
        if (block.size() < maxBytes) shortSeen = true;
        all.insert(all.end(), block.begin(), block.end());
    }
    EXPECT_TRUE(nextBlock(reader, maxBytes).empty()) << "data after the end";
    return all;
}

std::vector<uint8_t> sub(const std::vector<uint8_t>& bytes, uint64_t from, uint64_t to) {
    from = std::min<uint64_t>(from, bytes.size());
    to = std::min<uint64_t>(to, bytes.size());
    if (to < from) to = from;
    return std::vector<uint8_t>(bytes.begin() + static_cast<long>(from),
                                bytes.begin() + static_cast<long>(to));
}

TEST(BlockReader, BlocksCoverTheRangeExactly) {
    struct Case {
        size_t fileSize;
        size_t maxBytes;
        uint64_t start;
        uint64_t limit;
    };
    const Case cases[] = {
        {0, 1200, 0, UINT64_MAX},
        {1, 1200, 0, UINT64_MAX},
        {1200, 1200, 0, UINT64_MAX},  // no short block: the next one is empty
        {1201, 1200, 0, UINT64_MAX},
        {5000, 1, 0, UINT64_MAX},
        {5000, 7, 3, UINT64_MAX},  // start offset skips bytes
        {5000, 1200, 0, 2500},     // a limit stops early
        {5000, 1200, 100, 2500},
        {5000, 1200, 0, 5000},           // limit at the end of the file
        {5000, 1200, 0, 9000},           // limit past the end of the file
        {5000, 1200, 6000, UINT64_MAX},  // start past the end
        {5000, 1200, 3000, 2000},        // start past the limit
        // Larger than the reader's buffer: blocks straddle its refills.
        {3 * blockReaderBufferSize + 123, 1200, 0, UINT64_MAX},
        {3 * blockReaderBufferSize + 123, 999, 1, 2 * blockReaderBufferSize + 5},
        {2 * blockReaderBufferSize + 1, blockReaderBufferSize, 0, UINT64_MAX},
        {2 * blockReaderBufferSize + 1, blockReaderBufferSize - 1, 0, UINT64_MAX},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "file " << c.fileSize << ", blocks of " << c.maxBytes
                                          << ", from " << c.start << " to " << c.limit);
        InputFixture in(c.fileSize);
        BlockReader reader = openBlockReader(in.fd, in.path, c.start, c.limit);
        auto all = readAll(reader, c.maxBytes);
        auto expected = sub(in.bytes, c.start, c.limit);
        ASSERT_EQ(all.size(), expected.size());
        EXPECT_TRUE(all == expected);
    }
}

TEST(BlockReader, VaryingBlockSizesReadConsecutiveBytes) {
    // A zero-size request returns nothing and must not end the data.
    InputFixture in(blockReaderBufferSize + 5000);
    BlockReader reader = openBlockReader(in.fd, in.path);
    std::vector<uint8_t> all;
    std::mt19937 gen(7);
    for (;;) {
        EXPECT_TRUE(nextBlock(reader, 0).empty());
        const size_t want = gen() % 70000;
        Bytes block = nextBlock(reader, want);
        if (want > 0 && block.empty()) break;
        all.insert(all.end(), block.begin(), block.end());
    }
    EXPECT_TRUE(all == in.bytes);
}

TEST(BlockReader, RequestLargerThanItsBufferStillReachesTheEnd) {
    // "Empty" means the end of the data, whatever maxBytes a caller asks for: a
    // request larger than the reader's own buffer may come back short, but the
    // bytes beyond the first buffer must not be lost.
    InputFixture in(3 * blockReaderBufferSize);
    BlockReader reader = openBlockReader(in.fd, in.path);
    std::vector<uint8_t> all;
    for (;;) {
        Bytes block = nextBlock(reader, 2 * blockReaderBufferSize);
        if (block.empty()) break;
        all.insert(all.end(), block.begin(), block.end());
    }
    EXPECT_EQ(all.size(), in.bytes.size());
    EXPECT_TRUE(all == in.bytes);
}

TEST(BlockReader, InputReaderStopsAtTheSizeTheRunStartedWith) {
    // The file grows after its size was announced; the extra bytes are not sent.
    InputFixture in(3000);
    InputFile input{in.fd, 2000, in.path};
    BlockReader reader = openBlockReader(input);
    auto all = readAll(reader, 1200);
    EXPECT_TRUE(all == sub(in.bytes, 0, 2000));
}

TEST(BlockReader, ReadFailureEndsTheRunNamingTheFile) {
    struct Case {
        const char* name;
        bool directory;
        std::string message;
    };
    const Case cases[] = {
        {"input-dir", true, "Error: input-dir: Is a directory"},
        {"closed-input", false, "Error: closed-input: Bad file descriptor"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int fd;
        if (c.directory) {
            fd = ::open("/tmp", O_RDONLY | O_DIRECTORY);
            ASSERT_GE(fd, 0);
        } else {
            InputFixture in(10);
            fd = in.fd;  // closed when the fixture goes
        }
        BlockReader reader = openBlockReader(fd, c.name);
        try {
            (void)nextBlock(reader, 1200);
            ADD_FAILURE() << "expected FatalError";
        } catch (const FatalError& e) {
            EXPECT_EQ(e.status, 255);
            EXPECT_EQ(std::string(e.what()), c.message);
        }
        if (c.directory) ::close(fd);
    }
}

}  // namespace
}  // namespace tracemint
