#include "input/input-file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/wait.h>

#include <cstdlib>
#include <functional>
#include <fstream>
#include <string>
#include <vector>

#include "common/fatal-error.h"
#include "input/progress-meter.h"

namespace tracemint {
namespace {

struct TempDirectory {
    std::string path;
    TempDirectory() {
        char name[] = "/tmp/tracemint-input-XXXXXX";
        path = ::mkdtemp(name);
    }
    ~TempDirectory() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

std::string fatalText(const std::function<void()>& call) {
    try {
        call();
    } catch (const FatalError& e) {
        EXPECT_EQ(e.status, exitFailure);
        return e.what();
    }
    return "no error";
}

std::vector<uint8_t> readAll(const InputFile& input) {
    std::vector<uint8_t> bytes;
    BlockReader reader = openBlockReader(input);
    for (Bytes block; !(block = nextBlock(reader, 1000)).empty();) {
        bytes.insert(bytes.end(), block.begin(), block.end());
    }
    return bytes;
}

TEST(InputFile, OpenErrorsKeepTheSystemsReason) {
    TempDirectory dir;
    ::mkdir((dir / "sub").c_str(), 0700);
    const std::string longName(300, 'x');
    struct Case {
        std::string path;
        std::string message;
    };
    const Case cases[] = {
        {dir / "missing", "Error: Input file " + (dir / "missing") +
                              " not found: No such file or directory"},
        {dir / "sub", "Error: " + (dir / "sub") + ": Input has to be a file, not a directory"},
        {longName, "Error: Failed to open infile " + longName + ": File name too long"},
        {dir / "missing/deeper", "Error: Input file " + (dir / "missing/deeper") +
                                     " not found: No such file or directory"},
    };
    for (const auto& c : cases) {
        InputFile input;
        struct stat st {};
        EXPECT_EQ(fatalText([&] { openInputFile(input, st, c.path); }), c.message);
        EXPECT_LT(input.fd, 0);
    }
}

TEST(InputFile, SizesTheSystemMisreportsAreReadLikeAPipe) {
    TempDirectory dir;
    std::ofstream(dir / "data") << "some content";
    std::ofstream(dir / "empty");
    struct Case {
        std::string path;
        bool likeAPipe;
    };
    std::vector<Case> cases = {
        {dir / "data", false},
        {dir / "empty", true},          // a claimed size of 0 is checked by reading
        {"/proc/self/status", true},    // procfs: size 0, content made up when read
        {"/dev/null", true},            // a device
    };
    // sysfs: every attribute claims a page.
    if (::access("/sys/kernel/mm/transparent_hugepage/enabled", R_OK) == 0) {
        cases.push_back({"/sys/kernel/mm/transparent_hugepage/enabled", true});
    }
    for (const auto& c : cases) {
        InputFile input;
        struct stat st {};
        openInputFile(input, st, c.path);
        EXPECT_EQ(readsLikeAPipe(input.fd, st), c.likeAPipe) << c.path;
        ::close(input.fd);
    }
}

TEST(InputFile, SpoolingCarriesAPseudoFileWhole) {
    // /proc/self/maps claims 0 bytes and holds far more.
    TempDirectory dir;
    InputFile input;
    struct stat st {};
    openInputFile(input, st, "/proc/self/maps");
    EXPECT_EQ(input.size, 0u);
    ProgressMeter meter;
    spoolInput(input, dir.path, meter);
    EXPECT_GT(input.size, 100u);
    const std::vector<uint8_t> bytes = readAll(input);
    EXPECT_EQ(bytes.size(), input.size);
    EXPECT_NE(std::string(bytes.begin(), bytes.end()).find("[stack]"), std::string::npos);
    ::close(input.fd);
}

TEST(InputFile, SpoolingFromAPipeAndFromNothing) {
    TempDirectory dir;
    for (size_t size : {size_t{0}, size_t{1}, size_t{200'000}}) {
        SCOPED_TRACE(size);
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        std::vector<uint8_t> data(size);
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
        pid_t child = ::fork();
        if (child == 0) {
            ::close(fds[0]);
            size_t done = 0;
            while (done < size) done += static_cast<size_t>(::write(fds[1], data.data() + done, size - done));
            ::_exit(0);
        }
        ::close(fds[1]);
        InputFile input;
        input.fd = fds[0];
        input.name = "pipe";
        ProgressMeter meter;
        spoolInput(input, dir.path, meter);
        EXPECT_EQ(input.size, size);
        EXPECT_EQ(readAll(input), data);
        ::close(input.fd);
        ::waitpid(child, nullptr, 0);
    }
}

TEST(InputFile, InputThatShrinksWhileReadIsAnError) {
    TempDirectory dir;
    const std::string path = dir / "in.bin";
    std::ofstream(path) << std::string(300'000, 'a');
    InputFile input;
    struct stat st {};
    openInputFile(input, st, path);
    ASSERT_EQ(input.size, 300'000u);
    ASSERT_EQ(::truncate(path.c_str(), 100'000), 0);
    EXPECT_EQ(fatalText([&] { readAll(input); }),
              "Error: " + path + ": changed while being read (got 100000 of 300000 bytes)");
    // Growth is not read: the announced size holds.
    ASSERT_EQ(::truncate(path.c_str(), 400'000), 0);
    EXPECT_EQ(readAll(input).size(), 300'000u);
    ::close(input.fd);
}

}  // namespace
}  // namespace tracemint
