#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "input/block-reader.h"

namespace tracemint {

struct ProgressMeter;

// The name standard input goes by when the input operand is "-": in messages,
// in the transfer and in the default capture names.
inline constexpr const char* standardInputName = "stdin";

// Opens the input path ("-" is standard input) for reading and fills input
// (descriptor, name, size) and st (what the open file is). Errors end the run
// with status 255 and keep the system's reason: "Error: Input file NAME not
// found: reason" when it does not exist, "Error: Failed to open infile NAME:
// reason" otherwise, "Error: NAME: Input has to be a file, not a directory".
void openInputFile(InputFile& input, struct stat& st, const std::string& path);

// Whether the size the system reports cannot be trusted, so the input must be
// read to its end before a size is announced: pipes, FIFOs and devices; files
// of pseudo filesystems (procfs, sysfs and the like, whose sizes are 0 or 4096
// whatever they hold); and regular files that claim to be empty.
bool readsLikeAPipe(int fd, const struct stat& st);

// Reads the input to its end into a private temporary file (in directory, else
// $TMPDIR) that then stands in for it, so its size is known and every mode
// carries all of it. An input that turns out to be empty needs no copy. A long
// copy shows progress on meter, when that is on.
void spoolInput(InputFile& input, const std::string& directory, ProgressMeter& meter);

// "Error: NAME: changed while being read (got N of M bytes)".
std::string changedWhileReadText(const std::string& name, uint64_t got, uint64_t expected);

}  // namespace tracemint
