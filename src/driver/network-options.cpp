#include "driver/network-options.h"

#include <cstdio>
#include <utility>

#include "common/fatal-error.h"
#include "ip/ip-layer.h"
#include "netcond/network-conditions.h"
#include "tcp/tcp-header.h"

namespace tracemint {
namespace {

[[noreturn]] void valueError(const std::string& message) {
    throw FatalError("Error: " + message, exitUsage);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// The pcap record keeps whole seconds in 32 bits.
constexpr uint64_t latestStart = 0xFFFFFFFFu - 400000;

}  // namespace

std::optional<MacAddress> parseMacAddress(const std::string& text) {
    if (text.size() != 17) return std::nullopt;
    MacAddress mac{};
    for (size_t i = 0; i < 6; ++i) {
        const int hi = hexDigit(text[i * 3]);
        const int lo = hexDigit(text[i * 3 + 1]);
        if (hi < 0 || lo < 0 || (i < 5 && text[i * 3 + 2] != ':')) return std::nullopt;
        mac[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return mac;
}

std::optional<uint64_t> parseStartTime(const std::string& text) {
    if (auto seconds = parseInteger(text, 0, static_cast<long long>(latestStart))) {
        return static_cast<uint64_t>(*seconds);
    }
    // YYYY-MM-DDTHH:MM:SSZ
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z') {
        return std::nullopt;
    }
    auto year = parseInteger(text.substr(0, 4), 1970, 2106);
    auto month = parseInteger(text.substr(5, 2), 1, 12);
    auto day = parseInteger(text.substr(8, 2), 1, 31);
    auto hour = parseInteger(text.substr(11, 2), 0, 23);
    auto minute = parseInteger(text.substr(14, 2), 0, 59);
    auto second = parseInteger(text.substr(17, 2), 0, 59);
    if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
    static constexpr int monthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (*year % 4 == 0 && *year % 100 != 0) || *year % 400 == 0;
    if (*day > monthDays[*month - 1] || (*month == 2 && *day == 29 && !leap)) return std::nullopt;
    const int64_t days =
        daysFromCivil(*year, static_cast<unsigned>(*month), static_cast<unsigned>(*day));
    const uint64_t seconds =
        static_cast<uint64_t>(days) * 86400 + uint64_t(*hour) * 3600 + uint64_t(*minute) * 60 +
        uint64_t(*second);
    if (seconds > latestStart) return std::nullopt;
    return seconds;
}

std::optional<uint64_t> parseDecimal(const std::string& text, int decimals, uint64_t limit) {
    const size_t point = text.find('.');
    const std::string whole = text.substr(0, point);
    std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    if (point != std::string::npos && fraction.empty()) return std::nullopt;
    for (char c : fraction) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    auto integer = parseInteger(whole, 0, 999999999999ll);
    if (!integer) return std::nullopt;
    fraction.resize(static_cast<size_t>(decimals), '0');  // finer digits are dropped
    uint64_t scale = 1;
    for (int i = 0; i < decimals; ++i) scale *= 10;
    if (static_cast<uint64_t>(*integer) > limit / scale) return std::nullopt;
    const uint64_t value =
        static_cast<uint64_t>(*integer) * scale + (decimals > 0 ? std::stoull(fraction) : 0);
    if (value > limit) return std::nullopt;
    return value;
}

std::optional<uint32_t> parseProbability(const std::string& text) {
    auto ppm = parseDecimal(text, 6, 1000000);
    if (!ppm) return std::nullopt;
    return static_cast<uint32_t>(*ppm);
}

namespace {

struct DecoyName {
    const char* name;
    DecoyKind kind;
};
constexpr DecoyName decoyNames[] = {
    {"tcp-first", DecoyKind::tcpFirst},         {"tcp-last", DecoyKind::tcpLast},
    {"tcp-reordered", DecoyKind::tcpReordered}, {"frag-first", DecoyKind::fragFirst},
    {"frag-last", DecoyKind::fragLast},         {"ttl", DecoyKind::ttl},
    {"bad-checksum", DecoyKind::badChecksum},   {"out-of-window", DecoyKind::outOfWindow},
    {"after-rst", DecoyKind::afterRst},
};

// Fragment decoys need a segment of three fragments whose twins hold payload.
constexpr int leastFragmentDecoyBlock = 8;

void applyDecoyOptions(const CommandLine& cl, Settings& settings) {
    ConditionSettings& conditions = settings.conditions;
    if (!cl.decoy) {
        if (cl.decoyText) valueError("--decoy-text needs --decoy");
        return;
    }
    const std::string& text = *cl.decoy;
    const size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    std::optional<uint32_t> p = 1000000;
    if (colon != std::string::npos) p = parseProbability(text.substr(colon + 1));
    DecoyKind kind = DecoyKind::none;
    for (const DecoyName& entry : decoyNames) {
        if (name == entry.name) kind = entry.kind;
    }
    if (kind == DecoyKind::none || !p || *p == 0) {
        valueError("--decoy takes KIND[:P], KIND tcp-first, tcp-last, tcp-reordered, frag-first, "
                   "frag-last, ttl, bad-checksum, out-of-window or after-rst and P above 0 and "
                   "up to 1, not '" + text + "'");
    }
    if (cl.decoyText && cl.decoyText->empty()) valueError("--decoy-text takes a text of one octet or more");
    if (kind == DecoyKind::ttl && settings.ttl <= decoyTtl) {
        valueError("--decoy ttl needs a --ttl above " + std::to_string(decoyTtl) +
                   ": the decoy's TTL must be below the real packets'");
    }
    if ((kind == DecoyKind::fragFirst || kind == DecoyKind::fragLast) &&
        settings.blockSize < leastFragmentDecoyBlock) {
        valueError("--decoy " + name + " needs a --block-size of " +
                   std::to_string(leastFragmentDecoyBlock) +
                   " or more, for data segments that can be cut into fragments");
    }
    conditions.decoy = kind;
    conditions.decoyPpm = *p;
    if (cl.decoyText) conditions.decoyText = *cl.decoyText;
}

void applyConditionOptions(const CommandLine& cl, ConditionSettings& conditions) {
    if (cl.reorder) {
        const std::string& text = *cl.reorder;
        const size_t colon = text.find(':');
        auto p = parseProbability(text.substr(0, colon));
        std::optional<long long> depth = 3;
        if (colon != std::string::npos) {
            depth = parseInteger(text.substr(colon + 1), 1, maxReorderDepth);
        }
        if (!p || !depth) {
            valueError("--reorder takes P[:DEPTH], P from 0 to 1 and DEPTH from 1 to " +
                       std::to_string(maxReorderDepth) + ", not '" + text + "'");
        }
        conditions.reorderPpm = *p;
        conditions.reorderDepth = static_cast<uint8_t>(*depth);
    }
    if (cl.duplicate) {
        auto p = parseProbability(*cl.duplicate);
        if (!p) valueError("--duplicate takes P from 0 to 1, not '" + *cl.duplicate + "'");
        conditions.duplicatePpm = *p;
    }
    if (cl.fragment) {
        const std::string& text = *cl.fragment;
        const size_t colon = text.find(':');
        auto size = parseInteger(text.substr(0, colon), 8, 65528);
        FragmentOrder order = FragmentOrder::inOrder;
        bool known = true;
        if (colon != std::string::npos) {
            const std::string name = text.substr(colon + 1);
            if (name == "reverse") {
                order = FragmentOrder::reverse;
            } else if (name == "shuffle") {
                order = FragmentOrder::shuffle;
            } else {
                known = name == "in-order";
            }
        }
        if (!size || *size % 8 != 0 || !known) {
            valueError("--fragment takes SIZE[:ORDER], SIZE a multiple of 8 from 8 to 65528 and "
                       "ORDER in-order, reverse or shuffle, not '" + text + "'");
        }
        conditions.fragmentSize = static_cast<uint16_t>(*size);
        conditions.fragmentOrder = order;
    }
    const std::pair<const std::optional<std::string>*, std::pair<const char*, uint32_t*>> chances[] = {
        {&cl.loss, {"--loss", &conditions.lossPpm}},
        {&cl.captureGap, {"--capture-gap", &conditions.captureGapPpm}},
        {&cl.overlap, {"--overlap", &conditions.overlapPpm}},
    };
    for (const auto& [text, target] : chances) {
        if (!*text) continue;
        auto p = parseProbability(**text);
        if (!p) valueError(std::string(target.first) + " takes P from 0 to 1, not '" + **text + "'");
        *target.second = *p;
    }
    if (cl.splitTexts) {
        auto n = parseInteger(*cl.splitTexts, 1, 65535);
        if (!n) valueError("--split-texts takes an integer from 1 to 65535, not '" + *cl.splitTexts + "'");
        conditions.splitTexts = static_cast<uint32_t>(*n);
    }
}

}  // namespace

void applyNetworkOptions(const CommandLine& cl, uint64_t nowSeconds, Settings& settings) {
    applyConditionOptions(cl, settings.conditions);
    const bool v6 = settings.ipVersion == 6;
    const int ipOverhead = v6 ? 60 : 40;
    if (cl.realistic) {
        settings.mtu = 1500;
        settings.tcp.options = true;
        settings.tcp.randomIsn = true;
        settings.tcp.delayedAck = true;
        settings.timing.rttNs = 20000000;
        settings.timing.rateBitsPerSecond = 100000000;
        settings.timing.startNs = nowSeconds * 1000000000ull;
    }
    if (cl.mtu) {
        auto mtu = parseInteger(*cl.mtu, 576, 9216);
        if (!mtu) valueError("--mtu takes an integer from 576 to 9216, not '" + *cl.mtu + "'");
        settings.mtu = static_cast<int>(*mtu);
    }
    if (cl.tcpOptions) settings.tcp.options = true;
    if (cl.randomIsn) settings.tcp.randomIsn = true;
    if (cl.delayedAck) settings.tcp.delayedAck = true;
    // The options need a segment size to announce; without --mtu it is Ethernet's.
    if (settings.tcp.options && settings.mtu == 0) settings.mtu = 1500;
    if (settings.mtu != 0) settings.tcp.mss = static_cast<uint16_t>(settings.mtu - ipOverhead);

    const int maxBlock = settings.mtu == 0 ? 1200 : settings.mtu - ipOverhead;
    if (cl.blockSize) {
        auto size = parseInteger(*cl.blockSize, 1, maxBlock);
        if (!size) {
            valueError("--block-size takes an integer from 1 to " + std::to_string(maxBlock) +
                       (settings.mtu == 0 ? "" : " (the MTU less the IP and TCP headers)") +
                       ", not '" + *cl.blockSize + "'");
        }
        settings.blockSize = static_cast<int>(*size);
    } else if (cl.realistic) {
        // Full-size segments: what the MSS leaves beside the timestamps option.
        settings.blockSize = maxBlock - static_cast<int>(timestampsOptionSize);
    }

    if (cl.window) {
        const long long limit = settings.tcp.options ? (65535ll << 14) : 65535;
        auto window = parseInteger(*cl.window, 1, limit);
        // Room for two full segments, or delayed ACKs could stall the sender.
        const long long least = 2ll * settings.blockSize + 1;
        if (!window || *window < least) {
            valueError("--window takes an integer from " + std::to_string(least) + " to " +
                       std::to_string(limit) +
                       (settings.tcp.options ? "" : " (above 65535 with --tcp-options)") +
                       ", not '" + *cl.window + "'");
        }
        settings.tcp.window = static_cast<uint32_t>(*window);
    }
    if (cl.startTime) {
        if (*cl.startTime == "now") {
            settings.timing.startNs = nowSeconds * 1000000000ull;
        } else {
            auto start = parseStartTime(*cl.startTime);
            if (!start) {
                valueError("--start-time takes an ISO 8601 UTC time such as "
                           "2026-01-31T12:00:00Z, Unix seconds or 'now', not '" +
                           *cl.startTime + "'");
            }
            settings.timing.startNs = *start * 1000000000ull;
        }
    }
    if (cl.rtt) {
        // Milliseconds with up to six decimals, so nanoseconds.
        auto rtt = parseDecimal(*cl.rtt, 6, 60000000000ull);
        if (!rtt || *rtt == 0) {
            valueError("--rtt takes milliseconds above 0 and up to 60000, not '" + *cl.rtt + "'");
        }
        settings.timing.rttNs = *rtt;
    }
    if (cl.rate) {
        // Mbit/s with up to six decimals, so bit/s.
        auto rate = parseDecimal(*cl.rate, 6, 400000000000ull);
        if (!rate || *rate == 0) {
            valueError("--rate takes Mbit/s above 0 and up to 400000, not '" + *cl.rate + "'");
        }
        settings.timing.rateBitsPerSecond = *rate;
    }
    if (cl.ttl) {
        auto ttl = parseInteger(*cl.ttl, 1, 255);
        if (!ttl) valueError("--ttl takes an integer from 1 to 255, not '" + *cl.ttl + "'");
        settings.ttl = static_cast<uint8_t>(*ttl);
    }
    if (cl.clientMac) {
        auto mac = parseMacAddress(*cl.clientMac);
        if (!mac) valueError("--client-mac takes aa:bb:cc:dd:ee:ff, not '" + *cl.clientMac + "'");
        settings.link.clientMac = *mac;
    }
    if (cl.serverMac) {
        auto mac = parseMacAddress(*cl.serverMac);
        if (!mac) valueError("--server-mac takes aa:bb:cc:dd:ee:ff, not '" + *cl.serverMac + "'");
        settings.link.serverMac = *mac;
    }
    if (cl.vlan) {
        const std::string& text = *cl.vlan;
        const size_t comma = text.find(',');
        auto first = parseInteger(text.substr(0, comma), 1, 4094);
        std::optional<long long> second;
        if (comma != std::string::npos) second = parseInteger(text.substr(comma + 1), 1, 4094);
        if (!first || (comma != std::string::npos && !second)) {
            valueError("--vlan takes ID or OUTER,INNER, each from 1 to 4094, not '" + text + "'");
        }
        settings.link.vlanIds[0] = static_cast<uint16_t>(*first);
        settings.link.vlanCount = 1;
        if (second) {
            settings.link.vlanIds[1] = static_cast<uint16_t>(*second);
            settings.link.vlanCount = 2;
        }
    }
    applyDecoyOptions(cl, settings);
}

}  // namespace tracemint
