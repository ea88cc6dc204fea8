#include "input/progress-meter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace tracemint {
namespace {

TEST(ProgressMeter, TextShowsBytesRateAndCapture) {
    struct Case {
        uint64_t done, total, elapsedNs;
        const char* expected;
    };
    const Case cases[] = {
        {512ull << 20, 1024ull << 20, 2'000'000'000,
         "a.pcap: 512.0 of 1024.0 MiB (50%), 256.0 MiB/s"},
        {0, 64ull << 20, 0, "a.pcap: 0.0 of 64.0 MiB (0%), 0.0 MiB/s"},
        // A file that grew while being read never shows more than 100%.
        {80ull << 20, 64ull << 20, 1'000'000'000, "a.pcap: 64.0 of 64.0 MiB (100%), 64.0 MiB/s"},
        // Sizes past 4 GiB do not wrap.
        {5ull << 30, 5ull << 30, 10'000'000'000,
         "a.pcap: 5120.0 of 5120.0 MiB (100%), 512.0 MiB/s"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(progressText("a.pcap", c.done, c.total, c.elapsedNs), c.expected);
    }
}

TEST(ProgressMeter, RedrawsAtMostTenTimesASecond) {
    ProgressMeter meter;
    EXPECT_TRUE(progressDue(meter, 5));  // the first line at once
    meter.drawn = true;
    meter.lastDrawNs = 1'000'000'000;
    EXPECT_FALSE(progressDue(meter, 1'000'000'000 + progressRedrawNs - 1));
    EXPECT_TRUE(progressDue(meter, 1'000'000'000 + progressRedrawNs));
}

TEST(ProgressMeter, OffUnlessATerminalAndALargeInput) {
    int file = ::open("/dev/null", O_WRONLY);
    ASSERT_GE(file, 0);
    EXPECT_EQ(makeProgressMeter(file, 1ull << 40).fd, -1);  // not a terminal
    ::close(file);
    int tty = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (tty < 0) GTEST_SKIP() << "no pseudo-terminal here";
    EXPECT_EQ(makeProgressMeter(tty, progressMinimumInput - 1).fd, -1);
    EXPECT_EQ(makeProgressMeter(tty, progressMinimumInput).fd, tty);
    ::close(tty);
}

}  // namespace
}  // namespace tracemint
