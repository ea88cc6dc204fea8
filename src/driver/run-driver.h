#pragma once

#include <ostream>

namespace tracemint {

// The whole run: reads the command line, validates every option and the input
// before the first capture is created, then writes one capture per mode. Messages
// go to out; the result is the exit status (0, 2 for a usage or value error, 255
// for an input or output error).
int runTracemint(int argc, char* argv[], std::ostream& out);

}  // namespace tracemint
