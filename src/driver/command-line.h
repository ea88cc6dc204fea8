#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tracemint {

// The command line as given: option texts are kept as they come (the last of a
// repeated option counts) and applied after parsing, in a fixed order.
struct CommandLine {
    bool empty = false;  // nothing after the program name
    bool help = false;
    bool version = false;
    bool verbose = false;
    bool ipv6 = false;
    std::vector<std::string> inputs;  // the operands, in order
    std::optional<std::string> emailEncoder, mode, outFile, port, httpEncoder;
    std::optional<std::string> srcEmail, dstEmail, srcIp, dstIp, blockSize, seed;
    std::optional<std::string> name, host, userAgent, contentType, format, jobs;
    bool annotate = false;
    bool nanosecond = false;
    // The network under the conversation.
    bool tcpOptions = false;
    bool randomIsn = false;
    bool delayedAck = false;
    bool realistic = false;
    std::optional<std::string> mtu, window, startTime, rtt, rate, ttl, clientMac, serverMac, vlan;
    std::optional<std::string> gzipLevel;
    // The path between the hosts.
    std::optional<std::string> reorder, duplicate, fragment, splitTexts, loss, captureGap, overlap;
    std::optional<std::string> decoy, decoyText;
};

// Parses argv. Throws FatalError(exitUsage) with the usage text appended for an
// unknown option or a missing argument (the parser has printed its diagnostic on
// standard error).
CommandLine parseCommandLine(int argc, char* argv[]);

std::string usageText();
// The options of the command line as one text, in a fixed order, for the
// capture's own comment: the operands and the -o name are left out, since they
// are local paths; values with spaces or quotes stand in single quotes.
std::string optionsText(const CommandLine& cl);
inline constexpr const char* versionText = "tracemint 1.29";

// Value readers: each returns nothing when the text is not acceptable.
// A decimal integer from lo to hi: digits only, no sign, no spaces.
std::optional<long long> parseInteger(const std::string& text, long long lo, long long hi);
std::optional<uint64_t> parseSeed(const std::string& text);

struct PortSpec {
    std::optional<uint16_t> source;
    uint16_t destination = 0;
};
// "D" or "S:D", each from 1 to 65535.
std::optional<PortSpec> parsePortSpec(const std::string& text);

// Printable ASCII without spaces, 1 to 253 characters.
bool isValidEmailAddress(const std::string& text);

// The name a transfer announces (--name): 1 to 255 bytes, none of them a
// control character (below 0x20, or 0x7F), since it stands in header lines and
// on the FTP command line.
bool isValidAnnouncedName(const std::string& text);
// A server host name (--host): 1 to 253 letters, digits, dots, hyphens and underscores.
bool isValidHostName(const std::string& text);
// A header value (--user-agent): 1 to 986 printable ASCII characters, spaces
// allowed but not at either end (a reader trims them away). 986: a mail header
// line holds at most 998 characters, and "User-Agent: " takes 12.
bool isValidHeaderText(const std::string& text);
// A MIME type (--content-type): type "/" subtype, both tokens (RFC 2045), then
// any number of "; attribute=value" parameters whose value is a token or a quoted
// string; at most 255 characters, printable ASCII only.
bool isValidMimeType(const std::string& text);

struct IpAddress {
    int version = 4;
    uint8_t bytes[16] = {};
};
// A dotted-quad IPv4 address or an IPv6 literal.
std::optional<IpAddress> parseIpAddress(const std::string& text);

// One row of the mode table.
enum class Mode { httpGet, http2, httpPost, smtp, pop3, imap, ftpActive, ftpPassive };
struct ModeRow {
    Mode mode;
    const char* name;    // as given on the command line
    const char* suffix;  // of the capture name
    uint16_t defaultPort;
};
// Splits a mode list into rows: "h2" (or "x") is one mode. Throws FatalError
// (exitUsage) for an empty list or a letter outside the table.
std::vector<ModeRow> parseModeList(const std::string& list);

}  // namespace tracemint
