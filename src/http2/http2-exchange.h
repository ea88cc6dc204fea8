#pragma once

#include "driver/connection.h"

namespace tracemint {

// Modes h2 and x: an HTTP/1.1 GET upgraded to cleartext HTTP/2, the file in DATA frames.
void runHttp2Transfer(Connection& conn);

}  // namespace tracemint
