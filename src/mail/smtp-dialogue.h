#pragma once

#include "driver/connection.h"

namespace tracemint {

// Mode s: the client submits a mail with the file attached over SMTP.
void runSmtpTransfer(Connection& conn);

}  // namespace tracemint
