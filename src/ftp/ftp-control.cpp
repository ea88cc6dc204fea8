#include "ftp/ftp-control.h"

#include <arpa/inet.h>

#include <string_view>

#include "tcp/tcp-session.h"

namespace tracemint {
namespace {

constexpr std::string_view welcomeReply = "220 Welcome to tracemint ftp server\r\n";
constexpr std::string_view passwordReply = "331 Please specify the password\r\n";
constexpr std::string_view passCommand = "PASS kez\r\n";
constexpr std::string_view loginReply = "230 Login successful.\r\n";
constexpr std::string_view systCommand = "SYST\r\n";
constexpr std::string_view systReply = "215 UNIX Type: L8\r\n";
constexpr std::string_view typeCommand = "TYPE I\r\n";
constexpr std::string_view typeReply = "200 Switching to Binary mode\r\n";
constexpr std::string_view portReply = "200 Port command successful\r\n";
constexpr std::string_view eprtReply = "200 EPRT: Command successful\r\n";
constexpr std::string_view pasvCommand = "PASV\r\n";
constexpr std::string_view epsvCommand = "EPSV\r\n";
constexpr std::string_view openingReply = "150 Opening BINARY mode data connection\r\n";
constexpr std::string_view transferCompleteReply = "226 Transfer complete\r\n";
constexpr std::string_view quitCommand = "QUIT\r\n";
constexpr std::string_view goodbyeReply = "221 Goodbye.\r\n";

// "a,b,c,d,197,17": an IPv4 address and a port as six decimal bytes.
std::string hostPortBytes(const std::array<uint8_t, 16>& address, uint16_t port) {
    std::string text;
    for (size_t i = 0; i < 4; ++i) text += std::to_string(address[i]) + ",";
    return text + std::to_string(port >> 8) + "," + std::to_string(port & 0xFF);
}

std::string ipv6Text(const std::array<uint8_t, 16>& address) {
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, address.data(), text, sizeof text);
    return text;
}

void writeLogin(TcpSession& conn) {
    sendMessage(conn, welcomeReply, toClient);
    sendMessage(conn, std::string("USER ") + serverHostName + "\r\n", toServer);
    sendMessage(conn, passwordReply, toClient);
    sendMessage(conn, passCommand, toServer);
    sendMessage(conn, loginReply, toClient);
    sendMessage(conn, systCommand, toServer);
    sendMessage(conn, systReply, toClient);
    sendMessage(conn, typeCommand, toServer);
    sendMessage(conn, typeReply, toClient);
}

uint16_t writeDialogue(TcpSession& conn, const Transfer& file, bool passive) {
    writeLogin(conn);
    // The port the data connection goes to: the server's in passive mode, the
    // client's in active mode.
    const uint16_t port = (!passive && file.ftpDataPort != 0) ? file.ftpDataPort : ftpDataPort;
    FtpAnnouncement announcement = ftpAnnouncement(conn.flow, passive, port);
    sendMessage(conn, announcement.command, toServer);
    sendMessage(conn, announcement.reply, toClient);
    sendMessage(conn, ftpRetrieveCommand(file.name), toServer);
    sendMessage(conn, openingReply, toClient);
    return port;
}

}  // namespace

FtpAnnouncement ftpAnnouncement(const Flow& control, bool passive, uint16_t activePort) {
    const uint16_t dataPort = passive ? ftpDataPort : activePort;
    const std::string port = std::to_string(dataPort);
    if (control.ipVersion == 6) {
        if (passive) {
            return {std::string(epsvCommand),
                    "229 Entering Extended Passive Mode (|||" + port + "|)\r\n"};
        }
        return {"EPRT |2|" + ipv6Text(control.source.ip) + "|" + port + "|\r\n", std::string(eprtReply)};
    }
    if (passive) {
        return {std::string(pasvCommand),
                "227 Entering Passive Mode (" + hostPortBytes(control.destination.ip, dataPort) + ")\r\n"};
    }
    return {"PORT " + hostPortBytes(control.source.ip, dataPort) + "\r\n", std::string(portReply)};
}

std::string ftpRetrieveCommand(const std::string& inFileName) {
    std::string line = "RETR ";
    line.reserve(inFileName.size() + 7);
    for (char c : inFileName) {
        // A raw line feed would end the command and start another; servers
        // that take names with one read it percent-encoded.
        if (c == '\n') {
            line += "%0A";
            continue;
        }
        line += c;
        if (c == '\r') line += '\0';
    }
    return line + "\r\n";
}

uint16_t writeFtpActiveDialogue(TcpSession& conn, const Transfer& file) {
    return writeDialogue(conn, file, false);
}

uint16_t writeFtpPassiveDialogue(TcpSession& conn, const Transfer& file) {
    return writeDialogue(conn, file, true);
}

void writeFtpClosingDialogue(TcpSession& conn) {
    sendMessage(conn, transferCompleteReply, toClient);
    sendMessage(conn, quitCommand, toServer);
    sendMessage(conn, goodbyeReply, toClient);
}

}  // namespace tracemint
