#include "link/ethernet.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/pcap-reader.h"
#include "tcp/tcp-session.h"

namespace tracemint {
namespace {

using testing::CaptureFixture;

TEST(Ethernet, AddressesAndVlanTags) {
    struct Case {
        const char* name;
        uint8_t ipVersion;
        uint8_t vlanCount;
        std::array<uint16_t, 2> ids;
        std::vector<uint8_t> afterMacs;  // tags and the EtherType of the IP packet
    };
    const Case cases[] = {
        {"untagged IPv4", 4, 0, {}, {0x08, 0x00}},
        {"untagged IPv6", 6, 0, {}, {0x86, 0xdd}},
        {"one 802.1Q tag", 4, 1, {100, 0}, {0x81, 0x00, 0x00, 0x64, 0x08, 0x00}},
        {"one tag, the highest ID, IPv6", 6, 1, {4094, 0}, {0x81, 0x00, 0x0f, 0xfe, 0x86, 0xdd}},
        // 802.1ad service tag outside, 802.1Q customer tag inside.
        {"two tags",
         4,
         2,
         {10, 2000},
         {0x88, 0xa8, 0x00, 0x0a, 0x81, 0x00, 0x07, 0xd0, 0x08, 0x00}},
        {"two tags, IPv6",
         6,
         2,
         {1, 4094},
         {0x88, 0xa8, 0x00, 0x01, 0x81, 0x00, 0x0f, 0xfe, 0x86, 0xdd}},
    };
    const MacAddress client{0x02, 0x00, 0x5e, 0x10, 0x00, 0x01};
    const MacAddress server{0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CaptureFixture f(c.ipVersion);
        f.settings.link.vlanCount = c.vlanCount;
        f.settings.link.vlanIds = c.ids;
        f.conn.flow.source.mac = client;
        f.conn.flow.destination.mac = server;
        EXPECT_EQ(linkHeaderSize(f.settings.link), 14 + 4 * size_t{c.vlanCount});
        sendMessage(f.conn, "abc", toServer);  // the segment, then the server's ACK
        auto records = f.finish();
        ASSERT_EQ(records.size(), 2u);
        const size_t ipSize = c.ipVersion == 6 ? 40 : 20;
        for (size_t i = 0; i < 2; ++i) {
            const auto& frame = records[i].frame;
            const MacAddress& to = i == 0 ? server : client;
            const MacAddress& from = i == 0 ? client : server;
            std::vector<uint8_t> expected(to.begin(), to.end());
            expected.insert(expected.end(), from.begin(), from.end());
            expected.insert(expected.end(), c.afterMacs.begin(), c.afterMacs.end());
            ASSERT_EQ(frame.size(), expected.size() + ipSize + 20 + (i == 0 ? 3 : 0));
            EXPECT_EQ(std::vector<uint8_t>(frame.begin(),
                                           frame.begin() + static_cast<long>(expected.size())),
                      expected)
                << "packet " << i;
            // The IP packet follows the last tag untouched.
            EXPECT_EQ(frame[expected.size()] >> 4, c.ipVersion);
        }
    }
}

}  // namespace
}  // namespace tracemint
