#pragma once

#include "common/flow.h"
#include "input/transfer.h"
#include "tcp/tcp-session.h"

namespace tracemint {

// Modes f (active, passive false) and F (passive true): the control dialogue and
// the data connection that carries the file.
void runFtpTransfer(TcpSession& conn, const Transfer& file, bool passive);

// The flow of the data connection, from the control connection's. Active: the
// server host opens it, from port 20; passive: the client does, from a fresh
// random port. The file always goes from the server to the client. The
// destination port is left for the caller to set from the port the dialogue
// announced.
// clientPort, when not 0, is the client's own port of a passive data connection.
Flow ftpDataFlow(const Flow& control, bool passive, Random& random, uint16_t clientPort = 0);
// The direction in which the data connection carries the file.
inline uint8_t ftpDataDirection(bool passive) {
    return passive ? toClient : toServer;
}

// Sends the whole input, from its first byte, over the data connection: one
// segment per block.
void writeFtpDataTransfer(TcpSession& data, const Transfer& file, uint8_t direction);

}  // namespace tracemint
