#pragma once

#include <stdexcept>
#include <string>

namespace tracemint {

// The one error type that crosses layers. Whatever detects a condition that ends
// the run throws it; only the run driver catches it, makes sure the capture holds
// every byte produced so far, prints the message and returns the status.
struct FatalError : std::runtime_error {
    int status;
    FatalError(const std::string& message, int exitStatus)
        : std::runtime_error(message), status(exitStatus) {}
};

// Exit statuses of the tool.
inline constexpr int exitSuccess = 0;
inline constexpr int exitUsage = 2;
inline constexpr int exitFailure = 255;

// "Error: NAME: reason" built from errno, for input and output failures.
std::string systemErrorText(const std::string& name, int errorNumber);

}  // namespace tracemint
