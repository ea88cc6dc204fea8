#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tracemint {

using MacAddress = std::array<uint8_t, 6>;

// Values of the synthetic world that every mode shares.
inline constexpr const char* defaultClientIPv4 = "192.168.0.1";
inline constexpr const char* defaultServerIPv4 = "203.0.113.10";
inline constexpr const char* defaultClientIPv6 = "2001:db8::214:51ff:fe2f:1556";
inline constexpr const char* defaultServerIPv6 = "2a00:1450:4007:80d::200e";
inline constexpr const char* mailDomain = "example.com";
inline constexpr const char* serverHostName = "fileserver";
inline constexpr const char* defaultSenderAddress = "alice@example.com";
inline constexpr const char* defaultRecipientAddress = "bob@example.com";
inline constexpr MacAddress defaultServerMac{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
inline constexpr MacAddress defaultClientMac{0x00, 0x55, 0x44, 0x33, 0x22, 0x11};

// Encodings of the HTTP body, as --http-encoder 0 to 3 selects them.
inline constexpr uint8_t httpPlain = 16;
inline constexpr uint8_t httpGzip = 17;
inline constexpr uint8_t httpChunked = 18;
inline constexpr uint8_t httpGzipChunked = 19;

// 2008-10-13 13:55:36 UTC: the stamp of the first packet's predecessor when no
// start time is given.
inline constexpr uint32_t defaultStartTime = 1223906136;
inline constexpr uint16_t defaultWindow = 5840;

// How the TCP layer speaks. Off, every segment is answered at once by a pure
// ACK, without options, from initial sequence numbers 1 to 4096.
struct TcpSettings {
    bool options = false;     // MSS, SACK-permitted, window scale, timestamps
    uint32_t window = 0;      // advertised receive window in octets; 0: the default
    bool randomIsn = false;   // initial sequence numbers over the full 32 bits
    bool delayedAck = false;  // one ACK per two full-sized segments
    uint16_t mss = 1460;      // announced with the options: MTU less the IP and TCP headers
};

// The clock. Without a round trip or a rate, packets are 13 ms apart.
struct TimingSettings {
    uint64_t startNs = uint64_t{defaultStartTime} * 1000000000u + 13000000u;  // first packet
    uint64_t rttNs = 0;
    uint64_t rateBitsPerSecond = 0;  // payload octets are paced at this rate; 0: no pacing
    bool modelled() const { return rttNs != 0 || rateBitsPerSecond != 0; }
};

struct LinkSettings {
    MacAddress clientMac = defaultClientMac;
    MacAddress serverMac = defaultServerMac;
    std::array<uint16_t, 2> vlanIds{};  // outer first
    uint8_t vlanCount = 0;              // 0, 1 (802.1Q) or 2 (802.1ad outer, 802.1Q inner)
};

// The path between the hosts (all off by default). Probabilities are in
// millionths; a condition at 0 draws nothing from the generator.
enum class FragmentOrder : uint8_t { inOrder, reverse, shuffle };
// Decoys: octets the sensor is shown beside the file's, which one reassembly
// policy keeps and the other (or the receiving host) does not.
enum class DecoyKind : uint8_t {
    none,
    tcpFirst,           // an overlapping segment just before the real one
    tcpLast,            // an overlapping segment just after the real one
    fragFirst,          // an overlapping IP fragment before the real one
    fragLast,           // an overlapping IP fragment after the real one
    ttl,                // a segment whose TTL runs out before the host
    badChecksum,        // a segment with a wrong TCP checksum
    outOfWindow,        // octets the receiver has already acknowledged
    afterRst,           // segments after a RST the host honoured
    tcpReordered,       // a decoy of a segment's second half, out of order before it
};
// A TTL (hop limit) decoy leaves the capture point with this much: the next
// router discards it, and the host is at least one router further.
inline constexpr uint8_t decoyTtl = 1;
struct ConditionSettings {
    uint32_t reorderPpm = 0;
    uint8_t reorderDepth = 3;   // a held segment goes after up to this many later ones
    uint32_t duplicatePpm = 0;
    uint16_t fragmentSize = 0;  // IP payload octets per fragment, a multiple of 8; 0: whole
    FragmentOrder fragmentOrder = FragmentOrder::inOrder;
    uint32_t splitTexts = 0;    // protocol texts in segments of this many octets; 0: whole
    uint32_t lossPpm = 0;        // lost after the capture point, then retransmitted
    uint32_t captureGapPpm = 0;  // missed by the capture point, received by the host
    uint32_t overlapPpm = 0;     // a retransmission across two segments, same octets
    DecoyKind decoy = DecoyKind::none;
    uint32_t decoyPpm = 1000000;  // share of the file's data segments that get a decoy
    std::string decoyText;        // empty: the file's octets altered
    bool any() const {
        return reorderPpm != 0 || duplicatePpm != 0 || fragmentSize != 0 || lossPpm != 0 ||
               captureGapPpm != 0 || overlapPpm != 0 || decoy != DecoyKind::none;
    }
};

// Texts a detection rule may key on, as the command line chose them. An empty
// text leaves each protocol's own default in place, so runs without the options
// keep their texts byte for byte.
struct ConversationTexts {
    std::string host;         // the server's name: Host, mail server greetings
    std::string userAgent;    // the HTTP and mail clients' agent
    std::string contentType;  // the file's MIME type in the response and the parts
};

// The chosen text, or the protocol's default when none was chosen.
inline std::string_view chosenOr(const std::string& chosen, std::string_view fallback) {
    return chosen.empty() ? fallback : std::string_view(chosen);
}

// Everything a run was asked for, filled by the driver and read, never written,
// by the layers below it. Each layer reads its own part.
struct Settings {
    uint8_t ipVersion = 4;
    std::array<uint8_t, 16> clientIp{};  // IPv4 in the first four octets
    std::array<uint8_t, 16> serverIp{};
    int blockSize = 1200;  // payload octets per data segment
    int mtu = 0;  // 0: not given (no segment is cut to fit a link); else 576 to 9216
    uint8_t ttl = 64;
    TcpSettings tcp;
    TimingSettings timing;
    LinkSettings link;
    ConditionSettings conditions;
    // The protocols' own choices.
    uint8_t httpEncoder = httpPlain;
    int gzipLevel = 3;  // deflate level of the gzip bodies, 0 to 3
    uint8_t emailEncoding = 0;
    std::string srcEmail = defaultSenderAddress;
    std::string dstEmail = defaultRecipientAddress;
    ConversationTexts texts;
    // A note on every packet, saying what it carries (pcapng comments).
    bool annotate = false;
};

}  // namespace tracemint
