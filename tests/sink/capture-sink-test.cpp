#include "sink/capture-sink.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "common/fatal-error.h"
#include "sink/pending-files.h"
#include "support/pcap-reader.h"

namespace tracemint {
namespace {

using testing::readFileBytes;

// A private directory, removed with everything in it at the end of the test.
struct TempDirectory {
    std::string path;
    TempDirectory() {
        char name[] = "/tmp/tracemint-sink-XXXXXX";
        path = ::mkdtemp(name);
    }
    ~TempDirectory() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    std::set<std::string> names() const {
        std::set<std::string> found;
        DIR* dir = ::opendir(path.c_str());
        while (dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") found.insert(name);
        }
        ::closedir(dir);
        return found;
    }
};

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

void put(CaptureSink& sink, const std::string& text) {
    std::memcpy(sinkSpace(sink, text.size()), text.data(), text.size());
}

// Two ways a capture comes to its name: written through the sink, or written
// first into an unnamed file beside the name that the sink then adopts.
enum class Made { written, adopted };

void makeCapture(CaptureSink& sink, const std::string& directory, const std::string& name,
                 Made made, const std::string& text) {
    if (made == Made::written) {
        openSink(sink, name, 8);
        put(sink, text.substr(0, 16));  // more than the buffer: written to the file
        put(sink, text.substr(16));
        return;
    }
    const int fd = createUnnamedCapture(directory);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(::write(fd, text.data(), text.size()), ssize_t(text.size()));
    ASSERT_TRUE(adoptUnnamedCapture(sink, name, fd));
}

TEST(CaptureSink, NameIsReplacedOnlyWhenTheCaptureIsWhole) {
    // What is at the name before the run: nothing, an older file, a link to a
    // file elsewhere (replaced, the file it points to untouched), a dangling link.
    enum class Before { nothing, file, linkToFile, danglingLink };
    for (Made made : {Made::written, Made::adopted})
        for (Before before :
             {Before::nothing, Before::file, Before::linkToFile, Before::danglingLink}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(made)) + " " +
                         std::to_string(static_cast<int>(before)));
            TempDirectory dir;
            const std::string name = dir / "out.pcap";
            switch (before) {
                case Before::nothing: break;
                case Before::file: writeText(name, "older capture"); break;
                case Before::linkToFile:
                    writeText(dir / "victim", "not ours");
                    ASSERT_EQ(::symlink("victim", name.c_str()), 0);
                    break;
                case Before::danglingLink: ASSERT_EQ(::symlink("nowhere", name.c_str()), 0); break;
            }
            const std::set<std::string> namesBefore = dir.names();
            CaptureSink sink;
            makeCapture(sink, dir.path, name, made, "0123456789abcdeftail");
            EXPECT_EQ(sink.kind, SinkKind::replaceName);
            // Until the commit the name shows what was there; the capture in progress
            // is one more file beside it.
            std::set<std::string> during = dir.names();
            EXPECT_EQ(during.size(), namesBefore.size() + 1);
            if (before == Before::file) {
                EXPECT_EQ(readFileBytes(name), bytesOf("older capture"));
            }
            commitSink(sink);
            struct stat st {};
            ASSERT_EQ(::lstat(name.c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(readFileBytes(name), bytesOf("0123456789abcdeftail"));
            std::set<std::string> after = namesBefore;
            after.insert("out.pcap");
            EXPECT_EQ(dir.names(), after);
            if (before == Before::linkToFile) {
                EXPECT_EQ(readFileBytes(dir / "victim"), bytesOf("not ours"));
            }
        }
}

TEST(CaptureSink, DiscardRemovesTheCaptureInProgress) {
    TempDirectory dir;
    writeText(dir / "out.pcap", "older capture");
    CaptureSink sink;
    openSink(sink, dir / "out.pcap", 4);
    put(sink, "partial capture bytes");
    discardSink(sink);
    EXPECT_LT(sink.fd, 0);
    EXPECT_EQ(dir.names(), std::set<std::string>{"out.pcap"});
    EXPECT_EQ(readFileBytes(dir / "out.pcap"), bytesOf("older capture"));
}

TEST(CaptureSink, NewCaptureTakesTheModeOfAnyNewFile) {
    for (Made made : {Made::written, Made::adopted}) {
        SCOPED_TRACE(static_cast<int>(made));
        TempDirectory dir;
        const mode_t previous = ::umask(027);
        CaptureSink sink;
        makeCapture(sink, dir.path, dir / "out.pcap", made, "0123456789abcdeftail");
        commitSink(sink);
        ::umask(previous);
        struct stat st {};
        ASSERT_EQ(::stat((dir / "out.pcap").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u);
    }
}

TEST(CaptureSink, WhatIsNotARegularFileIsWrittenInPlace) {
    TempDirectory dir;
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/null", (dir / "null-link").c_str()), 0);
    int error = 0;
    EXPECT_EQ(sinkKindOf("/dev/null", error), SinkKind::inPlace);
    EXPECT_EQ(sinkKindOf(dir / "fifo", error), SinkKind::inPlace);
    // A link to a device is written through: replacing it gains nothing.
    EXPECT_EQ(sinkKindOf(dir / "null-link", error), SinkKind::inPlace);
    EXPECT_EQ(sinkKindOf("-", error), SinkKind::standardOutput);
    EXPECT_EQ(sinkKindOf("/proc/self/fd/1", error), SinkKind::standardOutput);
    EXPECT_EQ(error, 0);

    // The device stays a device after a whole capture went into it.
    CaptureSink sink;
    openSink(sink, dir / "null-link", 16);
    put(sink, "into the device");
    commitSink(sink);
    struct stat st {};
    ASSERT_EQ(::lstat((dir / "null-link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(dir.names(), (std::set<std::string>{"fifo", "null-link"}));

    // A capture written beside such a name is not put in its place: the caller
    // keeps the file and writes its bytes through the device.
    const int fd = createUnnamedCapture(dir.path);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(adoptUnnamedCapture(sink, dir / "null-link", fd));
    EXPECT_EQ(sink.fd, -1);
    EXPECT_EQ(::write(fd, "x", 1), 1);
    ::close(fd);
    EXPECT_EQ(dir.names(), (std::set<std::string>{"fifo", "null-link"}));
}

TEST(CaptureSink, FailuresNameTheCaptureAndTheReason) {
    TempDirectory dir;
    const std::string inMissing = dir / "nodir/out.pcap";
    CaptureSink sink;
    try {
        openSink(sink, inMissing, 16);
        FAIL() << "expected FatalError";
    } catch (const FatalError& e) {
        EXPECT_EQ(e.status, exitFailure);
        EXPECT_EQ(std::string(e.what()),
                  "Error: Failed to open outfile " + inMissing + ": No such file or directory");
    }
    // A rename that cannot happen: a directory took the name meanwhile.
    openSink(sink, dir / "out.pcap", 16);
    ASSERT_EQ(::mkdir((dir / "out.pcap").c_str(), 0700), 0);
    try {
        commitSink(sink);
        FAIL() << "expected FatalError";
    } catch (const FatalError& e) {
        EXPECT_EQ(std::string(e.what()), "Error: " + (dir / "out.pcap") + ": Is a directory");
    }
    discardSink(sink);
    EXPECT_EQ(dir.names(), std::set<std::string>{"out.pcap"});
}

TEST(CaptureSink, TerminationSignalRemovesTheCaptureInProgress) {
    for (Made made : {Made::written, Made::adopted})
        for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(made)) + " " +
                         std::to_string(signalNumber));
            TempDirectory dir;
            pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                removePendingFilesOnSignals();
                CaptureSink sink;
                makeCapture(sink, dir.path, dir / "out.pcap", made, "a capture that never ends");
                ::raise(signalNumber);
                ::_exit(0);  // not reached
            }
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFSIGNALED(status));
            EXPECT_EQ(WTERMSIG(status), signalNumber);
            EXPECT_EQ(dir.names(), std::set<std::string>{});
        }
}

TEST(CaptureSink, OverlongComponentsAreFoundBeforeAnythingIsCreated) {
    const std::string longest(255, 'a');
    struct Case {
        std::string name;
        bool overlong;
    };
    const Case cases[] = {
        {"out.pcap", false},
        {longest, false},
        {longest + "b", true},
        {"/tmp/" + longest + "b", true},
        {longest + "/x.pcap", false},  // the directory does not exist: 255 is the limit
        {longest + "b/x.pcap", true},
        {"dir//x.pcap", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hasOverlongComponent(c.name), c.overlong) << c.name.size() << ": " << c.name;
    }
}

}  // namespace
}  // namespace tracemint
