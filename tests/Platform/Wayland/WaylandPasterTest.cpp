// The paste's rules over a clipboard and a chord that only record what they are asked.
#include "Platform/Wayland/WaylandPaster.h"
#include "Platform/Wayland/PasteChord.h"

#include "support/LogText.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A clipboard with one owner at a time: our writes (by ticket) or "the user".
struct ClipboardState {
    QString content;
    uint64_t ownerTicket = 0;  // 0: someone else's copy (the user's)
    uint64_t nextTicket = 0;
    PasteClipboard::Saved userCopy;  // what save() reports
    QString keptContent;
    bool kept = false;
    bool writable = true;
    std::vector<QString> calls;
};

class FakeClipboard final : public PasteClipboard {
public:
    explicit FakeClipboard(ClipboardState& s) : m(s) {}
    bool start() override { return true; }
    bool isConnected() override { return true; }
    const char* name() const override { return "fake"; }
    Saved save(const SaveLimits&) override {
        m.calls.emplace_back("save");
        m.kept = true;
        m.keptContent = m.content;
        return m.userCopy;
    }
    uint64_t write(const QString& text, const std::optional<QString>&) override {
        m.calls.emplace_back("write");
        if (!m.writable) return 0;
        m.content = text;
        return m.ownerTicket = ++m.nextTicket;
    }
    uint64_t rewrite(uint64_t ticket, const QString& text, const std::optional<QString>& html) override {
        m.calls.emplace_back("rewrite");
        return owns(ticket) ? write(text, html) : 0;
    }
    bool giveBack(uint64_t ticket) override {
        m.calls.emplace_back("giveBack");
        if (!owns(ticket) || !m.kept) return false;
        m.content = m.keptContent;
        m.ownerTicket = ++m.nextTicket;
        m.kept = false;
        return true;
    }
    bool release(uint64_t ticket) override {
        m.calls.emplace_back("release");
        if (!owns(ticket)) return false;
        m.content.clear();
        m.ownerTicket = 0;
        return true;
    }
    bool owns(uint64_t ticket) override { return ticket != 0 && ticket == m.ownerTicket; }
    void forget() override { m.kept = false; }

private:
    ClipboardState& m;
};

struct ChordState {
    bool available = true;
    bool works = true;
    QString reason;          // what the chord says when it cannot send
    std::vector<bool> sent;  // terminal or not, per chord
};

class FakeChord final : public PasteChord {
public:
    explicit FakeChord(ChordState& s) : m(s) {}
    bool isAvailable() override { return m.available; }
    bool sendPaste(bool terminal) override {
        m.sent.push_back(terminal);
        return m.works;
    }
    QString unavailableReason() override { return m.reason; }

private:
    ChordState& m;
};

class WaylandPasterTest : public ::testing::Test {
protected:
    void userCopies(const QString& text) {
        clipboard.content = text;
        clipboard.ownerTicket = 0;
    }
    std::unique_ptr<WaylandPaster> makePaster(WaylandPaster::FrontApp front = {}) {
        return std::make_unique<WaylandPaster>(std::make_unique<FakeClipboard>(clipboard),
                                               withChord ? std::make_unique<FakeChord>(chord) : nullptr,
                                               std::move(front));
    }

    ClipboardState clipboard;
    ChordState chord;
    bool withChord = true;
};

TEST_F(WaylandPasterTest, RestoreGivesBackOnlyWhatShouldComeBack) {
    struct Case {
        const char* name;
        QString userText;  // empty: an empty clipboard
        bool concealed;
        bool userCopiesMeanwhile;
        QString clipboardAfter;
        bool restored;
        const char* logLine;  // empty: none expected
    };
    const Case cases[] = {
        {"the user's text", "user text", false, false, "user text", true, ""},
        {"nothing to give back", "", false, false, "", true, "TextInserter: No saved clipboard to restore, cleared"},
        {"a password manager's copy", "hunter2", true, false, "", true,
         "TextInserter: Saved clipboard was marked secret; cleared instead of restoring"},
        {"a copy made after the paste", "user text", false, true, "newer", false,
         "TextInserter: Clipboard changed since the paste; keeping the new copy"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clipboard = {};
        userCopies(c.userText);
        clipboard.userCopy.empty = c.userText.isEmpty();
        clipboard.userCopy.concealed = c.concealed;
        if (!c.userText.isEmpty()) clipboard.userCopy.plainText = c.userText;
        auto paster = makePaster();
        const qsizetype mark = logMark();

        const auto result = paster->paste(QStringLiteral("dictated"));
        ASSERT_TRUE(result.scheduleRestore);
        EXPECT_EQ(clipboard.content, "dictated");
        if (c.userCopiesMeanwhile) userCopies("newer");
        paster->restore(result.generation);

        EXPECT_EQ(clipboard.content, c.clipboardAfter);
        EXPECT_EQ(paster->lastOutcome()->clipboardRestored, c.restored);
        if (*c.logLine) {
            EXPECT_TRUE(loggedTextSince(mark).contains(c.logLine));
        }
        // Restoring again changes nothing: the saved copy is gone.
        userCopies("later copy");
        paster->restore(result.generation);
        EXPECT_EQ(clipboard.content, "later copy");
    }
}

TEST_F(WaylandPasterTest, OverlappingPastesKeepTheFirstSavedCopy) {
    userCopies("user text");
    clipboard.userCopy = {true, false, false, QStringLiteral("user text")};
    auto paster = makePaster();
    const auto first = paster->paste(QStringLiteral("first"));
    const auto second = paster->paste(QStringLiteral("second"));

    EXPECT_EQ(std::count(clipboard.calls.begin(), clipboard.calls.end(), "save"), 1);
    EXPECT_EQ(second.outcome.clipboardLengthBefore, 5);
    EXPECT_NE(first.generation, second.generation);
    paster->restore(first.generation);
    EXPECT_EQ(clipboard.content, "second");
    paster->restore(second.generation);
    EXPECT_EQ(clipboard.content, "user text");
}

TEST_F(WaylandPasterTest, WithoutKeysTheTextStaysOnTheClipboard) {
    struct Case {
        const char* name;
        bool chordOffered;
        bool chordWorks;
        const char* chordReason;
        const char* noticeSays;  // what the pill shows
    };
    const Case cases[] = {
        {"no way to send keys", false, false, "", "neither a remote desktop portal nor a virtual keyboard"},
        {"keys refused", true, false, "", "could not press the paste keys"},
        {"the portal's own reason", true, false, "Vantrose was not allowed to control the keyboard.",
         "Vantrose was not allowed to control the keyboard."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clipboard = {};
        chord = {};
        userCopies("user text");
        clipboard.userCopy = {true, false, false, QStringLiteral("user text")};
        withChord = c.chordOffered;
        chord.works = c.chordWorks;
        chord.reason = QString::fromUtf8(c.chordReason);
        auto paster = makePaster();
        const qsizetype mark = logMark();

        const auto result = paster->paste(QStringLiteral("dictated"));
        EXPECT_TRUE(result.outcome.clipboardWritten);
        EXPECT_FALSE(result.outcome.pasteSimulated);
        EXPECT_FALSE(result.outcome.success);
        EXPECT_EQ(result.outcome.hasPrivilegeIssues, !c.chordOffered);
        EXPECT_FALSE(result.scheduleRestore);
        EXPECT_TRUE(loggedTextSince(mark).contains("the text stays on the clipboard to paste by hand"));
        // Never a silent lost dictation: the user is told why and where the text is.
        EXPECT_TRUE(result.outcome.userNotice.contains(c.noticeSays)) << result.outcome.userNotice.toStdString();
        if (!*c.chordReason) {
            EXPECT_TRUE(result.outcome.userNotice.contains("Ctrl+V")) << result.outcome.userNotice.toStdString();
        }
        paster->restorePending();
        EXPECT_EQ(clipboard.content, "dictated");
    }
}

TEST_F(WaylandPasterTest, AClipboardThatCannotBeTakenSendsNoKeys) {
    userCopies("user text");
    clipboard.writable = false;
    auto paster = makePaster();
    const auto result = paster->paste(QStringLiteral("dictated"));
    EXPECT_FALSE(result.outcome.clipboardWritten);
    EXPECT_FALSE(result.outcome.pasteSimulated);
    EXPECT_TRUE(chord.sent.empty());
    EXPECT_FALSE(result.scheduleRestore);
    EXPECT_EQ(clipboard.content, "user text");
    EXPECT_TRUE(result.outcome.userNotice.contains("in the history")) << result.outcome.userNotice.toStdString();
}

TEST_F(WaylandPasterTest, TheApplicationInFrontDecidesTheChordAndTellsOfAFocusChange) {
    struct Case {
        QString before, after;
        bool terminal;
        bool focusChanged;
    };
    const Case cases[] = {
        {"org.gnome.Terminal", "org.gnome.Terminal", true, false},
        {"org.gnome.TextEditor", "org.gnome.TextEditor", false, false},
        {"org.gnome.TextEditor", "firefox", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before.toStdString() + " -> " + c.after.toStdString());
        chord = {};
        int asked = 0;
        auto paster = makePaster([&]() -> std::optional<WaylandFrontApp> {
            return WaylandFrontApp{0, asked++ == 0 ? c.before : c.after, {}, {}};
        });
        const auto result = paster->paste(QStringLiteral("dictated"));
        ASSERT_EQ(chord.sent.size(), 1u);
        EXPECT_EQ(chord.sent[0], c.terminal);
        EXPECT_EQ(result.outcome.focusedControlChanged, c.focusChanged);
    }
}

}  // namespace
