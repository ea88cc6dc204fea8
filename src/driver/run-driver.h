#pragma once

#include <ostream>

namespace tracemint {

// The whole run: reads the command line, validates every option and the input
// before the first capture is created, then writes one capture per mode. Messages
// go to out; the result is the exit status (0, 2 for a usage or value error, 255
// for an input or output error). The "Writing to" lines, the -v lines and what
// --help and --version print go to out (to err instead when the capture itself
// goes to standard output); error messages, warnings and the usage text of a
// usage error go to err.
int runTracemint(int argc, char* argv[], std::ostream& out, std::ostream& err);

}  // namespace tracemint
