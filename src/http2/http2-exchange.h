#pragma once

#include <string>
#include <string_view>

#include "input/transfer.h"
#include "tcp/tcp-session.h"

namespace tracemint {

// Modes h2 and x: an HTTP/1.1 GET upgraded to cleartext HTTP/2, the file in DATA frames.
void runHttp2Transfer(TcpSession& conn, const Transfer& file);

// The HTTP/1.1 request that asks for the upgrade, exposed so tests can hold it
// against the rules. Chosen texts replace the host and the agent.
std::string upgradeRequestText(const std::string& encodedName, const ConversationTexts& texts = {});

inline constexpr const char* switchingProtocolsText =
    "HTTP/1.1 101 Switching Protocols\r\n"
    "Connection: Upgrade\r\n"
    "Upgrade: h2c\r\n"
    "\r\n";

// The client connection preface (RFC 7540, section 3.5), which opens the HTTP/2
// side of the connection once the upgrade is agreed.
inline constexpr std::string_view clientPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

}  // namespace tracemint
