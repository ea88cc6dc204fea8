#pragma once

#include <cstdint>
#include <string>

namespace tracemint {

// One line on a terminal that shows how far a long run has got: the bytes of the
// input read so far, the rate, and the capture being written. It is redrawn in
// place at most ten times a second and erased when the capture is done, so the
// normal output (on standard output) reads the same with or without it.
struct ProgressMeter {
    int fd = -1;  // the terminal; -1 when the meter is off
    uint64_t total = 0;
    std::string label;
    uint64_t startNs = 0;
    uint64_t lastDrawNs = 0;
    bool drawn = false;
};

// Inputs smaller than this finish before a progress line would help.
inline constexpr uint64_t progressMinimumInput = 64ull << 20;
inline constexpr uint64_t progressRedrawNs = 100'000'000;

// A meter on fd when it is a terminal and the input is large enough; off otherwise.
ProgressMeter makeProgressMeter(int fd, uint64_t inputSize);
// A meter on fd, when it is a terminal, for reading an input of unknown size to
// its end; its line shows the bytes read so far and the rate.
ProgressMeter makeReadingMeter(int fd);
// Starts a new pass over the input for the named capture.
void startProgress(ProgressMeter& meter, const std::string& label);
// Reports `done` bytes of the input read; draws when the last drawing is old enough.
void updateProgress(ProgressMeter& meter, uint64_t done);
// Erases the line, if one is shown.
void clearProgress(ProgressMeter& meter);

// The text of the line: "NAME: 512.0 of 1024.0 MiB (50%), 830.2 MiB/s", or for
// a total of 0 (unknown) "NAME: 512.0 MiB read, 830.2 MiB/s".
std::string progressText(const std::string& label, uint64_t done, uint64_t total,
                         uint64_t elapsedNs);
// Whether a line should be drawn at nowNs: the first time at once, then every
// progressRedrawNs at most.
bool progressDue(const ProgressMeter& meter, uint64_t nowNs);

}  // namespace tracemint
