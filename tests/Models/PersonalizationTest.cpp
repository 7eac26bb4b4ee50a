#include "Models/Personalization.h"
#include "Foundation/Logger.h"
#include "Models/VantroseSettings.h"

#include <QFile>
#include <QJsonArray>

#include <gtest/gtest.h>

#include <limits>

namespace {

QStringList unlockLines() {
    Logger::flush();
    QFile f(Logger::shared().logFilePath());
    if (!f.open(QIODevice::ReadOnly)) return {};
    QStringList lines;
    for (const QString& line : QString::fromUtf8(f.readAll()).split('\n')) {
        const qsizetype at = line.indexOf("Personalization: ");
        if (at >= 0) lines << line.mid(at);
    }
    return lines;
}

}  // namespace

TEST(PersonalizationTest, RecordingWordsUnlocksTheVoiceProfileOnce) {
    struct Step {
        qint64 words;
        qint64 total;
        bool unlocked;
        const char* logged;  // nullptr: nothing logged
    };
    struct Case {
        const char* name;
        qint64 startTotal;
        std::initializer_list<Step> steps;
    };
    const Case cases[] = {
        {"crossing at exactly 500",
         0,
         {{499, 499, false, nullptr},
          {1, 500, true, "Personalization: Voice profile unlocked! (500 words)"},
          {1, 501, true, nullptr}}},
        {"one long dictation", 0, {{800, 800, true, "Personalization: Voice profile unlocked! (800 words)"}}},
        {"empty dictation at a locked 500",
         500,
         {{0, 500, true, "Personalization: Voice profile unlocked! (500 words)"}}},
        {"saturates at the 64-bit limit",
         std::numeric_limits<qint64>::max() - 1,
         {{5, std::numeric_limits<qint64>::max(), true,
           "Personalization: Voice profile unlocked! (9223372036854775807 words)"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PersonalizationSettings p;
        p.totalWordsDictated = c.startTotal;
        for (const Step& step : c.steps) {
            const QStringList before = unlockLines();
            p.recordDictation(step.words);
            EXPECT_EQ(p.totalWordsDictated, step.total);
            EXPECT_EQ(p.voiceProfileUnlocked, step.unlocked);
            const QStringList added = unlockLines().mid(before.size());
            EXPECT_EQ(added, step.logged ? QStringList{step.logged} : QStringList{});
        }
    }
}

TEST(PersonalizationTest, CountWordsSplitsOnAnyRunOfWhiteSpace) {
    struct Case {
        const char* text;
        qint64 words;
    };
    const Case cases[] = {
        {"", 0},
        {"   ", 0},
        {"hello", 1},
        {"two  words ", 2},
        {"  leading and trailing  ", 3},
        {"line\nbreak", 2},  // a line break separates words like a space does
        {"tab\tseparated\r\nwindows", 3},
        {"\n\n", 0},
        {"no\u00A0break space", 3},
        {"ideographic\u3000space", 2},
        {"Grüße, Zoë!", 2},
        {"emoji 🙂 counts", 3},
        {"don't split-hyphens", 2},
    };
    for (const Case& c : cases) {
        const QString text = QString::fromUtf8(c.text);
        EXPECT_EQ(countWords(text), c.words) << c.text;
    }
}

TEST(PersonalizationTest, EnumerationRawValuesInCaseOrder) {
    const auto check = [](auto cases, QStringList raw) {
        using E = typename decltype(cases)::value_type;
        ASSERT_EQ(cases.size(), raw.size());
        for (qsizetype i = 0; i < cases.size(); ++i) {
            EXPECT_EQ(rawValue(cases[i]), raw[i]);
            EXPECT_EQ(fromRawValue<E>(raw[i]), cases[i]);
            EXPECT_FALSE(fromRawValue<E>(raw[i].toUpper()).has_value());
        }
    };
    check(allCases<WritingStyle>(), {"default", "formal", "casual", "very_casual", "concise", "excited"});
    check(allCases<EditingStrength>(), {"none", "light", "verbatim"});
    check(allCases<FormattingMode>(), {"ai", "raw", "casual", "lowercase"});
    check(allCases<SignaturePrefix>(), {"none", "written", "spoken"});
}

TEST(PersonalizationTest, DefaultsAndEncoding) {
    const PersonalizationSettings p;
    EXPECT_EQ(p.personalStyle, WritingStyle::casual);
    EXPECT_EQ(p.workStyle, WritingStyle::default_);
    EXPECT_EQ(p.emailStyle, WritingStyle::formal);
    EXPECT_EQ(p.otherStyle, WritingStyle::default_);
    EXPECT_EQ(p.editingStrength, EditingStrength::light);
    EXPECT_EQ(p.formattingMode, FormattingMode::aiFormatting);
    EXPECT_TRUE(p.slackTagging);

    const QJsonObject json = p.toJson();
    EXPECT_EQ(json.size(), 13);
    EXPECT_FALSE(json.contains("overrideStyle"));
    EXPECT_EQ(json["formattingMode"], "ai");
    EXPECT_EQ(json["signaturePrefix"], "none");
    EXPECT_EQ(json["writingSamples"], QJsonArray());

    PersonalizationSettings changed;
    changed.overrideStyle = WritingStyle::concise;
    changed.formattingMode = FormattingMode::casualMessaging;
    changed.signaturePrefix = SignaturePrefix::spoken;
    changed.editingStrength = EditingStrength::verbatim;
    changed.emailSignature = "— Ana";
    changed.totalWordsDictated = std::numeric_limits<qint64>::max();
    for (const PersonalizationSettings& value : {p, changed}) {
        const auto decoded = PersonalizationSettings::fromJson(value.toJson());
        ASSERT_TRUE(decoded.ok()) << decoded.error().toString().toStdString();
        EXPECT_EQ(*decoded, value);
    }
}

TEST(PersonalizationTest, DecodingMembers) {
    const QJsonObject base = PersonalizationSettings().toJson();
    struct Case {
        const char* key;
        QJsonValue value;
        bool ok;
    };
    const Case cases[] = {
        {"formattingMode", "lowercase", true},
        {"formattingMode", "raw", true},
        {"overrideStyle", "very_casual", true},
        {"overrideStyle", QJsonValue::Null, true},
        {"editingStrength", "strong", false},
        {"editingStrength", "Light", false},
        {"formattingMode", "allLowercase", false},  // the case name is not its raw value
        {"signaturePrefix", QJsonValue::Null, false},
        {"overrideStyle", "", false},
        {"totalWordsDictated", "12", false},
        {"totalWordsDictated", 1e19, false},
        {"slackTagging", 0, false},
        {"writingSamples", "sample", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        QJsonObject json = base;
        json[c.key] = c.value;
        const auto decoded = PersonalizationSettings::fromJson(json, "personalization");
        ASSERT_EQ(decoded.ok(), c.ok);
        if (!c.ok) {
            EXPECT_EQ(decoded.error().path, QStringLiteral("personalization.") + c.key);
            // and the settings value that carries it fails with it
            QJsonObject settings = VantroseSettings().toJson();
            settings["personalization"] = json;
            EXPECT_FALSE(VantroseSettings::fromJson(settings).ok());
        }
    }

    QJsonObject lowercase = base;
    lowercase["formattingMode"] = "lowercase";
    lowercase.remove("overrideStyle");
    const auto decoded = PersonalizationSettings::fromJson(lowercase);
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded->formattingMode, FormattingMode::allLowercase);
    EXPECT_FALSE(decoded->overrideStyle.has_value());
}
