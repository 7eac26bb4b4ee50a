// Rule-based formatting, post-processing and user replacements of a 200-word dictation.
// Budget: under 1 ms per dictation.
#include "Core/Formatting/RuleBasedFormatter.h"
#include "Core/Formatting/TextPostProcessor.h"
#include "Core/Formatting/UserTextReplacements.h"

#include <benchmark/benchmark.h>

namespace {

QString twoHundredWords() {
    const QString sentence = QStringLiteral(
        "so i think we should meet on monday comma push the fix to github and then ask sarah "
        "about the javascript build period by the way the iphone tests look fine new line ");  // 30 words
    QString text;
    while (text.split(' ', Qt::SkipEmptyParts).size() < 200) text += sentence;
    return text.split(' ', Qt::SkipEmptyParts).mid(0, 200).join(' ');
}

VantroseSettings userSettings() {
    VantroseSettings settings;
    settings.replacements = {{"gonna", "going to"}, {"wanna", "want to"}, {"1+1", "2"}};
    settings.snippets = {{"my sig", "Best, Ada"}};
    settings.customWords = {"Sarah", "OpenAPI", "Vantrose", "kubectl", "PostgreSQL"};
    settings.textReplacements = {{"by the way", "btw"}, {"asap", "as soon as possible"}, {"omw", "on my way"}};
    return settings;
}

void BM_FormatPostProcessReplace(benchmark::State& state) {
    const QString raw = twoHundredWords();
    const VantroseSettings settings = userSettings();
    AppContext context(QStringLiteral("Editor"), QStringLiteral("org.example.editor"), std::nullopt,
                       QStringLiteral("Earlier text,"), {}, {}, true, {});
    RuleBasedFormatter formatter;
    for (auto _ : state) {
        QString text = formatter.formatNow(raw, context, settings).text;
        text = TextPostProcessor::adjustLeadingSpace(text, context.beforeText, context.selectedText);
        text = TextPostProcessor::adjustCasing(text, context.beforeText, context.appType);
        text = TextPostProcessor::adjustTrailingPunctuation(text, context.appType);
        text = UserTextReplacements::apply(text, settings.textReplacements);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_FormatPostProcessReplace)->Unit(benchmark::kMicrosecond);

// Rules whose texts hold the next rule's trigger many times: without a bound each rule would
// multiply the text (a single dictated word took seconds and gigabytes). Budget: a few ms.
void BM_ChainedRulesThatMultiply(benchmark::State& state) {
    VantroseSettings settings;
    settings.snippets = {
        {"a", QString("b").repeated(1000)}, {"b", QString("c").repeated(1000)}, {"c", QString("d").repeated(1000)}};
    settings.replacements = {
        {"a", QString("b ").repeated(500)}, {"b", QString("c ").repeated(500)}, {"c", QString("d ").repeated(200)}};
    settings.textReplacements = {
        {"x", QString("a ").repeated(1000)}, {"a", QString("b ").repeated(1000)}, {"b", QString("c ").repeated(1000)}};
    AppContext context(QStringLiteral("Editor"), QStringLiteral("org.example.editor"), std::nullopt, {}, {}, {}, true,
                       {});
    RuleBasedFormatter formatter;
    for (auto _ : state) {
        QString text = formatter.formatNow(QStringLiteral("a"), context, settings).text;
        text = UserTextReplacements::apply(QStringLiteral("x"), settings.textReplacements);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_ChainedRulesThatMultiply)->Unit(benchmark::kMicrosecond);

}  // namespace
