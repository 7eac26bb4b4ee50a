#include "Core/Services/FeatureFlags.h"
#include "Foundation/AppPaths.h"
#include "Foundation/Logger.h"
#include "Foundation/UserDefaults.h"

#include <QFile>

#include <gtest/gtest.h>

namespace {
void storeOverrides(const QVariant& overrides) {
    UserDefaults::shared().setValue(FeatureFlags::storageKey, overrides);
    UserDefaults::reloadForTesting();  // as a later launch would read them
    FeatureFlags::reloadForTesting();
}

FlagValue entry(const QString& key) {
    for (const FlagValue& flag : FeatureFlags::shared().allFlags())
        if (flag.key == key) return flag;
    return {};
}
// Every case starts from no overrides, also when one process runs them all.
class FeatureFlagsTest : public ::testing::Test {
protected:
    void SetUp() override {
        UserDefaults::shared().remove(FeatureFlags::storageKey);
        UserDefaults::shared().sync();
        UserDefaults::reloadForTesting();
        FeatureFlags::reloadForTesting();
    }
};
}  // namespace

TEST_F(FeatureFlagsTest, BuiltInDefaultsWithoutOverrides) {
    UserDefaults::shared().remove(FeatureFlags::storageKey);
    FeatureFlags::reloadForTesting();
    FeatureFlags& flags = FeatureFlags::shared();
    const QList<FlagValue> all = flags.allFlags();
    ASSERT_EQ(all.size(), 22);
    EXPECT_EQ(all.front().key, "asr-race-mode");
    EXPECT_EQ(all.back().key, "voice-profile-unlock");
    for (qsizetype i = 1; i < all.size(); ++i) EXPECT_LT(all[i - 1].key, all[i].key);

    int on = 0;
    for (const FlagValue& flag : all) {
        on += flag.boolValue;
        EXPECT_EQ(flag.source, FlagSource::Default);
        EXPECT_FALSE(flag.description.isEmpty());
        EXPECT_EQ(flags.isEnabled(flag.key), flag.boolValue);
    }
    EXPECT_EQ(on, 9);
    EXPECT_TRUE(flags.isEnabled("sound-effects"));
    EXPECT_TRUE(flags.isEnabled("auto-learn-words"));
    EXPECT_FALSE(flags.isEnabled("use-opus"));
    EXPECT_FALSE(flags.isEnabled("should-ocr-screen-capture"));
    EXPECT_FALSE(flags.isEnabled("no-such-flag"));
    EXPECT_FALSE(flags.isEnabled(""));
}

TEST_F(FeatureFlagsTest, OverridesReplaceDefaultsAndAddUnknownKeys) {
    storeOverrides(QVariantMap{{"sound-effects", false}, {"use-opus", true}, {"beta-thing", true}});
    FeatureFlags& flags = FeatureFlags::shared();
    EXPECT_FALSE(flags.isEnabled("sound-effects"));
    EXPECT_TRUE(flags.isEnabled("use-opus"));
    EXPECT_TRUE(flags.isEnabled("beta-thing"));
    EXPECT_TRUE(flags.isEnabled("polish"));  // untouched default

    EXPECT_EQ(entry("sound-effects"), (FlagValue{"sound-effects", false, "", FlagSource::Local}));
    EXPECT_EQ(entry("beta-thing"), (FlagValue{"beta-thing", true, "", FlagSource::Local}));
    EXPECT_EQ(entry("polish").source, FlagSource::Default);
    EXPECT_EQ(flags.allFlags().size(), 23);
}

// What a person types into the user-defaults file, read as the next launch reads it.
void writeDefaultsFile(const QByteArray& text) {
    QFile file(AppPaths::userDefaultsFile());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
    file.close();
    UserDefaults::reloadForTesting();
    FeatureFlags::reloadForTesting();
}

TEST_F(FeatureFlagsTest, HandEditedSectionOfTheDefaultsFileOverridesFlags) {
    ASSERT_NO_FATAL_FAILURE(
        writeDefaultsFile("[General]\n"
                          "vantrose_device_id=abc\n"
                          "\n"
                          "[vantrose_feature_flags]\n"
                          "sound-effects=false\n"
                          "use-opus = True \n"
                          "beta-thing=true\n"));
    FeatureFlags& flags = FeatureFlags::shared();
    EXPECT_FALSE(flags.isEnabled("sound-effects"));
    EXPECT_TRUE(flags.isEnabled("use-opus"));
    EXPECT_TRUE(flags.isEnabled("beta-thing"));
    EXPECT_TRUE(flags.isEnabled("polish"));
    EXPECT_EQ(entry("sound-effects"), (FlagValue{"sound-effects", false, "", FlagSource::Local}));
    EXPECT_EQ(entry("polish").source, FlagSource::Default);
}

TEST_F(FeatureFlagsTest, OverridesWrittenThroughTheDefaultsAreLinesAPersonCanRead) {
    UserDefaults::shared().setValue(QStringLiteral("vantrose_feature_flags/sound-effects"), false);
    UserDefaults::shared().setValue(QStringLiteral("vantrose_feature_flags/glint"), true);
    QFile file(AppPaths::userDefaultsFile());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    EXPECT_TRUE(text.contains("[vantrose_feature_flags]\nglint=true\nsound-effects=false\n")) << text.toStdString();

    UserDefaults::reloadForTesting();
    FeatureFlags::reloadForTesting();
    EXPECT_FALSE(FeatureFlags::shared().isEnabled("sound-effects"));
    EXPECT_TRUE(FeatureFlags::shared().isEnabled("glint"));
}

TEST_F(FeatureFlagsTest, SectionWithAValueThatIsNotTrueOrFalseIsIgnoredWhole) {
    struct Case {
        const char* name;
        QVariantMap section;
    };
    const Case cases[] = {
        {"a word", QVariantMap{{"sound-effects", "false"}, {"use-opus", "maybe"}}},
        {"a number", QVariantMap{{"sound-effects", "false"}, {"use-opus", "1"}}},
        {"empty", QVariantMap{{"sound-effects", "false"}, {"use-opus", ""}}},
        {"a list", QVariantMap{{"sound-effects", "false"}, {"use-opus", QStringList{"true", "false"}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(FeatureFlags::parseOverrideSection(c.section).isEmpty());
    }
    EXPECT_EQ(FeatureFlags::parseOverrideSection(QVariantMap{{"a", " FALSE "}, {"b", true}}),
              (QMap<QString, bool>{{"a", false}, {"b", true}}));

    ASSERT_NO_FATAL_FAILURE(writeDefaultsFile("[vantrose_feature_flags]\nsound-effects=false\nuse-opus=yes please\n"));
    EXPECT_TRUE(FeatureFlags::shared().isEnabled("sound-effects"));
    EXPECT_FALSE(FeatureFlags::shared().isEnabled("use-opus"));
}

TEST_F(FeatureFlagsTest, MalformedOverridesAreIgnoredWhole) {
    struct Case {
        const char* name;
        QVariant stored;
    };
    const Case cases[] = {
        {"absent", QVariant()},
        {"one string value", QVariantMap{{"sound-effects", false}, {"use-opus", "true"}}},
        {"one number value", QVariantMap{{"sound-effects", false}, {"use-opus", 1}}},
        {"one nested value", QVariantMap{{"sound-effects", false}, {"use-opus", QVariantMap{}}}},
        {"not a dictionary", QVariantList{false}},
        {"plain string", QString("sound-effects=false")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(FeatureFlags::parseOverrides(c.stored).isEmpty());
    }
    EXPECT_EQ(FeatureFlags::parseOverrides(QVariantHash{{"a", true}}), (QMap<QString, bool>{{"a", true}}));

    // Through the stored file, as the next launch reads it.
    storeOverrides(cases[1].stored);
    EXPECT_TRUE(FeatureFlags::shared().isEnabled("sound-effects"));
    EXPECT_FALSE(FeatureFlags::shared().isEnabled("use-opus"));
    EXPECT_EQ(entry("sound-effects").source, FlagSource::Default);
}

TEST_F(FeatureFlagsTest, RegisteringTwiceKeepsTheFirstAndRemoteFetchOnlyLogs) {
    FeatureFlags& flags = FeatureFlags::shared();
    flags.registerFlag("sound-effects", false, "changed");
    flags.registerFlag("extra", true, "first");
    flags.registerFlag("extra", false, "second");
    EXPECT_TRUE(flags.isEnabled("sound-effects"));
    EXPECT_EQ(entry("sound-effects").description, "Play feedback sounds");
    EXPECT_EQ(entry("extra"), (FlagValue{"extra", true, "first", FlagSource::Default}));

    const QList<FlagValue> before = flags.allFlags();
    QCoro::waitFor(flags.fetchRemoteFlags());
    EXPECT_EQ(flags.allFlags(), before);
    Logger::flush();
    QFile log(Logger::shared().logFilePath());
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_TRUE(log.readAll().contains("FeatureFlags: Remote fetch not configured (using local flags)"));
}
