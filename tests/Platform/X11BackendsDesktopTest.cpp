// The X11 back-ends against the virtual desktop: key source, XTest injector, CLIPBOARD service
// and active-window tracker.
#include "Models/Hotkey.h"
#include "Platform/Linux/KeyCodeTable.h"
#include "Platform/Linux/X11ActiveWindowTracker.h"
#include "Platform/Linux/X11ClipboardService.h"
#include "Platform/Linux/X11KeyInjector.h"
#include "Platform/Linux/X11KeySource.h"

#include "support/FixtureApp.h"
#include "support/KeyEventLog.h"
#include "support/SaveTargetsManager.h"
#include "support/TestEnvironment.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

void PrintTo(X11KeySource::Preference p, std::ostream* os) {
    *os << (p == X11KeySource::Preference::RecordOnly ? "RECORD" : "XInput2");
}

namespace {

using namespace std::chrono_literals;

class KeySourceTest : public ::testing::TestWithParam<X11KeySource::Preference> {};

TEST_P(KeySourceTest, SeesInjectedKeysWithHeldModifiersAndCharacters) {
    X11KeySource source;
    KeyEventLog log;
    ASSERT_TRUE(source.start(log.handler(), GetParam())) << source.lastError();
    EXPECT_EQ(source.backend(), GetParam() == X11KeySource::Preference::RecordOnly
                                    ? X11KeySource::Backend::Record
                                    : X11KeySource::Backend::XInput2);
    // Starting again keeps the one listener.
    EXPECT_TRUE(source.start(log.handler(), GetParam()));

    X11KeyInjector keys;
    ASSERT_TRUE(keys.isAvailable());
    const uint8_t rightAlt = KeyCodeTable::xKeycodeFor(61);
    const uint8_t a = KeyCodeTable::xKeycodeFor(0);
    ASSERT_EQ(rightAlt, 108);
    // Record contexts start delivering a moment after they are enabled: knock with F12 until
    // heard, and leave its events out below (the server keeps the order of injected keys).
    const uint8_t f12 = KeyCodeTable::xKeycodeFor(111);
    ASSERT_TRUE(waitUntil([&] {
        keys.sendKey(f12, true);
        keys.sendKey(f12, false);
        return log.size() >= 2;
    }, 5s));

    keys.sendKey(rightAlt, true);
    keys.sendKey(rightAlt, false);
    keys.sendKey(KeyCodeTable::xKeycodeFor(56), true);  // Left Shift
    keys.sendKey(a, true);
    keys.sendKey(a, true);  // auto-repeat
    keys.sendKey(a, false);
    keys.sendKey(KeyCodeTable::xKeycodeFor(56), false);
    auto withoutKnocks = [&] {
        std::vector<KeySourceEvent> out;
        for (const auto& e : log.events())
            if (e.keyCode != 111) out.push_back(e);
        return out;
    };
    // A press of a key already down is what XInput2 reports for auto-repeat; RECORD sees only
    // the server's own repeats, which XTest cannot produce.
    const bool record = GetParam() == X11KeySource::Preference::RecordOnly;
    const size_t want = record ? 6 : 7;
    ASSERT_TRUE(waitUntil([&] { return withoutKnocks().size() >= want; }, 5s)) << withoutKnocks().size();
    const auto ev = withoutKnocks();
    using T = KeySourceEvent::Type;
    struct Expect { T type; uint16_t code; uint64_t flags; bool repeat; const char* chars; };
    std::vector<Expect> expected = {
        {T::FlagsChanged, 61, Hotkey::optionFlag, false, ""},
        {T::FlagsChanged, 61, 0, false, ""},
        {T::FlagsChanged, 56, Hotkey::shiftFlag, false, ""},
        {T::KeyDown, 0, Hotkey::shiftFlag, false, "A"},
        {T::KeyDown, 0, Hotkey::shiftFlag, true, "A"},
        {T::KeyUp, 0, Hotkey::shiftFlag, false, ""},
        {T::FlagsChanged, 56, 0, false, ""},
    };
    if (record) expected.erase(expected.begin() + 4);
    ASSERT_EQ(ev.size(), expected.size());
    for (size_t i = 0; i < ev.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(ev[i].type, expected[i].type);
        EXPECT_EQ(ev[i].keyCode, expected[i].code);
        EXPECT_EQ(ev[i].flags, expected[i].flags);
        EXPECT_EQ(ev[i].isRepeat, expected[i].repeat);
        EXPECT_EQ(ev[i].characters, QString::fromLatin1(expected[i].chars));
    }

    source.stop();
    EXPECT_FALSE(source.isRunning());
    const size_t after = log.size();
    keys.sendKey(a, true);
    keys.sendKey(a, false);
    // Nothing may arrive once stopped; give a live source ample time to prove otherwise.
    X11KeySource probe;
    KeyEventLog probeLog;
    ASSERT_TRUE(probe.start(probeLog.handler()));
    ASSERT_TRUE(waitUntil([&] {
        keys.sendKey(a, true);
        keys.sendKey(a, false);
        return probeLog.size() >= 2;
    }, 5s));
    EXPECT_EQ(log.size(), after);
}

INSTANTIATE_TEST_SUITE_P(Backends, KeySourceTest,
                         ::testing::Values(X11KeySource::Preference::XInput2Only,
                                           X11KeySource::Preference::RecordOnly),
                         [](const auto& info) {
                             return std::string(info.param == X11KeySource::Preference::RecordOnly ? "Record"
                                                                                                  : "XInput2");
                         });

TEST(KeyInjectorTest, WaitsForHeldModifiersWithinItsBound) {
    X11KeyInjector keys;
    ASSERT_TRUE(keys.isAvailable());
    EXPECT_FALSE(keys.modifierKeyHeld());
    keys.sendKey(KeyCodeTable::xKeycodeFor(55), true);  // Super held by "the user"
    EXPECT_TRUE(keys.modifierKeyHeld());
    EXPECT_FALSE(keys.waitForModifiersReleased(50ms));
    keys.sendKey(KeyCodeTable::xKeycodeFor(55), false);
    EXPECT_TRUE(keys.waitForModifiersReleased(1s));
    EXPECT_NE(keys.keycodeForKeysym(0x76 /* v */), 0);
}

QByteArray xclipOut(const QString& target = "UTF8_STRING") {
    return runTool("xclip", {"-selection", "clipboard", "-o", "-t", target});
}

TEST(ClipboardServiceTest, SnapshotsAnotherOwnersTargetsAndServesItsOwn) {
    X11ClipboardService clipboard;
    ASSERT_TRUE(clipboard.start());

    auto xclip = startTool("xclip", {"-selection", "clipboard", "-i"}, "from xclip");
    ASSERT_TRUE(waitUntil([] { return xclipOut() == "from xclip"; }));
    const ClipboardSnapshot snap = clipboard.snapshot(1 << 20, 2s);
    EXPECT_TRUE(snap.hadOwner);
    EXPECT_EQ(snap.plainText().value_or(""), "from xclip");
    EXPECT_FALSE(snap.isConcealed());

    const uint64_t ticket = clipboard.setContents(X11ClipboardService::textItems("héllo", true));
    ASSERT_NE(ticket, 0u);
    EXPECT_TRUE(clipboard.owns(ticket));
    EXPECT_EQ(QString::fromUtf8(xclipOut()), "héllo");
    EXPECT_EQ(xclipOut("x-kde-passwordManagerHint"), "secret");
    const QByteArray targets = xclipOut("TARGETS");
    EXPECT_TRUE(targets.contains("text/plain;charset=utf-8")) << targets.constData();

    // Someone else copying ends our ownership.
    auto other = startTool("xclip", {"-selection", "clipboard", "-i"}, "user copy");
    ASSERT_TRUE(waitUntil([] { return xclipOut() == "user copy"; }));
    EXPECT_FALSE(clipboard.owns(ticket));
    EXPECT_FALSE(clipboard.release(ticket));
    EXPECT_EQ(xclipOut(), "user copy");
}

TEST(ClipboardServiceTest, LargeContentTravelsInPiecesBothWays) {
    X11ClipboardService owner, reader;
    ASSERT_TRUE(owner.start());
    ASSERT_TRUE(reader.start());
    QByteArray blob(3 * 1024 * 1024 + 17, '\0');
    for (qsizetype i = 0; i < blob.size(); ++i) blob[i] = char((i * 131) % 251);
    const uint64_t ticket = owner.setContents({{"image/png", "image/png", 8, blob}, {"UTF8_STRING", "UTF8_STRING", 8, "x"}});
    ASSERT_NE(ticket, 0u);

    const ClipboardSnapshot snap = reader.snapshot(8 << 20, 5s);
    ASSERT_EQ(snap.items.size(), 2u);
    EXPECT_EQ(snap.items[0].target, "image/png");
    EXPECT_EQ(snap.items[0].data, blob);
    EXPECT_TRUE(snap.complete);
    EXPECT_EQ(xclipOut("image/png"), blob);

    // Over the size cap the large target is left out, not the whole clipboard.
    const ClipboardSnapshot capped = reader.snapshot(1 << 20, 5s);
    ASSERT_EQ(capped.items.size(), 1u);
    EXPECT_EQ(capped.items[0].target, "UTF8_STRING");
    EXPECT_FALSE(capped.complete);

    EXPECT_TRUE(owner.release(ticket));
    EXPECT_FALSE(reader.snapshot(1 << 20, 1s).hadOwner);
}

// Whether some client owns the X selection `name`.
bool selectionOwned(const char* name) {
    X11ClipboardService probe(name);
    return probe.start() && probe.snapshot(0, 300ms).hadOwner;
}

// The clipboard we hold when we go away (at quit): a clipboard manager is asked to take every
// target over; without one the selection is given up at once instead of left to a vanishing window.
enum class Manager { none, saveTargetsOnly, xfce4Clipman };

void PrintTo(Manager m, std::ostream* os) {
    *os << (m == Manager::none ? "no manager" : m == Manager::saveTargetsOnly ? "SAVE_TARGETS only" : "xfce4-clipman");
}

class ClipboardHandOffTest : public ::testing::TestWithParam<Manager> {};

TEST_P(ClipboardHandOffTest, ContentsOutliveTheServiceOnlyThroughAClipboardManager) {
    const bool withManager = GetParam() != Manager::none;
    std::unique_ptr<QProcess> clipman;
    std::unique_ptr<SaveTargetsManager> saver;
    if (GetParam() == Manager::xfce4Clipman) {
        clipman = startTool("xfce4-clipman", {});
        ASSERT_TRUE(waitUntil([] { return selectionOwned("CLIPBOARD_MANAGER"); }, 20s)) << "no clipboard manager";
    } else if (GetParam() == Manager::saveTargetsOnly) {
        saver = std::make_unique<SaveTargetsManager>();
        ASSERT_TRUE(waitUntil([] { return selectionOwned("CLIPBOARD_MANAGER"); }, 20s));
    } else {
        ASSERT_FALSE(selectionOwned("CLIPBOARD_MANAGER"));
    }
    const QByteArray picture("\x89PNG\r\n\x1a\n\0\x01binary", 17);
    {
        X11ClipboardService clipboard;
        ASSERT_TRUE(clipboard.start());
        auto items = X11ClipboardService::textItems("kept after quitting", false);
        items.push_back({"image/png", "image/png", 8, picture});
        ASSERT_NE(clipboard.setContents(std::move(items)), 0u);
        ASSERT_EQ(xclipOut(), "kept after quitting");
    }
    if (withManager) {
        EXPECT_EQ(xclipOut(), "kept after quitting");
        EXPECT_EQ(xclipOut("image/png"), picture);
    } else {
        EXPECT_FALSE(selectionOwned("CLIPBOARD"));
        EXPECT_TRUE(xclipOut().isEmpty());
    }
    if (saver) {
        EXPECT_EQ(saver->saves(), 1);
    }
    if (clipman) {
        clipman->kill();
        clipman->waitForFinished(5000);
    }
}

INSTANTIATE_TEST_SUITE_P(Managers, ClipboardHandOffTest,
                         ::testing::Values(Manager::none, Manager::saveTargetsOnly, Manager::xfce4Clipman),
                         [](const auto& info) {
                             switch (info.param) {
                             case Manager::none: return "NoManager";
                             case Manager::saveTargetsOnly: return "SaveTargetsManager";
                             default: return "Xfce4Clipman";
                             }
                         });

TEST(ActiveWindowTrackerTest, FollowsTheActiveWindowWithPidAndIdentifier) {
    FixtureApp first("TrackerFirst", "first");
    ASSERT_TRUE(first.start());

    X11ActiveWindowTracker tracker;
    std::mutex mutex;
    std::vector<ActiveWindowInfo> seen;
    ASSERT_TRUE(tracker.start([&](const ActiveWindowInfo& info) {
        std::lock_guard lock(mutex);
        seen.push_back(info);
    }));
    ASSERT_TRUE(tracker.latest().has_value());
    EXPECT_EQ(tracker.latest()->pid, first.pid());
    EXPECT_EQ(tracker.latest()->appId, "TrackerFirst");
    EXPECT_EQ(tracker.latest()->title, "first");

    FixtureApp second("TrackerSecond", "second");
    ASSERT_TRUE(second.start());
    auto lastSeen = [&]() -> ActiveWindowInfo {
        std::lock_guard lock(mutex);
        return seen.empty() ? ActiveWindowInfo{} : seen.back();
    };
    ASSERT_TRUE(waitUntil([&] { return lastSeen().appId == "TrackerSecond"; }));
    EXPECT_EQ(lastSeen().pid, second.pid());
    EXPECT_EQ(lastSeen().appName, "TrackerSecond");

    ASSERT_TRUE(first.activate());
    ASSERT_TRUE(waitUntil([&] { return lastSeen().appId == "TrackerFirst"; }));
    EXPECT_EQ(lastSeen().pid, first.pid());
    EXPECT_EQ(tracker.queryNow().value_or(ActiveWindowInfo{}).appId, "TrackerFirst");

    // _GTK_APPLICATION_ID outranks WM_CLASS.
    runTool("xprop", {"-id", QString::number(first.windowId()), "-f", "_GTK_APPLICATION_ID", "8u", "-set",
                      "_GTK_APPLICATION_ID", "org.example.First"});
    EXPECT_TRUE(waitUntil([&] { return tracker.queryNow().value_or(ActiveWindowInfo{}).appId == "org.example.First"; }));
    tracker.stop();
}

}  // namespace
