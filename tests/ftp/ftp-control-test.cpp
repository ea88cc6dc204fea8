#include "ftp/ftp-control.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "support/pcap-reader.h"

namespace tracemint {
namespace {

using testing::CaptureFixture;
using testing::Record;

// A control flow with the given addresses (IPv4 or IPv6 literals, empty for
// the fixture's defaults).
void setAddresses(Flow& flow, const std::string& client, const std::string& server) {
    for (auto [text, ip] :
         {std::pair(client, &flow.source.ip), std::pair(server, &flow.destination.ip)}) {
        if (text.empty()) continue;
        *ip = {};
        ASSERT_EQ(inet_pton(flow.ipVersion == 6 ? AF_INET6 : AF_INET, text.c_str(), ip->data()), 1)
            << text;
    }
}

TEST(FtpAnnouncement, TextsCarryTheAddressesThePacketsUse) {
    struct Case {
        const char* label;
        uint8_t ipVersion;
        bool passive;
        const char* client;
        const char* server;
        const char* command;
        const char* reply;
    };
    const Case cases[] = {
        {"active IPv4, defaults", 4, false, "", "", "PORT 192,168,0,1,197,17\r\n",
         "200 Port command successful\r\n"},
        {"passive IPv4, defaults", 4, true, "", "", "PASV\r\n",
         "227 Entering Passive Mode (203,0,113,10,197,17)\r\n"},
        {"active IPv6, defaults", 6, false, "", "",
         "EPRT |2|2001:db8::214:51ff:fe2f:1556|50449|\r\n", "200 EPRT: Command successful\r\n"},
        {"passive IPv6, defaults", 6, true, "", "", "EPSV\r\n",
         "229 Entering Extended Passive Mode (|||50449|)\r\n"},
        // PORT names the client, whatever the server is; PASV the server.
        {"active IPv4, --srcip", 4, false, "10.1.1.1", "10.9.9.9", "PORT 10,1,1,1,197,17\r\n",
         "200 Port command successful\r\n"},
        {"passive IPv4, --dstip", 4, true, "10.9.9.9", "10.2.2.2", "PASV\r\n",
         "227 Entering Passive Mode (10,2,2,2,197,17)\r\n"},
        {"active IPv4, zero and 255 bytes", 4, false, "255.0.10.100", "",
         "PORT 255,0,10,100,197,17\r\n", "200 Port command successful\r\n"},
        // Canonical IPv6 text: lower case, no leading zeros, the first of two
        // equally long zero runs compressed.
        {"active IPv6, written long", 6, false, "2001:0DB8:0000:0000:0001:0000:0000:0001", "",
         "EPRT |2|2001:db8::1:0:0:1|50449|\r\n", "200 EPRT: Command successful\r\n"},
        {"active IPv6, loopback", 6, false, "::1", "", "EPRT |2|::1|50449|\r\n",
         "200 EPRT: Command successful\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        CaptureFixture f(c.ipVersion);
        setAddresses(f.conn.flow, c.client, c.server);
        FtpAnnouncement a = ftpAnnouncement(f.conn.flow, c.passive);
        EXPECT_EQ(a.command, c.command);
        EXPECT_EQ(a.reply, c.reply);
    }
}

TEST(FtpRetrieveCommand, CarriesTheWholePath) {
    const std::string longPath = std::string(120, 'd') + "/" + std::string(200, 'f');
    const std::pair<std::string, std::string> cases[] = {
        {"in.bin", "RETR in.bin\r\n"},
        {"../inputs/nested/report.pdf", "RETR ../inputs/nested/report.pdf\r\n"},
        {"with space.txt", "RETR with space.txt\r\n"},
        // Longer than any fixed command buffer: nothing is cut, the line end stays.
        {longPath, "RETR " + longPath + "\r\n"},
        // A CR in a path is padded with NUL so it cannot end the command.
        {"a\rb\r", std::string("RETR a\r\0b\r\0\r\n", 13)},
        // A line feed would end the command and start another.
        {"a\nDELE important.txt", "RETR a%0ADELE important.txt\r\n"},
        {"a\r\nb", std::string("RETR a\r\0%0Ab\r\n", 14)},
    };
    for (const auto& [path, line] : cases) {
        EXPECT_EQ(ftpRetrieveCommand(path), line) << path.size() << "-character path";
    }
}

// The payload segments of a capture as (direction, text), checking that each
// is followed by the peer's pure acknowledgement.
std::vector<std::pair<uint8_t, std::string>> messages(const std::vector<Record>& records,
                                                      uint16_t clientPort) {
    std::vector<std::pair<uint8_t, std::string>> out;
    for (size_t i = 0; i < records.size(); ++i) {
        if (records[i].payload().empty()) continue;
        const uint8_t direction = records[i].srcPort() == clientPort ? toServer : toClient;
        out.emplace_back(direction, records[i].payloadText());
        EXPECT_EQ(records[i].flags(), tcpPshAck);
        if (i + 1 < records.size()) {
            EXPECT_EQ(records[i + 1].flags(), tcpAck);
            EXPECT_TRUE(records[i + 1].payload().empty());
            EXPECT_EQ(records[i + 1].dstPort(), records[i].srcPort()) << "ACK from the peer";
        }
    }
    return out;
}

TEST(FtpControlDialogue, LoginAnnouncementRetrievalAndClosingInOrder) {
    for (bool passive : {false, true}) {
        for (uint8_t ipVersion : {uint8_t{4}, uint8_t{6}}) {
            SCOPED_TRACE(::testing::Message()
                         << (passive ? "passive" : "active") << " IPv" << int(ipVersion));
            CaptureFixture f(ipVersion);
            f.conn.flow.destination.port = 21;
            f.file.name = "dir/in.bin";
            const FtpAnnouncement a = ftpAnnouncement(f.conn.flow, passive);
            const uint16_t port =
                passive ? writeFtpPassiveDialogue(f.conn, f.file) : writeFtpActiveDialogue(f.conn, f.file);
            writeFtpClosingDialogue(f.conn);
            EXPECT_EQ(port, 50449);
            auto records = f.finish();
            EXPECT_EQ(records.size(), 2u * (13 + 3));

            const std::vector<std::pair<uint8_t, std::string>> expected = {
                {toClient, "220 Welcome to tracemint ftp server\r\n"},
                {toServer, "USER fileserver\r\n"},
                {toClient, "331 Please specify the password\r\n"},
                {toServer, "PASS kez\r\n"},
                {toClient, "230 Login successful.\r\n"},
                {toServer, "SYST\r\n"},
                {toClient, "215 UNIX Type: L8\r\n"},
                {toServer, "TYPE I\r\n"},
                {toClient, "200 Switching to Binary mode\r\n"},
                {toServer, a.command},
                {toClient, a.reply},
                {toServer, "RETR dir/in.bin\r\n"},
                {toClient, "150 Opening BINARY mode data connection\r\n"},
                {toClient, "226 Transfer complete\r\n"},
                {toServer, "QUIT\r\n"},
                {toClient, "221 Goodbye.\r\n"},
            };
            EXPECT_EQ(messages(records, f.conn.flow.source.port), expected);
        }
    }
}

}  // namespace
}  // namespace tracemint
