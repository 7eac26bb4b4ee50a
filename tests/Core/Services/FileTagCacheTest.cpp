#include "Core/Services/FileTagCache.h"
#include "Foundation/Clock.h"

#include <gtest/gtest.h>

namespace {

class FileTagCacheTest : public ::testing::Test {
protected:
    void SetUp() override { Clock::setCurrent(&clock); }
    void TearDown() override { Clock::setCurrent(nullptr); }

    QStringList sorted(QStringList names) {
        names.sort();
        return names;
    }

    ManualClock clock;
    FileTagCache cache;
};

struct ExtractionCase {
    const char* text;
    QStringList expected;
};

TEST_F(FileTagCacheTest, ExtractsFileNamesFromEditorWords) {
    const ExtractionCase cases[] = {
        {"docs/guide/Intro.md", {"Intro.md"}},
        {"notes.TXT", {"notes.TXT"}},
        {"archive.tar.gz", {}},
        {"foo.mdx", {}},
        {"Makefile and README", {"Makefile", "README"}},
        {"Package.swift", {"Package.swift"}},
        {"settings.yaml • Modified", {"settings.yaml"}},
        {"main.cpp — Modified - vantrose - Visual Studio Code", {"main.cpp"}},
        {"Readme.md, Cargo.toml", {"Cargo.toml", "Readme", "Readme.md"}},
        {"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        FileTagCache fresh;
        fresh.extractAndCache({QString::fromUtf8(c.text)}, QStringLiteral("code"));
        EXPECT_EQ(sorted(fresh.allFileNames()), sorted(c.expected));
    }
}

TEST_F(FileTagCacheTest, IgnoresApplicationsOutsideTheEditorTable) {
    for (const std::optional<QString>& id :
         {std::optional<QString>(), std::optional<QString>("org.gnome.gedit"), std::optional<QString>("CODE")})
        cache.extractAndCache({"main.cpp"}, id);
    EXPECT_TRUE(cache.allFileNames().isEmpty());
    cache.extractAndCache({"main.cpp"}, QStringLiteral("dev.zed.Zed"));
    EXPECT_EQ(cache.allFileNames(), QStringList{"main.cpp"});
}

TEST_F(FileTagCacheTest, NewestSpellingWinsAndAgeRestarts) {
    cache.extractAndCache({"docs/guide/Intro.md"}, QStringLiteral("code"));
    clock.advance(std::chrono::seconds(86000));
    cache.extractAndCache({"intro.md"}, QStringLiteral("Cursor"));
    EXPECT_EQ(cache.allFileNames(), QStringList{"intro.md"});
    clock.advance(std::chrono::seconds(1000));  // a day after the first sighting, not after the second
    EXPECT_EQ(cache.allFileNames(), QStringList{"intro.md"});
}

TEST_F(FileTagCacheTest, ExpiresAfterADayAndEvictsTheOldestOverTheLimit) {
    cache.extractAndCache({"old.py"}, QStringLiteral("code"));
    clock.advance(FileTagCache::ttl);
    EXPECT_TRUE(cache.allFileNames().isEmpty());  // exactly a day old is gone

    for (int i = 0; i < FileTagCache::maxEntries + 1; ++i) {
        cache.extractAndCache({QStringLiteral("file%1.rs").arg(i)}, QStringLiteral("code"));
        clock.advance(std::chrono::seconds(1));
    }
    const QStringList names = cache.allFileNames();
    EXPECT_EQ(names.size(), FileTagCache::maxEntries);
    EXPECT_FALSE(names.contains("file0.rs"));
    EXPECT_TRUE(names.contains("file1.rs"));
    EXPECT_TRUE(names.contains("file100.rs"));
}

}  // namespace
