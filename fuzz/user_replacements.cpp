// The user's text replacements on arbitrary text. Fields (0x1F): the text, the rules (see
// Fuzz::parseRules; only 'u' lines count here).
#include "FuzzSupport.h"

#include "Core/Formatting/UserTextReplacements.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzz::initialize();
    const QStringList parts = Fuzz::fields(data, size, 2);
    const QString& text = parts[0];
    const QList<TextReplacement> rules = Fuzz::parseRules(parts[1]).userReplacements;

    {
        const QString result = UserTextReplacements::apply(text, rules);
        Fuzz::check(result.size() <= Fuzz::allowedOutputLength(text.size()), "chained user replacements stay bounded",
                    QStringLiteral("%1 characters from %2").arg(result.size()).arg(text.size()));
    }

    // Each rule on its own: it matches its own trigger.
    for (const TextReplacement& rule : rules) {
        const QString alone = UserTextReplacements::apply(rule.trigger, {rule});
        if (Fuzz::isPlainTrigger(rule.trigger))
            Fuzz::check(alone == rule.replacement, "a user replacement matches its own trigger",
                        rule.trigger + QStringLiteral(" -> ") + alone);
    }
    return 0;
}
