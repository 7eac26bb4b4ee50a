// The X11 back-ends against the virtual desktop: key source, XTest injector, CLIPBOARD service
// and active-window tracker.
#include "Core/Input/KeyCodeTable.h"
#include "Models/Hotkey.h"
#include "Platform/X11/PrimarySelectionReader.h"
#include "Platform/X11/X11ActiveWindowTracker.h"
#include "Platform/X11/X11ClipboardService.h"
#include "Platform/X11/X11KeyInjector.h"
#include "Platform/X11/X11KeySource.h"
#include "Platform/X11/XcbOwned.h"

#include "support/FixtureApp.h"
#include "support/KeyEventLog.h"
#include "support/SaveTargetsManager.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QProcess>

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <cstring>
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
    EXPECT_EQ(source.backend(), GetParam() == X11KeySource::Preference::RecordOnly ? X11KeySource::Backend::Record
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
    ASSERT_TRUE(waitUntil(
        [&] {
            keys.sendKey(f12, true);
            keys.sendKey(f12, false);
            return log.size() >= 2;
        },
        5s));

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
    struct Expect {
        T type;
        uint16_t code;
        uint64_t flags;
        bool repeat;
        const char* chars;
    };
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
    ASSERT_TRUE(waitUntil(
        [&] {
            keys.sendKey(a, true);
            keys.sendKey(a, false);
            return probeLog.size() >= 2;
        },
        5s));
    EXPECT_EQ(log.size(), after);
}

INSTANTIATE_TEST_SUITE_P(Backends, KeySourceTest,
                         ::testing::Values(X11KeySource::Preference::XInput2Only, X11KeySource::Preference::RecordOnly),
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
    const uint64_t ticket =
        owner.setContents({{"image/png", "image/png", 8, blob}, {"UTF8_STRING", "UTF8_STRING", 8, "x"}});
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

// A blob whose every offset holds a known byte, so a piece of another transfer shows.
QByteArray patterned(qsizetype size, int seed) {
    QByteArray blob(size, '\0');
    for (qsizetype i = 0; i < size; ++i) blob[i] = char((i * 131 + seed) % 251);
    return blob;
}

TEST(ClipboardServiceTest, ATargetOverItsCapIsLeftOutAndTheOthersComeThroughIntact) {
    X11ClipboardService owner, reader;
    ASSERT_TRUE(owner.start());
    ASSERT_TRUE(reader.start());
    // Both large ones travel in pieces; the first is given up half-way, its owner still waiting
    // to send the rest while the next target is read.
    constexpr qint64 cap = 512 * 1024;
    const QByteArray over = patterned(4 * cap, 1), atCap = patterned(cap, 2);
    ASSERT_NE(owner.setContents({{"image/bmp", "image/bmp", 8, over},
                                 {"image/png", "image/png", 8, atCap},
                                 {"UTF8_STRING", "UTF8_STRING", 8, "the user's text"}}),
              0u);

    const ClipboardSnapshot snap = reader.snapshot(64 << 20, 10s, cap);
    EXPECT_FALSE(snap.complete);
    ASSERT_EQ(snap.items.size(), 2u);
    EXPECT_EQ(snap.items[0].target, "image/png");
    EXPECT_TRUE(snap.items[0].data == atCap) << "size " << snap.items[0].data.size();
    EXPECT_EQ(snap.plainText().value_or(""), "the user's text");

    // The reader stays usable for the next snapshot.
    ASSERT_NE(owner.setContents(X11ClipboardService::textItems("next", false)), 0u);
    EXPECT_EQ(reader.snapshot(64 << 20, 5s, cap).plainText().value_or(""), "next");
}

TEST(ClipboardServiceTest, AnOwnerListingTooManyTargetsStillGivesItsText) {
    X11ClipboardService owner, reader;
    ASSERT_TRUE(owner.start());
    ASSERT_TRUE(reader.start());
    std::vector<ClipboardItem> items;
    for (int i = 0; i < X11ClipboardService::maxTargets + 40; ++i) {
        const QByteArray name = "x-vantrose-many-" + QByteArray::number(i);
        items.push_back({name, name, 8, "v"});
    }
    items.push_back({"UTF8_STRING", "UTF8_STRING", 8, "kept"});
    ASSERT_NE(owner.setContents(items), 0u);

    const ClipboardSnapshot snap = reader.snapshot(64 << 20, 20s);
    EXPECT_FALSE(snap.complete);
    EXPECT_LE(snap.items.size(), size_t(X11ClipboardService::maxTargets) + 1);
    EXPECT_EQ(snap.plainText().value_or(""), "kept");
}

// The text around the cursor takes the PRIMARY selection only in one piece: a selection so large
// that its owner hands it over in pieces is not read, and the reader does not wait for it.
TEST(PrimarySelectionCapTest, OnlyASelectionInOnePieceIsRead) {
    const qint64 self = QCoreApplication::applicationPid();  // the owner below is this process
    X11ClipboardService owner("PRIMARY");
    ASSERT_TRUE(owner.start());
    const QString onePiece(200 * 1024, 'p');
    ASSERT_NE(owner.setContents(X11ClipboardService::textItems(onePiece, false)), 0u);
    EXPECT_TRUE(PrimarySelectionReader::read(self, std::chrono::seconds(2)).value_or("") == onePiece);

    ASSERT_NE(owner.setContents(X11ClipboardService::textItems(QString(4 << 20, 'q'), false)), 0u);
    EXPECT_FALSE(PrimarySelectionReader::read(self, std::chrono::seconds(2)).has_value());

    // The owner is not left stuck: the next small selection is read.
    ASSERT_NE(owner.setContents(X11ClipboardService::textItems("small", false)), 0u);
    EXPECT_EQ(PrimarySelectionReader::read(self, std::chrono::seconds(2)).value_or(""), "small");
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
    // "\x01" ends before "binary": one literal would read "\x01b" as a single character.
    const QByteArray picture(
        "\x89PNG\r\n\x1a\n\0\x01"
        "binary",
        16);
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
    EXPECT_TRUE(
        waitUntil([&] { return tracker.queryNow().value_or(ActiveWindowInfo{}).appId == "org.example.First"; }));
    tracker.stop();
}

// Sets a window property from a connection of the test's own, byte for byte.
bool setProperty(uint32_t window, const char* name, const char* type, const QByteArray& value) {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return false;
    }
    auto intern = [c](const char* atom) {
        const auto r = xcbOwned(xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(atom)), atom), nullptr));
        return r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
    };
    xcb_void_cookie_t cookie = xcb_change_property_checked(c, XCB_PROP_MODE_REPLACE, window, intern(name), intern(type),
                                                           8, uint32_t(value.size()), value.constData());
    const bool failed = xcbOwned(xcb_request_check(c, cookie)) != nullptr;
    xcb_disconnect(c);
    return !failed;
}

// Titles and WM_CLASS come from any client: what the tracker keeps of them is capped, and a
// character the cap cuts in two is left out, not turned into a replacement character.
struct TitleCase {
    const char* name;
    QByteArray title;
    QString expected;
};

void PrintTo(const TitleCase& c, std::ostream* os) { *os << c.name; }

class TitleCapTest : public ::testing::TestWithParam<TitleCase> {};

TEST_P(TitleCapTest, TheTitleIsKeptUpToTheCap) {
    FixtureApp app("TitleCap", "short");
    ASSERT_TRUE(app.start());
    X11ActiveWindowTracker tracker;
    ASSERT_TRUE(tracker.start({}));
    ASSERT_TRUE(waitUntil([&] { return tracker.queryNow().value_or(ActiveWindowInfo{}).title == "short"; }));

    ASSERT_TRUE(setProperty(uint32_t(app.windowId()), "_NET_WM_NAME", "UTF8_STRING", GetParam().title));
    QString title;
    ASSERT_TRUE(waitUntil([&] {
        title = tracker.queryNow().value_or(ActiveWindowInfo{}).title;
        return title != "short";
    }));
    EXPECT_EQ(title.size(), GetParam().expected.size());
    EXPECT_TRUE(title == GetParam().expected);
    tracker.stop();
}

constexpr qsizetype kCap = X11ActiveWindowTracker::maxPropertyBytes;

INSTANTIATE_TEST_SUITE_P(
    Titles, TitleCapTest,
    ::testing::Values(TitleCase{"ExactlyAtTheCap", QByteArray(kCap, 't'), QString(kCap, 't')},
                      TitleCase{"LongAsciiCut", QByteArray(1 << 20, 'u'), QString(kCap, 'u')},
                      // "a" then two-byte characters: the cap falls inside one.
                      TitleCase{"CutInsideACharacter", "a" + QString(kCap, QChar(0xE9)).toUtf8(),
                                "a" + QString(kCap / 2 - 1, QChar(0xE9))},
                      // Four-byte characters (two UTF-16 units each): the cap falls after two of a character's bytes.
                      TitleCase{"CutInsideAnEmoji",
                                "ab" + QString::fromUtf8("\xF0\x9F\x98\x80").repeated(kCap).toUtf8(),
                                "ab" + QString::fromUtf8("\xF0\x9F\x98\x80").repeated(kCap / 4 - 1)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ActiveWindowTrackerTest, AnOversizedClassIsCappedNotCopied) {
    FixtureApp app("ClassCap", "class cap");
    ASSERT_TRUE(app.start());
    X11ActiveWindowTracker tracker;
    ASSERT_TRUE(tracker.start({}));
    ASSERT_TRUE(setProperty(uint32_t(app.windowId()), "WM_CLASS", "STRING",
                            "inst" + QByteArray(1, '\0') + QByteArray(1 << 20, 'C') + QByteArray(1, '\0')));
    ActiveWindowInfo info;
    ASSERT_TRUE(waitUntil([&] {
        info = tracker.queryNow().value_or(ActiveWindowInfo{});
        return info.appName.startsWith("CCCC");
    }));
    EXPECT_LE(info.appName.toUtf8().size(), kCap);
    EXPECT_LE(info.appId.toUtf8().size(), kCap);
    tracker.stop();
}

}  // namespace
