#include "Platform/Linux/AppIdentity.h"

#include <gtest/gtest.h>

using namespace AppIdentity;

namespace {
// Literal bytes with their embedded NULs.
template <size_t N>
QByteArray bytes(const char (&s)[N]) {
    return QByteArray(s, N - 1);
}
}  // namespace

TEST(AppIdentityTest, IdentifierPrefersFlatpakThenDesktopFileThenGtkThenWmClass) {
    const struct {
        Sources sources;
        const char* expected;
    } cases[] = {
        {{"org.gnome.gedit", "gedit", "org.gnome.Gedit", "gedit", "Gedit"}, "org.gnome.gedit"},
        {{"", "code", "", "code", "Code"}, "code"},
        {{"", "", "org.gnome.Terminal", "gnome-terminal-server", "Gnome-terminal"}, "org.gnome.Terminal"},
        {{"", "", "", "Navigator", "firefox"}, "firefox"},
        {{"", "", "", "only-instance", ""}, "only-instance"},
        {{}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(chooseIdentifier(c.sources), c.expected);
    }
}

TEST(AppIdentityTest, ReadsTheSourcesOfAnIdentifier) {
    EXPECT_EQ(flatpakIdFromInfo("[Instance]\nname=not-this\n\n[Application]\nname=org.mozilla.firefox\nruntime=x\n"),
              "org.mozilla.firefox");
    EXPECT_EQ(flatpakIdFromInfo("garbage without groups"), "");

    QString instance, cls;
    parseWmClass(bytes("Navigator\0firefox\0"), &instance, &cls);
    EXPECT_EQ(instance, "Navigator");
    EXPECT_EQ(cls, "firefox");
    parseWmClass(QByteArray(), &instance, &cls);
    EXPECT_TRUE(instance.isEmpty() && cls.isEmpty());
}

// A program started from a launched terminal inherits the terminal's launch variables: they name
// the process only when their PID is its own, or, without a PID, when its parent lacks them.
TEST(AppIdentityTest, LaunchHintsNameOnlyTheLaunchedProcess) {
    const QByteArray launchedTerminal = bytes(
        "GIO_LAUNCHED_DESKTOP_FILE=/usr/share/applications/org.gnome.Terminal.desktop\0"
        "GIO_LAUNCHED_DESKTOP_FILE_PID=400\0");
    const QByteArray bamf = bytes("BAMF_DESKTOP_FILE_HINT=/x/code.desktop\0");
    const struct {
        const char* what;
        QByteArray environ;
        qint64 pid;
        QByteArray parentEnviron;
        const char* expected;
    } cases[] = {
        {"GIO, own pid", launchedTerminal, 400, bytes("HOME=/root\0"), "org.gnome.Terminal"},
        {"GIO, inherited by a child of the terminal", launchedTerminal, 512, launchedTerminal, ""},
        {"GIO, unreadable pid",
         bytes("GIO_LAUNCHED_DESKTOP_FILE=/a/gedit.desktop\0GIO_LAUNCHED_DESKTOP_FILE_PID=x\0"),
         7,
         {},
         ""},
        {"GIO without a pid, parent lacks it",
         bytes("PATH=/usr/bin\0GIO_LAUNCHED_DESKTOP_FILE=/usr/share/applications/org.gnome.gedit.desktop\0"), 9,
         bytes("PATH=/usr/bin\0"), "org.gnome.gedit"},
        {"GIO without a pid, parent has it too", bytes("GIO_LAUNCHED_DESKTOP_FILE=/a/gedit.desktop\0"), 9,
         bytes("GIO_LAUNCHED_DESKTOP_FILE=/a/gedit.desktop\0"), ""},
        {"BAMF set by the launcher", bamf, 9, {}, "code"},
        {"BAMF inherited", bamf, 9, bamf, ""},
        {"BAMF inherited, a newer one of its own", bytes("BAMF_DESKTOP_FILE_HINT=/x/gedit.desktop\0"), 9, bamf,
         "gedit"},
        {"inherited GIO, own BAMF", launchedTerminal + bamf, 512, launchedTerminal, "code"},
        {"a longer name with the same start", bytes("GIO_LAUNCHED_DESKTOP_FILE_X=/a/b.desktop\0"), 9, {}, ""},
        {"nothing", bytes("HOME=/root\0"), 9, {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(desktopIdFromEnviron(c.environ, c.pid, c.parentEnviron), c.expected);
    }

    EXPECT_EQ(parentPidFromStat("1234 (bash) S 1200 1234 1234 0"), 1200);
    EXPECT_EQ(parentPidFromStat("1234 (my (odd) name) S 77 1 1"), 77);
    EXPECT_EQ(parentPidFromStat("garbage"), 0);
    EXPECT_EQ(parentPidFromStat(""), 0);
}

TEST(AppIdentityTest, DesktopEntryNameIsLocalisedAndHiddenEntriesHaveNone) {
    const QByteArray entry =
        "[Desktop Entry]\nName=Text Editor\nName[de]=Texteditor\nName[de_AT]=Texteditor AT\n"
        "[Desktop Action new]\nName=New Window\n";
    EXPECT_EQ(desktopEntryName(entry, "en_US"), "Text Editor");
    EXPECT_EQ(desktopEntryName(entry, "de_DE"), "Texteditor");
    EXPECT_EQ(desktopEntryName(entry, "de_AT"), "Texteditor AT");
    EXPECT_EQ(desktopEntryName("[Desktop Entry]\nName=Gone\nHidden=true\n", "en_US"), "");
    EXPECT_EQ(desktopEntryName("Name=Outside any group\n", "en_US"), "");
}
