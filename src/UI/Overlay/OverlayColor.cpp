#include "UI/Overlay/OverlayColor.h"

#include <cstdint>

QColor colorFromHex(const QString& hex) {
    qsizetype begin = 0;
    qsizetype end = hex.size();
    while (begin < end && hex.at(begin) == QLatin1Char('#')) ++begin;
    while (end > begin && hex.at(end - 1) == QLatin1Char('#')) --end;
    if (end - begin != 6) return QColor::fromRgb(0, 0, 0);

    // Only six characters remain, so the number cannot overflow.
    std::uint64_t value = 0;
    for (qsizetype i = begin; i < end; ++i) {
        const char16_t c = hex.at(i).unicode();
        int d = -1;
        if (c >= u'0' && c <= u'9')
            d = c - u'0';
        else if (c >= u'a' && c <= u'f')
            d = c - u'a' + 10;
        else if (c >= u'A' && c <= u'F')
            d = c - u'A' + 10;
        if (d < 0) break;
        value = value * 16 + static_cast<std::uint64_t>(d);
    }
    return QColor::fromRgb(static_cast<int>((value >> 16) & 0xFF), static_cast<int>((value >> 8) & 0xFF),
                           static_cast<int>(value & 0xFF));
}
