#include "driver/network-options.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/fatal-error.h"

namespace tracemint {
namespace {

TEST(NetworkOptions, MacAddresses) {
    EXPECT_EQ(parseMacAddress("aa:bb:cc:dd:ee:ff"),
              (MacAddress{0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}));
    EXPECT_EQ(parseMacAddress("00:1A:2b:3C:4d:5E"),
              (MacAddress{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}));
    for (const char* text : {"", "aa:bb:cc:dd:ee", "aa:bb:cc:dd:ee:ff:", "aa-bb-cc-dd-ee-ff",
                             "aa:bb:cc:dd:ee:fg", "a:bb:cc:dd:ee:fff", "aabbccddeeff",
                             " aa:bb:cc:dd:ee:f", "aa:bb:cc:dd:ee:f "}) {
        EXPECT_EQ(parseMacAddress(text), std::nullopt) << text;
    }
}

TEST(NetworkOptions, StartTimes) {
    const std::pair<const char*, uint64_t> accepted[] = {
        {"0", 0},
        {"1769860800", 1769860800},
        {"2026-01-31T12:00:00Z", 1769860800},
        {"1970-01-01T00:00:00Z", 0},
        {"2008-10-13T13:55:36Z", 1223906136},
        {"2000-02-29T23:59:59Z", 951868799},  // a leap day of a year divisible by 400
        {"2024-12-31T23:59:59Z", 1735689599},
        {"4294567295", 4294567295},  // the last start that leaves room in a record's seconds
    };
    for (const auto& [text, seconds] : accepted) {
        EXPECT_EQ(parseStartTime(text), seconds) << text;
    }
    for (const char* text :
         {"", "-1", "1e9", "now", "4294567296", "2026-01-31T12:00:00", "2026-01-31 12:00:00Z",
          "2026-01-31T12:00:00+01:00", "2026-01-31T12:00:00.5Z", "2026-1-31T12:00:00Z",
          "2026-02-29T00:00:00Z", "2100-02-29T00:00:00Z", "2026-04-31T00:00:00Z",
          "2026-13-01T00:00:00Z", "2026-00-10T00:00:00Z", "2026-01-00T00:00:00Z",
          "2026-01-31T24:00:00Z", "2026-01-31T12:60:00Z", "2026-01-31T12:00:60Z",
          "1969-12-31T23:59:59Z", "2106-12-31T00:00:00Z", "2026-01-31t12:00:00z"}) {
        EXPECT_EQ(parseStartTime(text), std::nullopt) << text;
    }
}

TEST(NetworkOptions, DecimalNumbers) {
    struct Case {
        const char* text;
        int decimals;
        uint64_t limit;
        std::optional<uint64_t> value;
    };
    const Case cases[] = {
        {"20", 6, 60000000000ull, 20000000},
        {"0.5", 6, 60000000000ull, 500000},
        {"0.000001", 6, 60000000000ull, 1},
        {"0.0000019", 6, 60000000000ull, 1},  // finer digits are dropped
        {"60000", 6, 60000000000ull, 60000000000ull},
        {"60000.000001", 6, 60000000000ull, std::nullopt},
        {"60001", 6, 60000000000ull, std::nullopt},
        {"999999999999", 6, 400000000000ull, std::nullopt},
        {"100", 0, 1000, 100},
        {"1.", 6, 1000000000, std::nullopt},
        {".5", 6, 1000000000, std::nullopt},
        {"1.2.3", 6, 1000000000, std::nullopt},
        {"-1", 6, 1000000000, std::nullopt},
        {"1e3", 6, 1000000000, std::nullopt},
        {"", 6, 1000000000, std::nullopt},
        {" 1", 6, 1000000000, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseDecimal(c.text, c.decimals, c.limit), c.value) << c.text;
    }
}

constexpr uint64_t now = 1767225600;  // the "now" the tests pass in

Settings applied(const CommandLine& cl, bool ipv6 = false) {
    Settings settings;
    settings.ipVersion = ipv6 ? 6 : 4;
    applyNetworkOptions(cl, now, settings);
    return settings;
}

TEST(NetworkOptions, NoOptionLeavesTheDefaults) {
    const Settings s = applied(CommandLine{});
    const Settings d;
    EXPECT_EQ(s.mtu, 0);
    EXPECT_EQ(s.blockSize, 1200);
    EXPECT_EQ(s.ttl, 64);
    EXPECT_FALSE(s.tcp.options || s.tcp.randomIsn || s.tcp.delayedAck);
    EXPECT_EQ(s.tcp.window, 0u);
    EXPECT_EQ(s.timing.startNs, d.timing.startNs);
    EXPECT_FALSE(s.timing.modelled());
    EXPECT_EQ(s.link.clientMac, defaultClientMac);
    EXPECT_EQ(s.link.serverMac, defaultServerMac);
    EXPECT_EQ(s.link.vlanCount, 0);
}

TEST(NetworkOptions, MtuGivesTheMssAndTheLargestBlock) {
    struct Case {
        std::string mtu;  // empty: not given
        bool tcpOptions;
        bool ipv6;
        int mtuSet;
        uint16_t mss;
        int largestBlock;
    };
    const Case cases[] = {
        {"1500", false, false, 1500, 1460, 1460},
        {"1500", false, true, 1500, 1440, 1440},
        {"576", true, false, 576, 536, 536},
        {"9216", true, true, 9216, 9156, 9156},
        // The options need a segment size to announce: Ethernet's.
        {"", true, false, 1500, 1460, 1460},
        {"", true, true, 1500, 1440, 1440},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "MTU '" << c.mtu << "', options " << c.tcpOptions
                                          << ", IPv6 " << c.ipv6);
        CommandLine cl;
        if (!c.mtu.empty()) cl.mtu = c.mtu;
        cl.tcpOptions = c.tcpOptions;
        cl.blockSize = std::to_string(c.largestBlock);
        const Settings s = applied(cl, c.ipv6);
        EXPECT_EQ(s.mtu, c.mtuSet);
        EXPECT_EQ(s.tcp.mss, c.mss);
        EXPECT_EQ(s.blockSize, c.largestBlock);
        cl.blockSize = std::to_string(c.largestBlock + 1);
        EXPECT_THROW(applied(cl, c.ipv6), FatalError);
    }
}

TEST(NetworkOptions, RealisticPresetAndWhatOverridesIt) {
    CommandLine cl;
    cl.realistic = true;
    for (bool ipv6 : {false, true}) {
        const Settings s = applied(cl, ipv6);
        EXPECT_EQ(s.mtu, 1500);
        EXPECT_EQ(s.tcp.mss, ipv6 ? 1440 : 1460);
        EXPECT_EQ(s.blockSize, ipv6 ? 1428 : 1448) << "full-size segments beside the timestamps";
        EXPECT_TRUE(s.tcp.options && s.tcp.randomIsn && s.tcp.delayedAck);
        EXPECT_EQ(s.timing.rttNs, 20000000u);
        EXPECT_EQ(s.timing.rateBitsPerSecond, 100000000u);
        EXPECT_EQ(s.timing.startNs, now * 1000000000u);
        EXPECT_EQ(s.ttl, 64);
        EXPECT_EQ(s.link.vlanCount, 0);
    }
    cl.mtu = "9000";
    cl.startTime = "2026-01-31T12:00:00Z";
    cl.rtt = "80";
    cl.rate = "1000";
    Settings s = applied(cl);
    EXPECT_EQ(s.mtu, 9000);
    EXPECT_EQ(s.tcp.mss, 8960);
    EXPECT_EQ(s.blockSize, 8948);
    EXPECT_EQ(s.timing.startNs, 1769860800ull * 1000000000u);
    EXPECT_EQ(s.timing.rttNs, 80000000u);
    EXPECT_EQ(s.timing.rateBitsPerSecond, 1000000000u);
    cl.blockSize = "1000";
    EXPECT_EQ(applied(cl).blockSize, 1000);
}

TEST(NetworkOptions, ValuesThatAreTaken) {
    struct Case {
        const char* name;
        std::function<void(CommandLine&)> set;
        std::function<void(const Settings&)> check;
    };
    const Case cases[] = {
        {"--window without options", [](CommandLine& c) { c.window = "65535"; },
         [](const Settings& s) { EXPECT_EQ(s.tcp.window, 65535u); }},
        {"--window scaled",
         [](CommandLine& c) {
             c.tcpOptions = true;
             c.window = "1073725440";
         },
         [](const Settings& s) { EXPECT_EQ(s.tcp.window, 1073725440u); }},
        {"--window two segments and one octet", [](CommandLine& c) { c.window = "2401"; },
         [](const Settings& s) { EXPECT_EQ(s.tcp.window, 2401u); }},
        {"--start-time now", [](CommandLine& c) { c.startTime = "now"; },
         [](const Settings& s) { EXPECT_EQ(s.timing.startNs, now * 1000000000u); }},
        {"--start-time in seconds", [](CommandLine& c) { c.startTime = "1000"; },
         [](const Settings& s) {
             EXPECT_EQ(s.timing.startNs, 1000000000000u);
             EXPECT_FALSE(s.timing.modelled()) << "a start alone keeps the 13 ms steps";
         }},
        {"--rtt with a fraction", [](CommandLine& c) { c.rtt = "0.25"; },
         [](const Settings& s) {
             EXPECT_EQ(s.timing.rttNs, 250000u);
             EXPECT_TRUE(s.timing.modelled());
         }},
        {"--rate with a fraction", [](CommandLine& c) { c.rate = "1.5"; },
         [](const Settings& s) {
             EXPECT_EQ(s.timing.rateBitsPerSecond, 1500000u);
             EXPECT_TRUE(s.timing.modelled());
         }},
        {"--ttl", [](CommandLine& c) { c.ttl = "255"; },
         [](const Settings& s) { EXPECT_EQ(s.ttl, 255); }},
        {"--client-mac and --server-mac",
         [](CommandLine& c) {
             c.clientMac = "02:00:00:00:00:01";
             c.serverMac = "02:00:00:00:00:02";
         },
         [](const Settings& s) {
             EXPECT_EQ(s.link.clientMac, (MacAddress{2, 0, 0, 0, 0, 1}));
             EXPECT_EQ(s.link.serverMac, (MacAddress{2, 0, 0, 0, 0, 2}));
         }},
        {"--vlan one tag", [](CommandLine& c) { c.vlan = "4094"; },
         [](const Settings& s) {
             EXPECT_EQ(s.link.vlanCount, 1);
             EXPECT_EQ(s.link.vlanIds[0], 4094);
         }},
        {"--decoy alone: every file segment", [](CommandLine& c) { c.decoy = "frag-last"; },
         [](const Settings& s) {
             EXPECT_EQ(s.conditions.decoy, DecoyKind::fragLast);
             EXPECT_EQ(s.conditions.decoyPpm, 1000000u);
             EXPECT_TRUE(s.conditions.decoyText.empty());
             EXPECT_TRUE(s.conditions.any());
         }},
        {"--decoy with a share and a text",
         [](CommandLine& c) {
             c.decoy = "out-of-window:0.25";
             c.decoyText = "EICAR";
         },
         [](const Settings& s) {
             EXPECT_EQ(s.conditions.decoy, DecoyKind::outOfWindow);
             EXPECT_EQ(s.conditions.decoyPpm, 250000u);
             EXPECT_EQ(s.conditions.decoyText, "EICAR");
         }},
        {"--decoy ttl with a TTL of two", [](CommandLine& c) {
             c.decoy = "ttl";
             c.ttl = "2";
         },
         [](const Settings& s) { EXPECT_EQ(s.conditions.decoy, DecoyKind::ttl); }},
        {"--vlan two tags", [](CommandLine& c) { c.vlan = "1,200"; },
         [](const Settings& s) {
             EXPECT_EQ(s.link.vlanCount, 2);
             EXPECT_EQ(s.link.vlanIds[0], 1);
             EXPECT_EQ(s.link.vlanIds[1], 200);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CommandLine cl;
        c.set(cl);
        c.check(applied(cl));
    }
}

TEST(NetworkOptions, ValuesThatAreRefused) {
    struct Case {
        std::function<void(CommandLine&)> set;
        const char* option;  // named in the message
    };
    const Case cases[] = {
        {[](CommandLine& c) { c.mtu = "575"; }, "--mtu"},
        {[](CommandLine& c) { c.mtu = "9217"; }, "--mtu"},
        {[](CommandLine& c) { c.mtu = "1500.0"; }, "--mtu"},
        {[](CommandLine& c) { c.mtu = ""; }, "--mtu"},
        {[](CommandLine& c) { c.window = "0"; }, "--window"},
        {[](CommandLine& c) { c.window = "2400"; }, "--window"},  // less than two segments
        {[](CommandLine& c) { c.window = "65536"; }, "--window"},  // unscaled without options
        {[](CommandLine& c) {
             c.tcpOptions = true;
             c.window = "1073725441";
         },
         "--window"},
        {[](CommandLine& c) {
             c.mtu = "9000";
             c.blockSize = "8000";
             c.window = "16000";
         },
         "--window"},
        {[](CommandLine& c) { c.window = "-1"; }, "--window"},
        {[](CommandLine& c) { c.startTime = "yesterday"; }, "--start-time"},
        {[](CommandLine& c) { c.startTime = "2026-02-30T00:00:00Z"; }, "--start-time"},
        {[](CommandLine& c) { c.startTime = "4294967295"; }, "--start-time"},
        {[](CommandLine& c) { c.rtt = "0"; }, "--rtt"},
        {[](CommandLine& c) { c.rtt = "0.0000001"; }, "--rtt"},
        {[](CommandLine& c) { c.rtt = "60000.5"; }, "--rtt"},
        {[](CommandLine& c) { c.rtt = "-5"; }, "--rtt"},
        {[](CommandLine& c) { c.rtt = "20ms"; }, "--rtt"},
        {[](CommandLine& c) { c.rate = "0"; }, "--rate"},
        {[](CommandLine& c) { c.rate = "400001"; }, "--rate"},
        {[](CommandLine& c) { c.rate = "fast"; }, "--rate"},
        {[](CommandLine& c) { c.ttl = "0"; }, "--ttl"},
        {[](CommandLine& c) { c.ttl = "256"; }, "--ttl"},
        {[](CommandLine& c) { c.clientMac = "aa:bb:cc:dd:ee"; }, "--client-mac"},
        {[](CommandLine& c) { c.serverMac = "aa:bb:cc:dd:ee:gg"; }, "--server-mac"},
        {[](CommandLine& c) { c.vlan = "0"; }, "--vlan"},
        {[](CommandLine& c) { c.vlan = "4095"; }, "--vlan"},
        {[](CommandLine& c) { c.vlan = "10,"; }, "--vlan"},
        {[](CommandLine& c) { c.vlan = ",10"; }, "--vlan"},
        {[](CommandLine& c) { c.vlan = "1,2,3"; }, "--vlan"},
        {[](CommandLine& c) { c.vlan = "10,4095"; }, "--vlan"},
        {[](CommandLine& c) { c.blockSize = "1201"; }, "--block-size"},
        {[](CommandLine& c) { c.decoy = "tcp-middle"; }, "--decoy"},
        {[](CommandLine& c) { c.decoy = "tcp-first:0"; }, "--decoy"},
        {[](CommandLine& c) { c.decoy = "tcp-first:1.5"; }, "--decoy"},
        {[](CommandLine& c) { c.decoy = "tcp-first:"; }, "--decoy"},
        {[](CommandLine& c) { c.decoy = ""; }, "--decoy"},
        {[](CommandLine& c) {
             c.decoy = "ttl";
             c.ttl = "1";
         },
         "--decoy"},
        {[](CommandLine& c) {
             c.decoy = "frag-first";
             c.blockSize = "7";
         },
         "--decoy"},
        {[](CommandLine& c) { c.decoyText = "X"; }, "--decoy-text"},
        {[](CommandLine& c) {
             c.decoy = "tcp-last";
             c.decoyText = "";
         },
         "--decoy-text"},
    };
    for (const auto& c : cases) {
        CommandLine cl;
        c.set(cl);
        try {
            applied(cl);
            ADD_FAILURE() << c.option << " accepted a bad value";
        } catch (const FatalError& error) {
            EXPECT_EQ(error.status, exitUsage) << c.option;
            const std::string message = error.what();
            EXPECT_EQ(message.rfind("Error: " + std::string(c.option), 0), 0u) << message;
        }
    }
}

}  // namespace
}  // namespace tracemint
