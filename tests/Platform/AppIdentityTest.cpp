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

    const QByteArray environ =
        bytes("PATH=/usr/bin\0GIO_LAUNCHED_DESKTOP_FILE=/usr/share/applications/org.gnome.gedit.desktop\0");
    EXPECT_EQ(desktopIdFromEnviron(environ), "org.gnome.gedit");
    EXPECT_EQ(desktopIdFromEnviron(bytes("BAMF_DESKTOP_FILE_HINT=/x/code.desktop\0")), "code");
    EXPECT_EQ(desktopIdFromEnviron(bytes("HOME=/root\0")), "");

    QString instance, cls;
    parseWmClass(bytes("Navigator\0firefox\0"), &instance, &cls);
    EXPECT_EQ(instance, "Navigator");
    EXPECT_EQ(cls, "firefox");
    parseWmClass(QByteArray(), &instance, &cls);
    EXPECT_TRUE(instance.isEmpty() && cls.isEmpty());
}

TEST(AppIdentityTest, DesktopEntryNameIsLocalisedAndHiddenEntriesHaveNone) {
    const QByteArray entry = "[Desktop Entry]\nName=Text Editor\nName[de]=Texteditor\nName[de_AT]=Texteditor AT\n"
                             "[Desktop Action new]\nName=New Window\n";
    EXPECT_EQ(desktopEntryName(entry, "en_US"), "Text Editor");
    EXPECT_EQ(desktopEntryName(entry, "de_DE"), "Texteditor");
    EXPECT_EQ(desktopEntryName(entry, "de_AT"), "Texteditor AT");
    EXPECT_EQ(desktopEntryName("[Desktop Entry]\nName=Gone\nHidden=true\n", "en_US"), "");
    EXPECT_EQ(desktopEntryName("Name=Outside any group\n", "en_US"), "");
}
