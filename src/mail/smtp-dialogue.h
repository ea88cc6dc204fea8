#pragma once

#include "input/transfer.h"
#include "tcp/tcp-session.h"

namespace tracemint {

// Mode s: the client submits a mail with the file attached over SMTP.
void runSmtpTransfer(TcpSession& conn, const Transfer& file);

}  // namespace tracemint
