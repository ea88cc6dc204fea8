#pragma once

#include "driver/connection.h"

namespace tracemint {

// Mode p: the client fetches a mail with the file attached over POP3.
void runPop3Transfer(Connection& conn);

}  // namespace tracemint
