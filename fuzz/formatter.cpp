// The rule-based formatter on arbitrary text with arbitrary user rules. Fields (0x1F): the
// dictated text, the application id, the rules (see Fuzz::parseRules).
#include "FuzzSupport.h"

#include "Core/Formatting/RuleBasedFormatter.h"
#include "Models/AppClassification.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzz::initialize();
    const QStringList parts = Fuzz::fields(data, size, 3);
    const QString& text = parts[0];
    const Fuzz::Rules rules = Fuzz::parseRules(parts[2]);

    VantroseSettings settings;
    settings.replacements = rules.replacements;
    settings.snippets = rules.snippets;
    settings.customWords = rules.customWords;
    const AppContext context(QStringLiteral("App"), parts[1], std::nullopt, {}, {}, {}, true, {});

    {
        const FormattingResult result = RuleBasedFormatter().formatNow(text, context, settings);
        Fuzz::check(result.text.size() <= Fuzz::allowedOutputLength(text.size()),
                    "chained formatter rules stay bounded",
                    QStringLiteral("%1 characters from %2").arg(result.text.size()).arg(text.size()));
    }

    // Every step alone, on the raw text.
    (void)RuleBasedFormatter::capitalizeSentences(text);
    (void)RuleBasedFormatter::capitalizeProperNouns(text, rules.customWords);
    (void)RuleBasedFormatter::fixCommonMistakes(text);
    (void)RuleBasedFormatter::capitalizeLoneI(text);
    (void)RuleBasedFormatter::ensureEndPunctuation(text, context.appType);
    (void)RuleBasedFormatter::cleanWhitespace(text);

    // A replacement matches its own trigger.
    {
        for (auto it = rules.replacements.cbegin(); it != rules.replacements.cend(); ++it) {
            if (!Fuzz::isPlainTrigger(it.key())) continue;
            const QString replaced = RuleBasedFormatter::applyReplacements(it.key(), {{it.key(), it.value()}});
            Fuzz::check(replaced == it.value(), "a formatter replacement matches its own trigger",
                        it.key() + QStringLiteral(" -> ") + replaced);
        }
    }
    return 0;
}
