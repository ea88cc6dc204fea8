#pragma once

#include "driver/connection.h"

namespace tracemint {

// Modes f (active, passive false) and F (passive true): the control dialogue and
// the data connection that carries the file.
void runFtpTransfer(Connection& conn, bool passive);

}  // namespace tracemint
