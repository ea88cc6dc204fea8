#include "capture/pcapng-format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tracemint {
namespace {

using Octets = std::vector<uint8_t>;

Octets operator+(Octets a, const std::string& text) {
    a.insert(a.end(), text.begin(), text.end());
    return a;
}

Octets operator+(Octets a, const Octets& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(PcapngFormat, SectionHeaderWithCommentAndApplication) {
    // 24 fixed octets, the comment (5 octets, padded to 8), the application (14,
    // padded to 16), the end of options, the trailing length: 24+12+20+4+4 = 64.
    const Octets expected = Octets{0x0a, 0x0d, 0x0d, 0x0a,  // block type
                                   0x40, 0x00, 0x00, 0x00,  // block length 64
                                   0x4d, 0x3c, 0x2b, 0x1a,  // byte-order magic
                                   0x01, 0x00, 0x00, 0x00,  // version 1.0
                                   0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,  // length -1
                                   0x01, 0x00, 0x05, 0x00} +  // opt_comment, 5 octets
                            "-m hx" +
                            Octets{0x00, 0x00, 0x00} +
                            Octets{0x04, 0x00, 0x0e, 0x00} +  // shb_userappl, 14 octets
                            "tracemint 1.29" + Octets{0x00, 0x00} +
                            Octets{0x00, 0x00, 0x00, 0x00,   // opt_endofopt
                                   0x40, 0x00, 0x00, 0x00};  // block length again
    EXPECT_EQ(pcapngSectionHeader("tracemint 1.29", "-m hx"), expected);

    // Without a comment only the application remains; a 16-octet value needs no padding.
    const Octets plain = pcapngSectionHeader("tracemint 1.29.0", "");
    ASSERT_EQ(plain.size(), 24u + 20 + 4 + 4);
    EXPECT_EQ(Octets(plain.begin() + 24, plain.begin() + 28), (Octets{0x04, 0x00, 0x10, 0x00}));
}

TEST(PcapngFormat, InterfaceDescriptionTellsLinkSnapLengthAndResolution) {
    for (TimeResolution resolution : {TimeResolution::microsecond, TimeResolution::nanosecond}) {
        const uint8_t exponent = resolution == TimeResolution::nanosecond ? 9 : 6;
        const Octets expected = {0x01,     0x00, 0x00, 0x00,  // block type
                                 0x20,     0x00, 0x00, 0x00,  // block length 32
                                 0x01,     0x00, 0x00, 0x00,  // link type 1, reserved
                                 0xff,     0xff, 0x00, 0x00,  // snap length 65535
                                 0x09,     0x00, 0x01, 0x00,  // if_tsresol, 1 octet
                                 exponent, 0x00, 0x00, 0x00,
                                 0x00,     0x00, 0x00, 0x00,  // opt_endofopt
                                 0x20,     0x00, 0x00, 0x00};
        EXPECT_EQ(pcapngInterfaceDescription(65535, resolution), expected);
    }
}

TEST(PcapngFormat, EnhancedPacketPaddingStampAndComment) {
    const Octets frame = {0xaa, 0xbb, 0xcc, 0xdd, 0xee};
    // 1223906136.013000 s in microseconds is 0x00045922_da79b8c8.
    const uint64_t stamp = 1223906136ull * 1000000 + 13000;
    ASSERT_EQ(stamp, 0x00045922da79b8c8ull);
    const Octets head = {0x06, 0x00, 0x00, 0x00,   // block type
                         0x28, 0x00, 0x00, 0x00,   // block length 40
                         0x00, 0x00, 0x00, 0x00,   // interface 0
                         0x22, 0x59, 0x04, 0x00,   // stamp, high half
                         0xc8, 0xb8, 0x79, 0xda,   // stamp, low half
                         0x05, 0x00, 0x00, 0x00,   // captured length
                         0x05, 0x00, 0x00, 0x00};  // original length
    const Octets bare = head + frame + Octets{0x00, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00};
    EXPECT_EQ(pcapngEnhancedPacket(stamp, frame, ""), bare);
    EXPECT_EQ(pcapngEnhancedPacketSize(5, 0), bare.size());

    // A comment adds itself and the end of the options: 40 + 4 + 8 + 4 = 56.
    Octets commented = head + frame + Octets{0x00, 0x00, 0x00, 0x01, 0x00, 0x07, 0x00} + "TCP SYN" +
                       Octets{0x00} + Octets{0x00, 0x00, 0x00, 0x00} +
                       Octets{0x38, 0x00, 0x00, 0x00};
    commented[4] = 0x38;
    EXPECT_EQ(pcapngEnhancedPacket(stamp, frame, "TCP SYN"), commented);
    EXPECT_EQ(pcapngEnhancedPacketSize(5, 7), commented.size());

    // Frames of every length modulo 4 keep the block a multiple of 32 bits, and
    // the length at both ends agrees with the size.
    for (size_t length : {0, 1, 2, 3, 4, 1514}) {
        for (const std::string comment : {"", "x", "HTTP/2 WINDOW_UPDATE"}) {
            SCOPED_TRACE(std::to_string(length) + " " + comment);
            const Octets block = pcapngEnhancedPacket(stamp, Octets(length, 0x5a), comment);
            ASSERT_EQ(block.size(), pcapngEnhancedPacketSize(length, comment.size()));
            EXPECT_EQ(block.size() % 4, 0u);
            EXPECT_EQ(getLe32(&block[4]), block.size());
            EXPECT_EQ(getLe32(&block[block.size() - 4]), block.size());
        }
    }
}

TEST(PcapngFormat, StampUnitsByResolution) {
    const SimClock stamp{1223906136, 999999};
    EXPECT_EQ(stampUnits(stamp, TimeResolution::microsecond), 1223906136999999ull);
    EXPECT_EQ(stampUnits(stamp, TimeResolution::nanosecond), 1223906136999999000ull);
}

}  // namespace
}  // namespace tracemint
