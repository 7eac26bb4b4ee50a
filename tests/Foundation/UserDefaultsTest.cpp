#include "Foundation/UserDefaults.h"
#include "Foundation/AppPaths.h"
#include "Foundation/UserDefaults.h"
#include "support/LogText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <sys/stat.h>

#include <gtest/gtest.h>

TEST(UserDefaultsTest, StoresValuesInAPrivateFile) {
    auto& defaults = UserDefaults::shared();
    defaults.setValue("com.vantrose.accessToken", "abc");
    EXPECT_EQ(defaults.string("com.vantrose.accessToken"), "abc");
    EXPECT_TRUE(defaults.contains("com.vantrose.accessToken"));

    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(AppPaths::userDefaultsFile()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    UserDefaults::reloadForTesting();  // a fresh process reads what was written
    EXPECT_EQ(UserDefaults::shared().string("com.vantrose.accessToken"), "abc");
    UserDefaults::shared().remove("com.vantrose.accessToken");
    EXPECT_FALSE(UserDefaults::shared().contains("com.vantrose.accessToken"));
    EXPECT_EQ(UserDefaults::shared().string("com.vantrose.accessToken"), "");
}

namespace {
QString defaultsPath() { return AppPaths::userDefaultsFile(); }

QStringList backups() {
    const QFileInfo file(defaultsPath());
    return QDir(file.absolutePath()).entryList({file.fileName() + ".unreadable-*"}, QDir::Files, QDir::Name);
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes the file as another program (or a person) would, then opens it as the next launch does.
void launchWith(const QByteArray& text) {
    for (const QString& name : backups()) QFile::remove(QFileInfo(defaultsPath()).absolutePath() + "/" + name);
    QFile file(defaultsPath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
    file.close();
    UserDefaults::reloadForTesting();
}
}  // namespace

// A QVariant encoded in the file is decoded by QSettings with the sizes inside trusted: a forged
// count made it reserve tens of gigabytes and abort at start. Such values are dropped, the file as
// it was is kept beside it, and every other value survives.
TEST(UserDefaultsTest, EncodedVariantsAreDroppedAndTheRestIsKept) {
    struct Case {
        const char* name;
        QByteArray value;
    };
    const Case cases[] = {
        // A string list claiming 1.6 billion entries: what used to abort.
        {"forged list size", R"v(@Variant(\0\0\0\vb\0\0\0\0))v"},
        {"forged map size", R"v(@Variant(\0\0\0\b\x7f\xff\xff\xff))v"},
        {"forged string size", R"v(@Variant(\0\0\0\n\xff\xff\xff\0\0\x61))v"},
        {"map with a number in it", R"v("@Variant(\0\0\0\b\0\0\0\x1\0\0\0\x2\0\x61\0\0\0\x2\0\0\0\x1)")v"},
        {"date", R"v(@DateTime(\0\0\0\x10\0%\x80\0\0\0\0\0\0\0\0\x1))v"},
        {"quoted", R"v("@Variant(\0\0\0\vb\0\0\0\0)")v"},
        {"prefix spelt with escapes", R"v(\x40\x56\x61riant(\0\0\0\vb\0\0\0\0))v"},
        {"octal and a quote inside", R"v(\100Var"i"ant(\0\0\0\vb\0\0\0\0))v"},
        {"second item of a list", R"v(plain, @Variant(\0\0\0\vb\0\0\0\0))v"},
        {"continued on the next line", "@Vari\\\nant(\\0\\0\\0\\vb\\0\\0\\0\\0)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray original = "[General]\ncom.vantrose.accessToken=abc\nbad=" + c.value +
                                    "\nvantrose_device_id=dev-1\n\n[other]\nname=x@example.com\n";
        const qsizetype mark = logMark();
        ASSERT_NO_FATAL_FAILURE(launchWith(original));
        UserDefaults& defaults = UserDefaults::shared();
        EXPECT_EQ(defaults.string("com.vantrose.accessToken"), "abc");
        EXPECT_EQ(defaults.string("vantrose_device_id"), "dev-1");
        EXPECT_EQ(defaults.string("other/name"), "x@example.com");
        EXPECT_FALSE(defaults.contains("bad"));
        EXPECT_FALSE(readAll(defaultsPath()).contains("ariant(")) << readAll(defaultsPath()).toStdString();

        const QStringList saved = backups();
        ASSERT_EQ(saved.size(), 1);
        const QString backup = QFileInfo(defaultsPath()).absolutePath() + "/" + saved.front();
        EXPECT_EQ(readAll(backup), original);
        EXPECT_EQ(QFile::permissions(backup) & 0x0077, 0) << "it holds tokens";
        EXPECT_TRUE(
            loggedTextSince(mark).contains("UserDefaults: Dropped values that cannot be read safely (bad) from " +
                                           defaultsPath() + "; the file as it was is saved as " + backup))
            << loggedTextSince(mark).toStdString();

        defaults.setValue("after", "still writable");
        UserDefaults::reloadForTesting();
        EXPECT_EQ(UserDefaults::shared().string("after"), "still writable");
    }

    // The file that made the program abort, as found.
    QFile found(VANTROSE_SOURCE_DIR "/fuzz/corpus/user_defaults/found-variant-size");
    ASSERT_TRUE(found.open(QIODevice::ReadOnly));
    ASSERT_NO_FATAL_FAILURE(launchWith(found.readAll()));
    EXPECT_TRUE(UserDefaults::shared().section("vantrose_feature_flags").isEmpty());
    EXPECT_EQ(backups().size(), 1);
}

// Older versions let Qt write the feature-flag overrides as one encoded map; it becomes the section
// the program reads, with nothing moved aside. A section already there wins.
TEST(UserDefaultsTest, OldFeatureFlagMapBecomesItsSection) {
    QVariantMap legacy{{"sound-effects", false}, {"use-opus", true}, {"odd, \"key\"=;", true}};
    {
        QFile::remove(defaultsPath());
        QSettings writer(defaultsPath(), QSettings::IniFormat);
        writer.setValue("vantrose_feature_flags", legacy);
        writer.setValue("com.vantrose.accessToken", "abc");
    }
    ASSERT_TRUE(readAll(defaultsPath()).contains("@Variant("));
    ASSERT_NO_FATAL_FAILURE(launchWith(readAll(defaultsPath())));
    EXPECT_EQ(UserDefaults::shared().section("vantrose_feature_flags"),
              (QVariantMap{{"sound-effects", "false"}, {"use-opus", "true"}, {"odd, \"key\"=;", "true"}}));
    EXPECT_EQ(UserDefaults::shared().string("com.vantrose.accessToken"), "abc");
    EXPECT_FALSE(readAll(defaultsPath()).contains("@Variant("));
    EXPECT_TRUE(backups().isEmpty());

    const QByteArray both =
        "[General]\nvantrose_feature_flags=@Variant(\\0\\0\\0\\b\\0\\0\\0\\x1\\0\\0\\0\\x2\\0\\x61"
        "\\0\\0\\0\\x1\\x1)\n\n[vantrose_feature_flags]\nb=false\n";
    ASSERT_NO_FATAL_FAILURE(launchWith(both));
    EXPECT_EQ(UserDefaults::shared().section("vantrose_feature_flags"), (QVariantMap{{"b", "false"}}));
    EXPECT_TRUE(backups().isEmpty());
}
