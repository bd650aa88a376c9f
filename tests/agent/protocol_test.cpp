// The wire format shared by the agent and the PC tool.
#include "protocol/protocol.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(ProtocolTest, LittleEndianFieldsRoundTrip) {
    std::uint8_t b[8] = {};
    proto::PutHeader(b, proto::SetupHeader{0x0123, -309, 0xBEEF, 250});
    const std::uint8_t expect[8] = {0x23, 0x01, 0xCB, 0xFE, 0xEF, 0xBE, 0xFA, 0x00};
    EXPECT_EQ(0, memcmp(b, expect, 8));
    const proto::SetupHeader h = proto::GetHeader(b);
    EXPECT_EQ(h.command, 0x0123);
    EXPECT_EQ(h.status, -309);
    EXPECT_EQ(h.sequence, 0xBEEF);
    EXPECT_EQ(h.length, 250);

    std::uint8_t tz[4];
    proto::PutI32(tz, -5);
    EXPECT_EQ(tz[0], 0xFB);
    EXPECT_EQ(tz[3], 0xFF);
    EXPECT_EQ(proto::GetI32(tz), -5);
}

TEST(ProtocolTest, StatusTableIsCompleteAndUnique) {
    std::set<int> seen;
    for (const proto::StatusText &s : proto::kStatusTexts) {
        EXPECT_TRUE(seen.insert(s.code).second) << s.code;
        EXPECT_FALSE(s.text.empty()) << s.code;
    }
    for (int code : {0, -1, -101, -117, -120, -205, -208, -231, -233, -301, -302, -303, -304, -305,
                     -307, -308, -309, -310, -315}) {
        EXPECT_FALSE(proto::StatusMeaning(code).empty()) << code;
    }
    EXPECT_EQ(proto::StatusMeaning(-309), "the settings file is locked by another program");
    EXPECT_TRUE(proto::StatusMeaning(-42).empty());
}

}  // namespace
