#include "Platform/Atspi/AtspiTextLimits.h"

#include <algorithm>

namespace AtspiTextLimits {

Window caretWindow(qint64 count, qint64 selectionStart, qint64 selectionEnd) {
    if (count <= 0) return {};
    if (count <= kWholeText) return {0, count};
    const qint64 start = std::clamp<qint64>(selectionStart, 0, count);
    const qint64 end = std::clamp<qint64>(std::max(selectionEnd, start), start, count);
    const qint64 keptEnd = std::min(end, start + kSelection);
    return {std::max<qint64>(0, start - kCaretContext), std::min(count, keptEnd + kCaretContext)};
}

QString boundedUtf8(const char* text, qint64 maxCharacters) {
    if (!text || maxCharacters <= 0) return {};
    qint64 bytes = 0;
    qint64 characters = 0;
    // Stops at the cap without looking further: a huge text costs only what is kept.
    while (characters < maxCharacters) {
        const auto lead = static_cast<unsigned char>(text[bytes]);
        if (lead == 0) break;
        const int size = lead < 0x80           ? 1
                         : (lead >> 5) == 0x6  ? 2
                         : (lead >> 4) == 0xE  ? 3
                         : (lead >> 3) == 0x1E ? 4
                                               : 1;
        int taken = 1;
        while (taken < size && (static_cast<unsigned char>(text[bytes + taken]) & 0xC0) == 0x80) ++taken;
        bytes += taken;
        ++characters;
    }
    QString decoded = QString::fromUtf8(text, bytes);
    // The walk counts an invalid sequence once, but it decodes to a replacement character per
    // byte: the cap holds for what is returned, not only for what was read.
    qsizetype kept = 0;
    for (qint64 n = 0; kept < decoded.size() && n < maxCharacters; ++n)
        kept += decoded.at(kept).isHighSurrogate() && kept + 1 < decoded.size() && decoded.at(kept + 1).isLowSurrogate()
                    ? 2
                    : 1;
    decoded.truncate(kept);
    return decoded;
}

}  // namespace AtspiTextLimits
