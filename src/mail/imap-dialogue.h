#pragma once

#include "driver/connection.h"

namespace tracemint {

// Mode i: the client fetches a mail with the file attached over IMAP.
void runImapTransfer(Connection& conn);

}  // namespace tracemint
