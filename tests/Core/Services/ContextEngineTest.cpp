#include "Core/Services/ContextEngine.h"

#include "Foundation/Logger.h"
#include "Models/TranscriptionResult.h"
#include "Models/VantroseSettings.h"
#include "support/FakeAppDetector.h"
#include "support/FakeContextEngine.h"
#include "support/FakeContextReader.h"

#include <QCoro/QCoroTask>
#include <QFile>

#include <gtest/gtest.h>

namespace {

DictionaryEntry entry(const QString& word, int used, std::optional<QString> replacement = std::nullopt,
                      bool snippet = false) {
    DictionaryEntry e;
    e.word = word;
    e.frequencyUsed = used;
    e.replacement = std::move(replacement);
    e.isSnippet = snippet;
    return e;
}

TranscriptionResult result(const QString& raw, const QString& formatted, const QString& language) {
    TranscriptionResult::Fields fields;
    fields.rawText = raw;
    fields.formattedText = formatted;
    fields.language = language;
    fields.detectedLanguage = QStringLiteral("xx");
    return TranscriptionResult(fields);
}

struct Harness {
    FakeAppDetector detector;
    FakeContextReader reader;
    FakeDictionarySource dictionary;
    VantroseSettings settings;
    ContextEngine engine{detector, reader};

    TranscriptionContext build() { return QCoro::waitFor(engine.buildTranscriptionContext(settings, dictionary)); }
};

}  // namespace

TEST(ContextEngine, AssemblesFullContextForAnEditor) {
    Harness h;
    h.detector.frontApp = FakeAppDetector::app(QStringLiteral("Code"), QStringLiteral("code"), 77);
    h.reader.focusedField =
        FakeContextReader::field(QStringLiteral("let userName = getUser"), {}, QStringLiteral("(account_id)"));
    h.reader.windowWords = {QStringLiteral("ContextEngine.cpp"), QStringLiteral("MAX_WORDS"),
                            QStringLiteral("Project")};
    h.settings.userName = QStringLiteral("Ada Lovelace King");
    QStringList cached;
    h.engine.setFileNameCache({[&](const QStringList& texts, const QString& id) { cached = texts + QStringList{id}; },
                               [] {
                                   return QStringList{"main.cpp", "README.md", "main.cpp"};
                               }});

    const TranscriptionContext c = h.build();
    EXPECT_EQ(c.app.name, QStringLiteral("Code"));
    EXPECT_EQ(c.app.bundleId, QStringLiteral("code"));
    EXPECT_EQ(c.app.type, AppType::coding);
    EXPECT_TRUE(c.app.classification.isCoding);
    EXPECT_EQ(c.ocrContext, h.reader.windowWords);
    EXPECT_FALSE(c.axContext.isEmpty());
    EXPECT_EQ(c.textboxContents.beforeText, QStringLiteral("let userName = getUser"));
    EXPECT_TRUE(c.textboxContents.accessibilityIsFunctioning);
    EXPECT_EQ(c.variableNames, (QStringList{"userName", "getUser", "account_id", "ContextEngine", "MAX_WORDS"}));
    EXPECT_EQ(c.fileNames, (QStringList{"main.cpp", "README.md"}));
    EXPECT_EQ(cached.last(), QStringLiteral("code"));
    EXPECT_EQ(c.userFirstName, QStringLiteral("Ada"));
    EXPECT_EQ(c.userLastName, QStringLiteral("Lovelace King"));
    EXPECT_EQ(c.personalizationStyle, h.settings.personalization.workStyle);
    EXPECT_FALSE(c.screenshot.has_value());
    EXPECT_EQ(c.sessionDictationApps, QStringList{"code"});
    EXPECT_GE(c.contextGatherTimeMs, 0);
}

TEST(ContextEngine, NothingReadableGivesEmptyValuesAndEditableTextbox) {
    Harness h;
    const TranscriptionContext c = h.build();
    EXPECT_TRUE(c.app.name.isEmpty());
    EXPECT_TRUE(c.app.bundleId.isEmpty());
    EXPECT_TRUE(c.axContext.isEmpty());
    EXPECT_TRUE(c.textboxContents.isEditable);
    EXPECT_FALSE(c.textboxContents.accessibilityIsFunctioning);
    EXPECT_TRUE(c.sessionDictationApps.isEmpty());
    EXPECT_TRUE(c.dictionaryContext.isEmpty());
}

TEST(ContextEngine, SessionAppsAreAddedOnceInOrder) {
    Harness h;
    h.detector.frontApp = FakeAppDetector::app("Mail", "org.mozilla.Thunderbird");
    h.build();
    h.build();
    h.detector.frontApp = FakeAppDetector::app("Slack", "com.slack.Slack");
    const TranscriptionContext c = h.build();
    EXPECT_EQ(c.sessionDictationApps, (QStringList{"org.mozilla.Thunderbird", "com.slack.Slack"}));
    EXPECT_EQ(h.engine.sessionDictationApps(), c.sessionDictationApps);
}

TEST(ContextEngine, VariableNamesOnlyForEditors) {
    Harness h;
    h.detector.frontApp = FakeAppDetector::app("Text Editor", "org.gnome.TextEditor");
    h.reader.windowWords = {QStringLiteral("camelCase"), QStringLiteral("snake_case")};
    EXPECT_TRUE(h.build().variableNames.isEmpty());
}

TEST(ContextEngine, DictionarySplit) {
    const auto split = ContextEngine::splitDictionary({
        entry("rare", 1),
        entry("often", 5, QStringLiteral("Often!")),
        entry("sig", 9, QStringLiteral("Best, Ada"), true),
        entry("nothing", 3, std::nullopt, true),
        entry("often", 0, QStringLiteral("later wins")),
        entry("twice", 2),
    });
    EXPECT_EQ(split.words, (QStringList{"often", "rare", "often", "twice"}));
    EXPECT_EQ(split.replacements.value("often"), QStringLiteral("later wins"));
    EXPECT_EQ(split.snippets, (QMap<QString, QString>{{"sig", "Best, Ada"}}));

    QList<DictionaryEntry> many;
    for (int i = 0; i < 600; ++i) many << entry(QStringLiteral("w%1").arg(i), i % 2 ? 5 : 0);
    const auto capped = ContextEngine::splitDictionary(many);
    EXPECT_EQ(capped.words.size(), 500);
    EXPECT_EQ(capped.wordCountBeforeCap, 600);
    EXPECT_EQ(capped.words.first(), QStringLiteral("w1"));
}

TEST(ContextEngine, WritingStyleByApplication) {
    PersonalizationSettings p;
    p.personalStyle = WritingStyle::casual;
    p.workStyle = WritingStyle::concise;
    p.emailStyle = WritingStyle::formal;
    p.otherStyle = WritingStyle::excited;
    struct Case {
        const char* id;
        const char* name;
        WritingStyle style;
    };
    const Case cases[] = {
        {"com.slack.Slack", "Slack", WritingStyle::concise},
        {"org.telegram.desktop", "Telegram", WritingStyle::casual},
        {"org.mozilla.Thunderbird", "Thunderbird", WritingStyle::formal},
        {"code", "Code", WritingStyle::concise},
        {"firefox", "Firefox", WritingStyle::excited},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ContextEngine::chooseWritingStyle(p, AppClassification::classify(c.id, c.name, std::nullopt)),
                  c.style)
            << c.id;
    p.overrideStyle = WritingStyle::veryCasual;
    EXPECT_EQ(ContextEngine::chooseWritingStyle(p, AppClassification::classify("code", "Code", std::nullopt)),
              WritingStyle::veryCasual);
}

TEST(ContextEngine, UserNameSplitsAtSingleBlanks) {
    using P = std::pair<QString, QString>;
    EXPECT_EQ(ContextEngine::splitUserName("Ada Lovelace King"), P("Ada", "Lovelace King"));
    EXPECT_EQ(ContextEngine::splitUserName(" Ada"), P("", "Ada"));
    EXPECT_EQ(ContextEngine::splitUserName(""), P("", ""));
    EXPECT_EQ(ContextEngine::splitUserName("Ada"), P("Ada", ""));
}

TEST(ContextEngine, PreviousDictationCarriesOver) {
    Harness h;
    EXPECT_TRUE(h.build().lastNonemptyStatus.isEmpty());
    h.engine.updateAfterTranscription(result("hello world", "Hello world.", "en-US"));
    TranscriptionContext c = h.build();
    EXPECT_EQ(c.prevASRText, QStringLiteral("hello world"));
    EXPECT_EQ(c.prevLLMText, QStringLiteral("Hello world."));
    EXPECT_EQ(c.prevDetectedLanguage, QStringLiteral("en-US"));
    EXPECT_EQ(c.lastNonemptyStatus, QStringLiteral("FORMATTED"));
    h.engine.updateAfterTranscription(result("uh", "", "de-DE"));
    c = h.build();
    EXPECT_EQ(c.prevLLMText, QString());
    EXPECT_EQ(c.lastNonemptyStatus, QStringLiteral("FORMATTED"));
}

TEST(ContextEngine, NeverLogsTextAroundTheCursor) {
    Harness h;
    h.detector.frontApp = FakeAppDetector::app("Code", "code");
    h.reader.focusedField = FakeContextReader::field(QStringLiteral("secretBefore words"), QStringLiteral("chosenPart"),
                                                     QStringLiteral("secretAfter"));
    h.reader.windowWords = {QStringLiteral("WindowSecret")};
    h.build();
    Logger::flush();
    QFile log(Logger::shared().logFilePath());
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(log.readAll());
    EXPECT_TRUE(text.contains(QLatin1String("ContextEngine: Built context in")));
    EXPECT_TRUE(text.contains(QString::fromUtf8("ContextEngine: Textbox → editable:true")));
    for (const char* secret : {"secretBefore", "secretAfter", "chosenPart", "WindowSecret"})
        EXPECT_FALSE(text.contains(QLatin1String(secret))) << secret;
}

TEST(ContextEngine, CurrentBrowserAddressReplacesTheRecordedOne) {
    Harness h;
    h.detector.frontApp = FakeAppDetector::app("Firefox", "firefox", 90, QStringLiteral("https://example.org/"));
    QString shown = QStringLiteral("https://mail.google.com/mail/u/0/");
    h.engine.setAddressLookup([&](ActiveAppInfo app) -> QCoro::Task<std::optional<QString>> {
        co_return app.pid == 90 ? std::optional<QString>(shown) : std::nullopt;
    });
    TranscriptionContext c = h.build();
    EXPECT_EQ(c.app.url, shown);
    EXPECT_EQ(c.app.type, AppType::email);
    shown = QStringLiteral("https://github.com/");
    c = h.build();
    EXPECT_EQ(c.app.url, shown);
    EXPECT_EQ(c.app.type, AppType::coding);
}

TEST(ContextEngine, EditorWindowTitlesFeedTheFileNames) {
    Harness h;  // the engine's own cache: the process-wide one, empty in a fresh test process
    h.detector.frontApp = FakeAppDetector::app("Code", "code", 77);
    h.detector.windowTitle = QStringLiteral("● ContextEngine.cpp - vantrose - Visual Studio Code");
    TranscriptionContext c = h.build();
    EXPECT_EQ(c.fileNames, QStringList{"ContextEngine.cpp"});

    // Names seen in an editor stay for later dictations, into any application; another
    // application's title is not searched.
    h.detector.frontApp = FakeAppDetector::app("Firefox", "firefox", 90);
    h.detector.windowTitle = QStringLiteral("budget.txt - Mozilla Firefox");
    c = h.build();
    EXPECT_EQ(c.fileNames, QStringList{"ContextEngine.cpp"});
}
