#include "driver/command-line.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <cstring>
#include <string_view>

#include "common/fatal-error.h"

namespace tracemint {
namespace {

// Three texts, each printed followed by a line end.
constexpr const char* usageLines[] = {
    "",
    "tracemint - developed by Nardo Vesk(nardo.vesk@example.com)",
    "Version: 1.29",
    "Takes a file as input and creates a pcap showing that file being transferred between hosts",
    "",
    "Options:",
    "--block-size size\tspecify the payload size per packet[1 to 1200]",
    "",
    "--srcemail address\tspecify the sender's email address",
    "--dstemail address\tspecify the recipient's email address",
    "",
    "-e email encoding\r",
    "\t\t\t0 - base64",
    "\t\t\t1 - quoted printable",
    "\t\t\t2 - UU encoding",
    "\t\t\t[default: base64]",
    "",
    "--http-encoder\t\t0 - default transfer",
    "\t\t\t1 - gzip compression",
    "\t\t\t2 - chunked encoding",
    "\t\t\t3 - gzip compression and chunked encoding",
    "--gzip-level level\tdeflate level of the gzip body [0 to 3, default: 3]",
    "\t\t\t0 to 2 take about 2/3 of the time of 3; against 3, 2 gives a body 2% larger,",
    "\t\t\t1 4% larger, 0 17% larger (shared libraries; random bytes do not shrink)",
    "-m mode\r",
    "\t\t\th - http GET (download)\r",
    "\t\t\th2 - http2 GET (download)\r",
    "\t\t\tH - http POST (upload)\r",
    "\t\t\ts - smtp\r",
    "\t\t\tp - pop3\r",
    "\t\t\ti - imap\r",
    "\t\t\tf - active ftp\r",
    "\t\t\tF - passive ftp\r",
    "\t\t\t[default: http GET]",
    "",
    "-o outfile\t\toutput filename [default: <filename>-<protocol>.pcap]",
    "-p port[:port]\t\tspecify [source and] destination port",
    "\t\t\t-p 8080 will simulate a connection from a random port to port 8080",
    "\t\t\t-p 1234:80 will simulate a connection from port 1234 to port 80",
    "\t\t\t[default: use IANA assigned port for the protocol]",
    "",
    "--srcip ip_address\tspecify source IP address",
    "--dstip ip_address\tspecify destination IP address",
    "",
    "-6\t\t\tUse IPv6 instead of the default IPv4",
    "",
    "Network (all off by default):",
    "--mtu N\t\t\tlink MTU, 576 to 9216 [1500]; --block-size may then go up to",
    "\t\t\tMTU - 40 (IPv4) or MTU - 60 (IPv6)",
    "--tcp-options\t\tMSS, SACK-permitted, window scale and timestamps, as Linux sends them",
    "--window N\t\tadvertised receive window in octets",
    "--random-isn\t\tinitial sequence numbers from the full 32-bit range",
    "--delayed-ack\t\tone ACK for every second full-sized segment",
    "--start-time T\t\ttime of the first packet: 2026-01-31T12:00:00Z, Unix seconds, or now",
    "--rtt MS\t\tround trip in milliseconds; ACKs come half of it after the data",
    "--rate MBIT\t\tpayload paced at this many Mbit/s",
    "--ttl N\t\t\tIPv4 TTL or IPv6 hop limit [64]",
    "--client-mac MAC\tclient MAC address (aa:bb:cc:dd:ee:ff)",
    "--server-mac MAC\tserver MAC address",
    "--vlan ID[,ID]\t\tone 802.1Q tag, or an 802.1ad outer tag and an 802.1Q tag",
    "--realistic\t\ta modern Linux conversation: MTU 1500, full-size segments, TCP",
    "\t\t\toptions, random ISNs, delayed ACKs, 20 ms round trip, 100 Mbit/s,",
    "\t\t\tstarting now unless --start-time says otherwise",
    "",
    "Path between the hosts (all off by default; P is a probability such as 0.1):",
    "--reorder P[:DEPTH]\ta segment arrives after up to DEPTH later ones [3]",
    "--duplicate P\t\ta segment arrives twice",
    "--fragment SIZE[:ORDER]\tdata packets in IP fragments of SIZE octets (a multiple of 8),",
    "\t\t\tORDER in-order, reverse or shuffle [in-order]",
    "--split-texts N\t\tprotocol texts in segments of N octets",
    "--loss P\t\ta segment is lost behind the capture point and sent again",
    "--capture-gap P\t\ta segment reaches the host but not the capture",
    "--overlap P\t\tretransmissions that overlap two segments with the same octets",
    "--decoy KIND[:P]\tother octets for the sensor beside a share P of the file's",
    "\t\t\tsegments [1]: tcp-first, tcp-last, tcp-reordered, frag-first,",
    "\t\t\tfrag-last, ttl, bad-checksum, out-of-window or after-rst",
    "--decoy-text TEXT\tthe decoy's octets [the file's octets altered]",
    "",
    "Texts:",
    "--name text\t\tthe file name the transfer announces [default: the input path]",
    "--host name\t\tthe server's host name (Host, mail greetings)",
    "--user-agent text\tthe HTTP and mail clients' User-Agent",
    "--content-type type\tthe file's MIME type in the HTTP response and the parts",
    "",
    "Capture:",
    "--format pcap|pcapng\tthe capture format [default: pcapng for an -o name ending",
    "\t\t\tin .pcapng or with --annotate, else pcap]",
    "--annotate\t\ta pcapng comment on every packet saying what it carries",
    "--nanosecond\t\tnanosecond timestamps",
    "",
    "Several inputs:",
    "--jobs N\t\tinputs written at once [default: every core]; the captures are",
    "\t\t\tthe same as one by one. With -o, every transfer of every input",
    "\t\t\tand mode goes into that one capture, each on its own client port",
    "",
    // second text
    "",
    "Usage:",
    "\t\t\ttracemint [options] infile...",
    "",
    // third text
    "Examples:",
    "\t\t\ttracemint malware.pdf",
    "\t\t\ttracemint -mshp malware.pdf --http-encoder=1",
    "\t\t\ttracemint -mH -p8080 malware.pdf",
    "\t\t\ttracemint -mi malware.pdf -o outfile.pcap",
    "\t\t\ttracemint -ms --annotate --name x.pdf ~/cases/x.pdf -o x.pcapng",
    "\t\t\ttracemint -mhsF --seed 1 corpus/* -o corpus.pcap",
    "",
};
constexpr size_t textEnds[] = {95, 99, 107};  // one past the last line of each text

enum LongOnly {
    optBlockSize = 1000,
    optSrcEmail,
    optDstEmail,
    optSrcIp,
    optDstIp,
    optHttpEncoder,
    optGzipLevel,
    optSeed,
    optVersion,
    optMtu,
    optTcpOptions,
    optWindow,
    optRandomIsn,
    optDelayedAck,
    optStartTime,
    optRtt,
    optRate,
    optTtl,
    optClientMac,
    optServerMac,
    optVlan,
    optRealistic,
    optReorder,
    optDuplicate,
    optFragment,
    optSplitTexts,
    optLoss,
    optCaptureGap,
    optOverlap,
    optDecoy,
    optDecoyText,
    optName,
    optHost,
    optUserAgent,
    optContentType,
    optFormat,
    optAnnotate,
    optNanosecond,
    optJobs
};

constexpr option longOptions[] = {
    {"6", no_argument, nullptr, '6'},
    {"annotate", no_argument, nullptr, optAnnotate},
    {"block-size", required_argument, nullptr, optBlockSize},
    {"content-type", required_argument, nullptr, optContentType},
    {"dstemail", required_argument, nullptr, optDstEmail},
    {"dstip", required_argument, nullptr, optDstIp},
    {"email-encoder", required_argument, nullptr, 'e'},
    {"format", required_argument, nullptr, optFormat},
    {"host", required_argument, nullptr, optHost},
    {"http-encoder", required_argument, nullptr, optHttpEncoder},
    {"jobs", required_argument, nullptr, optJobs},
    {"gzip-level", required_argument, nullptr, optGzipLevel},
    {"mode", required_argument, nullptr, 'm'},
    {"name", required_argument, nullptr, optName},
    {"nanosecond", no_argument, nullptr, optNanosecond},
    {"outfile", required_argument, nullptr, 'o'},
    {"port", required_argument, nullptr, 'p'},
    {"srcemail", required_argument, nullptr, optSrcEmail},
    {"srcip", required_argument, nullptr, optSrcIp},
    {"user-agent", required_argument, nullptr, optUserAgent},
    {"verbose", no_argument, nullptr, 'v'},
    {"seed", required_argument, nullptr, optSeed},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, optVersion},
    {"mtu", required_argument, nullptr, optMtu},
    {"tcp-options", no_argument, nullptr, optTcpOptions},
    {"window", required_argument, nullptr, optWindow},
    {"random-isn", no_argument, nullptr, optRandomIsn},
    {"delayed-ack", no_argument, nullptr, optDelayedAck},
    {"start-time", required_argument, nullptr, optStartTime},
    {"rtt", required_argument, nullptr, optRtt},
    {"rate", required_argument, nullptr, optRate},
    {"ttl", required_argument, nullptr, optTtl},
    {"client-mac", required_argument, nullptr, optClientMac},
    {"server-mac", required_argument, nullptr, optServerMac},
    {"vlan", required_argument, nullptr, optVlan},
    {"realistic", no_argument, nullptr, optRealistic},
    {"reorder", required_argument, nullptr, optReorder},
    {"duplicate", required_argument, nullptr, optDuplicate},
    {"fragment", required_argument, nullptr, optFragment},
    {"split-texts", required_argument, nullptr, optSplitTexts},
    {"loss", required_argument, nullptr, optLoss},
    {"capture-gap", required_argument, nullptr, optCaptureGap},
    {"overlap", required_argument, nullptr, optOverlap},
    {"decoy", required_argument, nullptr, optDecoy},
    {"decoy-text", required_argument, nullptr, optDecoyText},
    {nullptr, 0, nullptr, 0},
};

constexpr ModeRow modeTable[] = {
    {Mode::httpGet, "h", "-http-get.pcap", 80},
    {Mode::http2, "h2", "-http2-get.pcap", 80},
    {Mode::http2, "x", "-http2-get.pcap", 80},
    {Mode::httpPost, "H", "-http-post.pcap", 80},
    {Mode::smtp, "s", "-smtp.pcap", 25},
    {Mode::pop3, "p", "-pop3.pcap", 110},
    {Mode::imap, "i", "-imap.pcap", 143},
    {Mode::ftpActive, "f", "-ftp-active.pcap", 21},
    {Mode::ftpPassive, "F", "-ftp-passive.pcap", 21},
};

constexpr const char* acceptedModes = "h, h2 (or x), H, s, p, i, f, F";

}  // namespace

std::string usageText() {
    std::string text;
    size_t line = 0;
    for (size_t end : textEnds) {
        for (size_t first = line; line < end; ++line) {
            if (line > first) text += '\n';
            text += usageLines[line];
        }
        text += '\n';
    }
    return text;
}

namespace {

void appendOptionText(std::string& text, const char* option,
                      const std::optional<std::string>& value) {
    if (!value) return;
    if (!text.empty()) text += ' ';
    text += option;
    text += ' ';
    const bool plain =
        !value->empty() && value->find_first_of(" \t'\"\\;&|<>()$`*?") == std::string::npos;
    if (plain) {
        text += *value;
        return;
    }
    text += '\'';
    for (char c : *value) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    text += '\'';
}

void appendFlagText(std::string& text, const char* option, bool given) {
    if (!given) return;
    if (!text.empty()) text += ' ';
    text += option;
}

}  // namespace

std::string optionsText(const CommandLine& cl) {
    std::string text;
    appendOptionText(text, "-m", cl.mode);
    appendOptionText(text, "-e", cl.emailEncoder);
    appendOptionText(text, "--http-encoder", cl.httpEncoder);
    appendOptionText(text, "--gzip-level", cl.gzipLevel);
    appendOptionText(text, "-p", cl.port);
    appendOptionText(text, "--block-size", cl.blockSize);
    appendFlagText(text, "-6", cl.ipv6);
    appendOptionText(text, "--srcip", cl.srcIp);
    appendOptionText(text, "--dstip", cl.dstIp);
    appendOptionText(text, "--srcemail", cl.srcEmail);
    appendOptionText(text, "--dstemail", cl.dstEmail);
    appendOptionText(text, "--name", cl.name);
    appendOptionText(text, "--host", cl.host);
    appendOptionText(text, "--user-agent", cl.userAgent);
    appendOptionText(text, "--content-type", cl.contentType);
    appendOptionText(text, "--mtu", cl.mtu);
    appendFlagText(text, "--tcp-options", cl.tcpOptions);
    appendOptionText(text, "--window", cl.window);
    appendFlagText(text, "--random-isn", cl.randomIsn);
    appendFlagText(text, "--delayed-ack", cl.delayedAck);
    appendOptionText(text, "--start-time", cl.startTime);
    appendOptionText(text, "--rtt", cl.rtt);
    appendOptionText(text, "--rate", cl.rate);
    appendOptionText(text, "--ttl", cl.ttl);
    appendOptionText(text, "--client-mac", cl.clientMac);
    appendOptionText(text, "--server-mac", cl.serverMac);
    appendOptionText(text, "--vlan", cl.vlan);
    appendFlagText(text, "--realistic", cl.realistic);
    appendOptionText(text, "--reorder", cl.reorder);
    appendOptionText(text, "--duplicate", cl.duplicate);
    appendOptionText(text, "--fragment", cl.fragment);
    appendOptionText(text, "--split-texts", cl.splitTexts);
    appendOptionText(text, "--loss", cl.loss);
    appendOptionText(text, "--capture-gap", cl.captureGap);
    appendOptionText(text, "--overlap", cl.overlap);
    appendOptionText(text, "--decoy", cl.decoy);
    appendOptionText(text, "--decoy-text", cl.decoyText);
    appendOptionText(text, "--seed", cl.seed);
    appendOptionText(text, "--format", cl.format);
    appendFlagText(text, "--annotate", cl.annotate);
    appendFlagText(text, "--nanosecond", cl.nanosecond);
    return text;
}

CommandLine parseCommandLine(int argc, char* argv[]) {
    CommandLine cl;
    if (argc <= 1) {
        cl.empty = true;
        return cl;
    }
    optind = 0;  // full re-initialisation, so the parser can run more than once per process
    for (;;) {
        // The leading "-" hands operands back in order, so options after the input
        // path work even where POSIXLY_CORRECT would stop the parser at the first
        // operand.
        int c = getopt_long(argc, argv, "-e:m:o:p:v6h", longOptions, nullptr);
        if (c == -1) break;
        switch (c) {
            case 1: cl.inputs.push_back(optarg); break;
            case 'e': cl.emailEncoder = optarg; break;
            case 'm': cl.mode = optarg; break;
            case 'o': cl.outFile = optarg; break;
            case 'p': cl.port = optarg; break;
            case 'v': cl.verbose = true; break;
            case '6': cl.ipv6 = true; break;
            case 'h': cl.help = true; break;
            case optBlockSize: cl.blockSize = optarg; break;
            case optSrcEmail: cl.srcEmail = optarg; break;
            case optDstEmail: cl.dstEmail = optarg; break;
            case optSrcIp: cl.srcIp = optarg; break;
            case optDstIp: cl.dstIp = optarg; break;
            case optHttpEncoder: cl.httpEncoder = optarg; break;
            case optGzipLevel: cl.gzipLevel = optarg; break;
            case optSeed: cl.seed = optarg; break;
            case optVersion: cl.version = true; break;
            case optName: cl.name = optarg; break;
            case optHost: cl.host = optarg; break;
            case optUserAgent: cl.userAgent = optarg; break;
            case optContentType: cl.contentType = optarg; break;
            case optFormat: cl.format = optarg; break;
            case optAnnotate: cl.annotate = true; break;
            case optNanosecond: cl.nanosecond = true; break;
            case optJobs: cl.jobs = optarg; break;
            case optMtu: cl.mtu = optarg; break;
            case optTcpOptions: cl.tcpOptions = true; break;
            case optWindow: cl.window = optarg; break;
            case optRandomIsn: cl.randomIsn = true; break;
            case optDelayedAck: cl.delayedAck = true; break;
            case optStartTime: cl.startTime = optarg; break;
            case optRtt: cl.rtt = optarg; break;
            case optRate: cl.rate = optarg; break;
            case optTtl: cl.ttl = optarg; break;
            case optClientMac: cl.clientMac = optarg; break;
            case optServerMac: cl.serverMac = optarg; break;
            case optVlan: cl.vlan = optarg; break;
            case optRealistic: cl.realistic = true; break;
            case optReorder: cl.reorder = optarg; break;
            case optDuplicate: cl.duplicate = optarg; break;
            case optFragment: cl.fragment = optarg; break;
            case optSplitTexts: cl.splitTexts = optarg; break;
            case optLoss: cl.loss = optarg; break;
            case optCaptureGap: cl.captureGap = optarg; break;
            case optOverlap: cl.overlap = optarg; break;
            case optDecoy: cl.decoy = optarg; break;
            case optDecoyText: cl.decoyText = optarg; break;
            default: throw FatalError(usageText(), exitUsage);
        }
    }
    // Operands after "--".
    for (int i = optind; i < argc; ++i) cl.inputs.push_back(argv[i]);
    return cl;
}

std::optional<long long> parseInteger(const std::string& text, long long lo, long long hi) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < lo || value > hi) return std::nullopt;
    return value;
}

std::optional<uint64_t> parseSeed(const std::string& text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<PortSpec> parsePortSpec(const std::string& text) {
    PortSpec ports;
    size_t colon = text.find(':');
    if (colon == std::string::npos) {
        auto port = parseInteger(text, 1, 65535);
        if (!port) return std::nullopt;
        ports.destination = static_cast<uint16_t>(*port);
        return ports;
    }
    auto source = parseInteger(text.substr(0, colon), 1, 65535);
    auto destination = parseInteger(text.substr(colon + 1), 1, 65535);
    if (!source || !destination) return std::nullopt;
    ports.source = static_cast<uint16_t>(*source);
    ports.destination = static_cast<uint16_t>(*destination);
    return ports;
}

bool isValidEmailAddress(const std::string& text) {
    if (text.empty() || text.size() > 253) return false;
    for (char c : text) {
        if (c <= ' ' || c > '~') return false;
    }
    return true;
}

namespace {

bool isControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

bool isPrintableAscii(char c) {
    return c >= ' ' && c <= '~';
}

// RFC 2045's token: printable ASCII but space and the tspecials.
bool isTokenChar(char c) {
    return c > ' ' && c <= '~' && std::strchr("()<>@,;:\\\"/[]?=", c) == nullptr;
}

// The token starting at pos; pos moves past it. Empty when none starts there.
std::string_view takeToken(std::string_view text, size_t& pos) {
    const size_t start = pos;
    while (pos < text.size() && isTokenChar(text[pos])) ++pos;
    return text.substr(start, pos - start);
}

void skipSpaces(std::string_view text, size_t& pos) {
    while (pos < text.size() && text[pos] == ' ') ++pos;
}

// A quoted string starting at pos (RFC 5322 with quoted pairs); pos moves past it.
bool takeQuotedString(std::string_view text, size_t& pos) {
    if (pos >= text.size() || text[pos] != '"') return false;
    for (++pos; pos < text.size(); ++pos) {
        if (text[pos] == '\\') {
            if (++pos == text.size()) return false;
        } else if (text[pos] == '"') {
            ++pos;
            return true;
        }
    }
    return false;
}

}  // namespace

bool isValidAnnouncedName(const std::string& text) {
    if (text.empty() || text.size() > 255) return false;
    for (char c : text) {
        if (isControl(c)) return false;
    }
    return true;
}

bool isValidHostName(const std::string& text) {
    if (text.empty() || text.size() > 253) return false;
    for (char c : text) {
        const bool alnum =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && c != '.' && c != '-' && c != '_') return false;
    }
    return true;
}

bool isValidHeaderText(const std::string& text) {
    if (text.empty() || text.size() > 986 || text.front() == ' ' || text.back() == ' ')
        return false;
    for (char c : text) {
        if (!isPrintableAscii(c)) return false;
    }
    return true;
}

bool isValidMimeType(const std::string& text) {
    if (text.empty() || text.size() > 255) return false;
    for (char c : text) {
        if (!isPrintableAscii(c)) return false;
    }
    const std::string_view view = text;
    size_t pos = 0;
    if (takeToken(view, pos).empty() || pos == view.size() || view[pos] != '/') return false;
    ++pos;
    if (takeToken(view, pos).empty()) return false;
    while (pos < view.size()) {
        skipSpaces(view, pos);
        if (pos == view.size() || view[pos] != ';') return false;
        ++pos;
        skipSpaces(view, pos);
        if (takeToken(view, pos).empty() || pos == view.size() || view[pos] != '=') return false;
        ++pos;
        if (takeToken(view, pos).empty() && !takeQuotedString(view, pos)) return false;
    }
    return true;
}

std::optional<IpAddress> parseIpAddress(const std::string& text) {
    IpAddress address;
    if (inet_pton(AF_INET, text.c_str(), address.bytes) == 1) {
        address.version = 4;
        return address;
    }
    if (inet_pton(AF_INET6, text.c_str(), address.bytes) == 1) {
        address.version = 6;
        return address;
    }
    return std::nullopt;
}

std::vector<ModeRow> parseModeList(const std::string& list) {
    if (list.empty()) {
        throw FatalError(std::string("Error: -m/--mode needs at least one mode: ") + acceptedModes,
                         exitUsage);
    }
    std::vector<ModeRow> rows;
    for (size_t i = 0; i < list.size(); ++i) {
        // An h followed by 2 is the HTTP/2 row and uses up both characters.
        const bool http2 = list[i] == 'h' && i + 1 < list.size() && list[i + 1] == '2';
        const std::string name = http2 ? list.substr(i, 2) : list.substr(i, 1);
        if (http2) ++i;
        const ModeRow* found = nullptr;
        for (const ModeRow& row : modeTable) {
            if (name == row.name) found = &row;
        }
        if (!found) {
            throw FatalError(
                "Error: -m/--mode: unknown mode '" + name + "' (accepted: " + acceptedModes + ")",
                exitUsage);
        }
        rows.push_back(*found);
    }
    return rows;
}

}  // namespace tracemint
