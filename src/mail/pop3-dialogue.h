#pragma once

#include "input/transfer.h"
#include "tcp/tcp-session.h"

namespace tracemint {

// The POP3 server's host name in its greeting, and the relay that the mail's
// Received header names.
inline constexpr const char* pop3ServerHost = "pop.example.com";
inline constexpr const char* pop3RelayIPv4 = "198.51.100.25";

// Mode p: the client fetches a mail with the file attached over POP3.
void runPop3Transfer(TcpSession& conn, const Transfer& file);

}  // namespace tracemint
