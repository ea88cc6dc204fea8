#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "common/random.h"
#include "timing/sim-clock.h"

namespace tracemint {

struct CaptureFile;
struct InputFile;
struct GzipBody;

// Values of the synthetic world that every mode shares.
inline constexpr const char* defaultClientIPv4 = "192.168.0.1";
inline constexpr const char* defaultServerIPv4 = "203.0.113.10";
inline constexpr const char* defaultClientIPv6 = "2001:db8::214:51ff:fe2f:1556";
inline constexpr const char* defaultServerIPv6 = "2a00:1450:4007:80d::200e";
inline constexpr const char* mailDomain = "example.com";
inline constexpr const char* serverHostName = "fileserver";
inline constexpr const char* defaultSenderAddress = "alice@example.com";
inline constexpr const char* defaultRecipientAddress = "bob@example.com";
inline constexpr std::array<uint8_t, 6> serverMac{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
inline constexpr std::array<uint8_t, 6> clientMac{0x00, 0x55, 0x44, 0x33, 0x22, 0x11};

// Encodings of the HTTP body, as --http-encoder 0 to 3 selects them.
inline constexpr uint8_t httpPlain = 16;
inline constexpr uint8_t httpGzip = 17;
inline constexpr uint8_t httpChunked = 18;
inline constexpr uint8_t httpGzipChunked = 19;

// Directions: 0 from the record's source endpoint to its destination, 1 the reverse.
inline constexpr uint8_t toServer = 0;
inline constexpr uint8_t toClient = 1;

// One simulated TCP connection between a client (source) and a server
// (destination), plus the run's settings, so that a mode driver and every
// primitive below it need no other argument. Plain data, passed by reference.
struct Connection {
    std::array<uint8_t, 4> srcIPv4{};  // network order
    std::array<uint8_t, 4> dstIPv4{};
    std::array<uint8_t, 16> srcIPv6{};  // network order
    std::array<uint8_t, 16> dstIPv6{};
    uint16_t srcPort = 0;
    uint16_t dstPort = 0;
    uint32_t srcSeq = 0;  // next sequence number of the source side
    uint32_t dstSeq = 0;  // next sequence number of the destination side
    int blockSize = 1200;
    uint64_t fileSize = 0;
    std::array<uint8_t, 14> macTemplate{};
    std::string inFileName;   // the input path as given, whole
    std::string outFileName;  // the -o name, empty without -o
    std::string srcEmail = defaultSenderAddress;
    std::string dstEmail = defaultRecipientAddress;
    std::array<uint8_t, 14> ethForward{};  // frames in direction 0
    std::array<uint8_t, 14> ethReverse{};  // frames in direction 1
    InputFile* inFile = nullptr;
    CaptureFile* outFile = nullptr;
    GzipBody* tmpFile = nullptr;  // the compressed body of the gzip encodings
    int gzipLevel = 3;            // its deflate level, 0 to 3 (--gzip-level)
    uint8_t emailEncoding = 0;
    uint8_t httpEncoder = httpPlain;
    uint8_t dataDirection = 0;
    uint8_t verbose = 0;
    // The time of the last packet written for this record.
    uint32_t tsSec = startTime;
    int32_t tsUsec = 0;
    uint8_t ipVersion = 4;
    // Shared by every record of the run: the clock that openConnection continues
    // from, and the random generator.
    SimClock* sharedClock = nullptr;
    Random* random = nullptr;
};

// Fills macTemplate (server MAC, client MAC, EtherType by ipVersion) and the two
// Ethernet headers built from it.
void buildEthernetHeaders(Connection& conn);

}  // namespace tracemint
