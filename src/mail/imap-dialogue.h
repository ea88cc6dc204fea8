#pragma once

#include "input/transfer.h"
#include "tcp/tcp-session.h"

namespace tracemint {

// Mode i: the client fetches a mail with the file attached over IMAP.
void runImapTransfer(TcpSession& conn, const Transfer& file);

}  // namespace tracemint
