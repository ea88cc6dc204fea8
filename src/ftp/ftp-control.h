#pragma once

#include <cstdint>
#include <string>

#include "common/flow.h"
#include "input/transfer.h"
#include "tcp/tcp-session.h"

namespace tracemint {

// The port the client (active) or the server (passive) announces for the data
// connection: 197 * 256 + 17, so the byte pair 197,17 in PORT and PASV texts.
inline constexpr uint16_t ftpDataPort = 50449;
// The port an active-mode server opens the data connection from.
inline constexpr uint16_t ftpDataServerPort = 20;

// The command that announces the data connection and the server's reply to it:
// PORT or EPRT (active), PASV or EPSV (passive), by the flow's IP version. The
// addresses are those the data connection's packets use: the client's for PORT
// and EPRT, the server's for the PASV reply.
struct FtpAnnouncement {
    std::string command;
    std::string reply;
};
FtpAnnouncement ftpAnnouncement(const Flow& control, bool passive,
                                uint16_t activePort = ftpDataPort);

// "RETR <path>\r\n" with the whole input path. A CR inside the path is followed
// by a NUL, as FTP requires, and a LF goes as "%0A", so the path can neither end
// the command early nor smuggle in another.
std::string ftpRetrieveCommand(const std::string& inFileName);

// The control dialogue up to the 150 reply that precedes the data connection.
// Both return the announced data port.
uint16_t writeFtpActiveDialogue(TcpSession& conn, const Transfer& file);
uint16_t writeFtpPassiveDialogue(TcpSession& conn, const Transfer& file);
// 226, QUIT and 221, after the data connection has been torn down.
void writeFtpClosingDialogue(TcpSession& conn);

}  // namespace tracemint
