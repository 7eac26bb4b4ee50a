#include "support/Pipeline/PipelineHarness.h"
#include "support/TestEnvironment.h"
#include "support/text/QtPrinters.h"

#include <gtest/gtest.h>

// The formatted text fitted to the field it lands in, as both roads compose the adjustments:
// a continuation of a clause is lowered and joined with one space, a new sentence keeps its
// capital, an empty field takes the text as it is.

namespace {

using S = DictationStatus;

struct FitCase {
    const char* before;
    const char* pasted;
};

constexpr FitCase kCases[] = {
    {"Dear team, as discussed", " we ship on Friday."},  // ends in a letter
    {"Dear team,", " we ship on Friday."},               // ends in a comma
    {"Dear team.", " We ship on Friday."},               // ends a sentence
    {"", "We ship on Friday."},                          // nothing before the caret
};

TranscriptionContext fieldContext(const QString& before) {
    TranscriptionContext context;
    context.app.name = QStringLiteral("Editor");
    context.app.bundleId = QStringLiteral("org.example.editor");
    context.app.type = AppType::document;
    context.textboxContents.contents = before;
    context.textboxContents.beforeText = before;
    context.textboxContents.accessibilityIsFunctioning = true;
    return context;
}

TEST(PipelineFieldFit, BatchRoadLowersAContinuationBeforeAddingItsSpace) {
    for (const FitCase& row : kCases) {
        SCOPED_TRACE(row.before);
        PipelineHarness h;
        h.setUp();
        h.contextEngine->context = fieldContext(QString::fromUtf8(row.before));
        h.formatter->answer = QStringLiteral("We ship on Friday.");
        ASSERT_TRUE(h.dictate(25));
        EXPECT_EQ(h.inserter->pastedTexts(), QStringList{QString::fromUtf8(row.pasted)});
    }
}

TEST(PipelineFieldFit, StreamingRoadLowersAContinuationBeforeAddingItsSpace) {
    for (const FitCase& row : kCases) {
        SCOPED_TRACE(row.before);
        PipelineHarness h;
        h.setUp();
        h.contextEngine->context = fieldContext(QString::fromUtf8(row.before));
        h.link->linkState = AbstractStreamingLink::State::connected;
        h.record(25);
        h.pipeline->stopDictation();
        ASSERT_TRUE(waitUntil([&] { return h.link->commits.size() == 1; }));
        h.link->onFinalResult(QStringLiteral("we ship on friday"), QStringLiteral("We ship on Friday."), {});
        ASSERT_TRUE(h.waitForStatus(S::idle));
        EXPECT_EQ(h.inserter->pastedTexts(), QStringList{QString::fromUtf8(row.pasted)});
    }
}

}  // namespace
