#include "ip/ip-layer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "common/reference-checksum.h"
#include "support/pcap-reader.h"
#include "tcp/tcp-session.h"

namespace tracemint {
namespace {

using testing::CaptureFixture;
using testing::referenceSum;
using testing::tcpChecksumCoverage;

TEST(IpLayer, TimeToLiveAndHopLimit) {
    for (uint8_t version : {uint8_t{4}, uint8_t{6}}) {
        for (int ttl : {1, 64, 128, 255}) {
            SCOPED_TRACE(::testing::Message() << "IPv" << int{version} << ", TTL " << ttl);
            CaptureFixture f(version);
            f.settings.ttl = static_cast<uint8_t>(ttl);
            f.applySettings();
            sendMessage(f.conn, "hop", toClient);
            auto records = f.finish();
            ASSERT_EQ(records.size(), 2u);
            for (const auto& r : records) {
                const auto& frame = r.frame;
                if (version == 6) {
                    EXPECT_EQ(frame[14 + 7], ttl) << "hop limit";
                } else {
                    EXPECT_EQ(frame[14 + 8], ttl);
                    std::vector<uint8_t> header(frame.begin() + 14, frame.begin() + 34);
                    EXPECT_EQ(referenceSum(header), 0xFFFF) << "IPv4 header checksum";
                }
                // The hop count is not in the TCP pseudo-header.
                EXPECT_EQ(referenceSum(tcpChecksumCoverage(frame)), 0xFFFF) << "TCP checksum";
            }
        }
    }
}

}  // namespace
}  // namespace tracemint
