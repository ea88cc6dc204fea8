#include <gtest/gtest.h>

#include "capture/tcp-conversation.h"
#include "support/pcap-reader.h"

namespace tracemint {
namespace {

TEST(CaptureFixture, HandshakeIsThreeFrames) {
    testing::CaptureFixture f;
    openConnection(f.conn);
    auto records = f.finish();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].frame.size(), 54u);
    EXPECT_EQ(records[0].flags(), tcpSyn);
}

}  // namespace
}  // namespace tracemint
