#pragma once

#include <QString>

// Bounds on the text another application can make us read through its accessibility tree.
// Every length an application reports is only a request size: what is kept is cut to the
// bounds here, so a field holding a hundred megabytes costs a window around the caret.
namespace AtspiTextLimits {

// A field up to this many characters is read whole; a longer one as a window around the
// caret. The context keeps a few thousand characters either side of the caret.
inline constexpr int kWholeText = 200000;
// Characters read before the caret or selection, and after it, in a longer field.
inline constexpr int kCaretContext = 12000;
// Characters of a selection read in a longer field; the rest of a longer selection is not read.
inline constexpr int kSelection = 12000;
// Names, descriptions, role and toolkit names.
inline constexpr int kLabel = 2000;
// A browser's address bar; a longer text is not taken as an address.
inline constexpr int kAddress = 8192;

// Character offsets [start, end) of a text to read.
struct Window {
    qint64 start = 0;
    qint64 end = 0;
    qint64 length() const { return end - start; }
};

// What to read of a text of `count` characters whose selection (or caret, when start == end)
// spans [selectionStart, selectionEnd); a negative start means no caret is known.
Window caretWindow(qint64 count, qint64 selectionStart, qint64 selectionEnd);

// At most `maxCharacters` characters (code points) of the UTF-8 text an application handed
// over; reads no byte past the last one kept. Invalid bytes become replacement characters, each
// counted against the cap.
QString boundedUtf8(const char* text, qint64 maxCharacters);

}  // namespace AtspiTextLimits
