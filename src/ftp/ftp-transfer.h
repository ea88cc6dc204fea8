#pragma once

#include "driver/connection.h"

namespace tracemint {

// Modes f (active, passive false) and F (passive true): the control dialogue and
// the data connection that carries the file.
void runFtpTransfer(Connection& conn, bool passive);

// The record of the data connection, filled from the control record. Active:
// the server is the source side (port 20); passive: the client is, from a fresh
// random port. The file always goes from the server to the client, and frames
// from the server always carry the server's MAC as source. dstPort is left for
// the caller to set from the port the dialogue announced.
Connection ftpDataRecord(const Connection& control, bool passive);

// Sends the whole input, from its first byte, over the data record's
// connection: one segment per block, each acknowledged at once.
void writeFtpDataTransfer(Connection& data);

}  // namespace tracemint
