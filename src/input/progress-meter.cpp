#include "input/progress-meter.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "common/file-io.h"

namespace tracemint {
namespace {

uint64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// Carriage return, the text, then "erase to end of line" so a shorter text
// leaves nothing of the longer one before it. Failures to draw are ignored: the
// line is a courtesy, the capture is what matters.
void drawLine(int fd, const std::string& text) {
    const std::string line = "\r" + text + "\x1b[K";
    (void)writeAll(fd, Bytes(reinterpret_cast<const uint8_t*>(line.data()), line.size()));
}

}  // namespace

ProgressMeter makeProgressMeter(int fd, uint64_t inputSize) {
    ProgressMeter meter;
    if (inputSize >= progressMinimumInput && ::isatty(fd) == 1) meter.fd = fd;
    meter.total = inputSize;
    return meter;
}

ProgressMeter makeReadingMeter(int fd) {
    ProgressMeter meter;
    if (::isatty(fd) == 1) meter.fd = fd;
    return meter;
}

void startProgress(ProgressMeter& meter, const std::string& label) {
    if (meter.fd < 0) return;
    meter.label = label;
    meter.startNs = monotonicNs();
    meter.lastDrawNs = 0;
    meter.drawn = false;
}

bool progressDue(const ProgressMeter& meter, uint64_t nowNs) {
    return !meter.drawn || nowNs - meter.lastDrawNs >= progressRedrawNs;
}

void updateProgress(ProgressMeter& meter, uint64_t done) {
    if (meter.fd < 0) return;
    uint64_t now = monotonicNs();
    if (!progressDue(meter, now)) return;
    drawLine(meter.fd, progressText(meter.label, done, meter.total, now - meter.startNs));
    meter.lastDrawNs = now;
    meter.drawn = true;
}

void clearProgress(ProgressMeter& meter) {
    if (meter.fd < 0 || !meter.drawn) return;
    drawLine(meter.fd, "");
    meter.drawn = false;
}

std::string progressText(const std::string& label, uint64_t done, uint64_t total,
                         uint64_t elapsedNs) {
    constexpr double mib = 1024.0 * 1024.0;
    if (total != 0 && done > total) done = total;
    const double seconds = static_cast<double>(elapsedNs) / 1e9;
    const double rate = seconds > 0 ? static_cast<double>(done) / mib / seconds : 0.0;
    const unsigned percent = total ? static_cast<unsigned>(done * 100 / total) : 100;
    char numbers[96];
    if (total == 0) {
        // Reading an input of unknown size (a pipe) to its end.
        std::snprintf(numbers, sizeof numbers, ": %.1f MiB read, %.1f MiB/s",
                      static_cast<double>(done) / mib, rate);
        return label + numbers;
    }
    std::snprintf(numbers, sizeof numbers, ": %.1f of %.1f MiB (%u%%), %.1f MiB/s",
                  static_cast<double>(done) / mib, static_cast<double>(total) / mib, percent, rate);
    return label + numbers;
}

}  // namespace tracemint
