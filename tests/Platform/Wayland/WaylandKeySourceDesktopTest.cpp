// The Wayland session's key source against the fake portal and keyboard devices fed through
// FIFOs: a portal that answers nonsense or nothing gives way to the next source (said once in the
// log) and its keys arrive as the X11 listener's would; a shortcut held when the portal's session
// ends is let go; with nothing to hear the hotkey from, the notice says what is missing.
#include "Platform/Wayland/WaylandBackend.h"
#include "Platform/Wayland/WaylandKeySource.h"

#include "support/FakePortal.h"
#include "support/KeyEventLog.h"
#include "support/LogText.h"
#include "support/TestEnvironment.h"

#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <linux/input.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Type = KeySourceEvent::Type;

const QList<HotkeyBinding> kBindings = {{HotkeyAction::activate, {Hotkey::rightOptionKeyCode, 0}}};

QByteArray key(uint16_t code, int32_t value) {
    input_event events[2] = {};
    events[0].type = EV_KEY;
    events[0].code = code;
    events[0].value = value;
    events[1].type = EV_SYN;  // SYN_REPORT
    return QByteArray(reinterpret_cast<const char*>(events), sizeof events);
}

std::vector<std::string> described(const KeyEventLog& log) {
    std::vector<std::string> out;
    for (const KeySourceEvent& e : log.events()) {
        const char* type = e.type == Type::KeyDown ? "down" : e.type == Type::KeyUp ? "up" : "flags";
        out.push_back(std::string(type) + ":" + std::to_string(e.keyCode) + ":" + std::to_string(e.flags != 0));
    }
    return out;
}

// A key source whose keyboard devices live in `folder` (every node a keyboard) and which has no
// XWayland to fall back to.
WaylandKeySource::Options optionsFor(const QString& folder) {
    WaylandKeySource::Options options;
    options.evdev = {folder, [](int) { return true; }};
    options.portalDeadlines = {500ms, 500ms, 500ms};
    options.xDisplayAvailable = [] { return false; };
    return options;
}

qsizetype occurrences(const QString& text, const QString& line) { return text.count(line); }

struct PortalFault {
    const char* name;
    const char* method;
    const char* mode;
};

void PrintTo(const PortalFault& c, std::ostream* os) { *os << c.name; }

class WaylandKeySourcePortalFaultTest : public ::testing::TestWithParam<PortalFault> {};

TEST_P(WaylandKeySourcePortalFaultTest, TheKeyboardDevicesTakeOverAndSaySoOnce) {
    const PortalFault& c = GetParam();
    FakePortal portal;
    ASSERT_TRUE(portal.start());
    portal.setMode(c.method, c.mode);
    QTemporaryDir folder;
    const QByteArray node = QFile::encodeName(folder.filePath("event3"));
    ASSERT_EQ(mkfifo(node.constData(), 0600), 0);

    const qsizetype mark = loggedText().size();
    WaylandKeySource source(optionsFor(folder.path()));
    source.setBindings(kBindings);
    KeyEventLog log;
    ASSERT_TRUE(source.start(log.handler(), AbstractKeySource::Method::Preferred, {}));
    ASSERT_TRUE(waitUntil([&] { return source.choice().has_value(); }, 10s));
    EXPECT_EQ(source.choice()->source, HotkeySource::evdev);
    EXPECT_EQ(source.choice()->gaps, QList<HotkeySourceGap>{HotkeySourceGap::portalBroken});

    const int writer = ::open(node.constData(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    const QByteArray press = key(KEY_RIGHTALT, 1) + key(KEY_RIGHTALT, 0);
    ASSERT_EQ(::write(writer, press.constData(), size_t(press.size())), press.size());
    EXPECT_TRUE(waitUntil([&] { return described(log) == std::vector<std::string>{"flags:61:1", "flags:61:0"}; }));
    ::close(writer);

    ASSERT_TRUE(waitUntil([&] { return loggedTextSince(mark).contains("Global hotkey from: evdev"); }));
    EXPECT_EQ(occurrences(loggedTextSince(mark), "Global hotkey from: evdev (passed over: portalBroken)"), 1)
        << loggedTextSince(mark).toStdString();
    source.stop();
}

INSTANTIATE_TEST_SUITE_P(Tables, WaylandKeySourcePortalFaultTest,
                         ::testing::Values(PortalFault{"GarbageReply", "CreateSession", "garbage-reply"},
                                           PortalFault{"GarbageResponse", "BindShortcuts", "garbage-response"},
                                           PortalFault{"NeverReplies", "CreateSession", "noreply"},
                                           PortalFault{"NeverResponds", "BindShortcuts", "silent"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WaylandKeySourceTest, AShortcutHeldWhenThePortalsSessionEndsIsLetGo) {
    FakePortal portal;
    ASSERT_TRUE(portal.start());
    QTemporaryDir folder;
    WaylandKeySource source(optionsFor(folder.path()));
    source.setBindings(kBindings);
    KeyEventLog log;
    ASSERT_TRUE(source.start(log.handler(), AbstractKeySource::Method::Preferred, {}));
    ASSERT_TRUE(waitUntil([&] { return source.choice().has_value(); }, 10s));
    ASSERT_EQ(source.choice()->source, HotkeySource::portal);

    portal.activate(QStringLiteral("activate"));
    ASSERT_TRUE(waitUntil([&] { return described(log) == std::vector<std::string>{"flags:61:1"}; }));
    // No Deactivated ever comes: the desktop closes the session instead.
    portal.closeSessions();
    EXPECT_TRUE(waitUntil([&] { return described(log) == std::vector<std::string>{"flags:61:1", "flags:61:0"}; }));
    source.stop();
}

TEST(WaylandKeySourceTest, WithNothingToHearTheHotkeyFromTheNoticeSaysWhatIsMissing) {
    QTemporaryDir folder;  // no keyboard device, no portal on the bus, no XWayland
    const qsizetype mark = loggedText().size();
    WaylandKeySource source(optionsFor(folder.path()));
    source.setBindings(kBindings);
    KeyEventLog log;
    ASSERT_TRUE(source.start(log.handler(), AbstractKeySource::Method::Preferred, {}));
    ASSERT_TRUE(waitUntil([&] { return source.choice().has_value(); }, 10s));
    EXPECT_EQ(source.choice()->source, HotkeySource::none);
    EXPECT_TRUE(loggedTextSince(mark).contains("Vantrose cannot hear the hotkey in this session"))
        << loggedTextSince(mark).toStdString();

    // The hub and the onboarding read it from the session's back-end.
    WaylandBackend backend;
    EXPECT_FALSE(backend.keyInputAvailable());
    const DesktopBackend::InputNeeds needs = backend.inputNeeds();
    EXPECT_EQ(needs.full, source.choice()->notice());
    EXPECT_TRUE(needs.full.contains("connect a keyboard Vantrose can read")) << needs.full.toStdString();
    EXPECT_TRUE(needs.brief.contains("input group")) << needs.brief.toStdString();
    source.stop();
}

}  // namespace
