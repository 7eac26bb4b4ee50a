#include "UI/Overlay/OverlayColor.h"

#include <gtest/gtest.h>

namespace {

struct HexCase {
    const char* text;
    QRgb expected;
};

TEST(OverlayColor, ReadsSixDigitLiteralsAndFallsBackToBlack) {
    const HexCase cases[] = {
        {"#4ADE80", qRgb(74, 222, 128)},
        {"#4ade80", qRgb(74, 222, 128)},
        {"4ADE80", qRgb(74, 222, 128)},
        {"##34D399#", qRgb(0x34, 0xD3, 0x99)},  // hash signs at both ends are dropped
        {"#FFFFFF", qRgb(255, 255, 255)},
        {"#000001", qRgb(0, 0, 1)},
        {"", qRgb(0, 0, 0)},
        {"#", qRgb(0, 0, 0)},
        {"#ABC", qRgb(0, 0, 0)},              // short form is not expanded
        {"#4ADE80FF", qRgb(0, 0, 0)},         // eight digits: not a colour here
        {"#12345G", qRgb(0x01, 0x23, 0x45)},  // reading stops at the first non-digit
        {"# 4ADE8", qRgb(0, 0, 0)},           // a leading space stops the reading at once
        {"0x4ADE", qRgb(0, 0, 0)},
        {"#4A#E80", qRgb(0, 0, 0x4A)},  // an inner hash sign ends the number
    };
    for (const HexCase& c : cases) {
        const QColor color = colorFromHex(QString::fromUtf8(c.text));
        EXPECT_EQ(color.rgba(), c.expected) << c.text;
        EXPECT_EQ(color.spec(), QColor::Rgb) << c.text;
    }
}

}  // namespace
