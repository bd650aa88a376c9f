#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "common/util.h"

namespace {

using Area = std::array<unsigned char, 4>;

std::string ToText(const Area &area) {
    char text[16];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(tran_IPArea_DOTString(area.data(), text), 0);
    return text;
}

TEST(AddressText, FormatsTheFourBytesInOrder) {
    EXPECT_EQ(ToText({192, 168, 0, 2}), "192.168.0.2");
    EXPECT_EQ(ToText({0, 0, 0, 0}), "0.0.0.0");
    EXPECT_EQ(ToText({255, 255, 255, 0}), "255.255.255.0");
    EXPECT_EQ(ToText({255, 255, 255, 255}), "255.255.255.255");
    EXPECT_EQ(ToText({10, 0, 0, 1}), "10.0.0.1");
}

TEST(AddressArea, ParsesDottedDecimal) {
    Area area{9, 9, 9, 9};
    ASSERT_EQ(tran_DOTString_IPArea(area.data(), "192.168.0.2"), 0);
    EXPECT_EQ(area, (Area{192, 168, 0, 2}));
}

TEST(AddressArea, EmptyTextIsTheZeroAddress) {
    Area area{9, 9, 9, 9};
    ASSERT_EQ(tran_DOTString_IPArea(area.data(), ""), 0);
    EXPECT_EQ(area, (Area{0, 0, 0, 0}));
}

TEST(AddressArea, AcceptsTheShortFormsOfInetAton) {
    Area area{};
    ASSERT_EQ(tran_DOTString_IPArea(area.data(), "10.1"), 0);
    EXPECT_EQ(area, (Area{10, 0, 0, 1}));
    ASSERT_EQ(tran_DOTString_IPArea(area.data(), "10.1.2"), 0);
    EXPECT_EQ(area, (Area{10, 1, 0, 2}));
    ASSERT_EQ(tran_DOTString_IPArea(area.data(), "3232235522"), 0);  // one 32-bit part
    EXPECT_EQ(area, (Area{192, 168, 0, 2}));
}

TEST(AddressArea, AcceptsHexadecimalAndOctalParts) {
    Area area{};
    ASSERT_EQ(tran_DOTString_IPArea(area.data(), "0xC0.0250.0.0x2"), 0);
    EXPECT_EQ(area, (Area{192, 168, 0, 2}));
    ASSERT_EQ(tran_DOTString_IPArea(area.data(), "010.0.0.1"), 0);  // 010 is octal 8
    EXPECT_EQ(area, (Area{8, 0, 0, 1}));
}

TEST(AddressArea, RejectsNonAddressesAndLeavesTheAreaUntouched) {
    for (const char *text :
         {"192.168.0.256", "1.2.3.4.5", "abc", "1.2.3.x", "08.1.1.1", " x", "1..2", "256.256"}) {
        Area area{7, 7, 7, 7};
        EXPECT_EQ(tran_DOTString_IPArea(area.data(), text), -1) << text;
        EXPECT_EQ(area, (Area{7, 7, 7, 7})) << text;
    }
}

TEST(AddressArea, RoundTripsThroughText) {
    const Area original{172, 16, 254, 1};
    Area back{};
    ASSERT_EQ(tran_DOTString_IPArea(back.data(), ToText(original).c_str()), 0);
    EXPECT_EQ(back, original);
}

}  // namespace
