#pragma once

#include <cstdint>
#include <string>

namespace tracemint {

// A private, unnamed temporary file in the working directory, open for reading
// and writing: no other process can find it by name, nothing is left behind, and
// no planted link can redirect it. A failure ends the run (status 255).
int createPrivateTempFile(const std::string& purpose);

// Copies everything readable from fd (a pipe, a FIFO, a device) into a new private
// temporary file and returns that file's descriptor; copied receives its size.
int copyToPrivateTempFile(int fd, const std::string& name, uint64_t& copied);

}  // namespace tracemint
