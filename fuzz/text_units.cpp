// Character-level helpers on arbitrary (including malformed UTF-16) text. The first byte gives
// a count, the second is padding, the rest is the text as UTF-16, so lone surrogates reach the helpers too.
#include "FuzzSupport.h"

#include "Core/Formatting/TextUnits.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzz::initialize();
    if (size < 2) return 0;
    const qsizetype count = data[0] % 64;
    const QString text(reinterpret_cast<const QChar*>(data + 2), qsizetype((size - 2) / 2));

    const qsizetype characters = TextUnits::characterCount(text);
    Fuzz::check(characters <= text.size(), "no more characters than code units");
    const QString last = TextUnits::lastCharacters(text, count);
    const QString first = TextUnits::firstCharacters(text, count);
    Fuzz::check(text.endsWith(last) && text.startsWith(first), "first and last characters are the text's own");
    // (Their own character count may differ from `count`: grapheme boundaries depend on the
    // neighbours, so a piece cut out of a text is not always segmented the same way alone.)
    Fuzz::check((count >= characters) == (last == text) && (count >= characters) == (first == text),
                "first and last characters are the whole text exactly when it is that short",
                QStringLiteral("%1 of %2").arg(count).arg(characters));
    const QStringView firstChar = TextUnits::firstCharacter(text);
    const QStringView lastChar = TextUnits::lastCharacter(text);
    Fuzz::check(text.isEmpty() == firstChar.isEmpty() && text.isEmpty() == lastChar.isEmpty(),
                "a text has a first and last character unless it is empty");
    (void)TextUnits::firstCodePoint(text);
    (void)TextUnits::isLetter(firstChar);
    (void)TextUnits::isNumber(lastChar);
    (void)TextUnits::isUppercaseLetter(firstChar);
    (void)TextUnits::trimPunctuation(text);
    for (const QString& piece : TextUnits::splitAtSpaces(text))
        Fuzz::check(!piece.isEmpty() && !piece.contains(QLatin1Char(' ')), "split pieces hold no space");
    (void)TextUnits::codePointLess(text, last);
    return 0;
}
