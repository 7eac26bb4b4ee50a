#include "UI/Settings/HotkeyRecorderButton.h"

#include "support/TestEnvironment.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

namespace {

// X keycodes of the evdev layout.
constexpr quint32 xRightAlt = 108, xLeftAlt = 64, xLeftControl = 37, xSpace = 65, xEscape = 9, xK = 45, xLeftShift = 50,
                  xLeftSuper = 133;

// A window with a text field that has the focus and a recorder bound to a local hotkey.
struct RecorderWindow {
    RecorderWindow() {
        auto* layout = new QVBoxLayout(&window);
        field = new QLineEdit(&window);
        layout->addWidget(field);
        recorder = new HotkeyRecorderButton(
            {[this] { return hotkey; }, [this](const Hotkey& h) { hotkey = h; }},
            [this](const Hotkey& h) { changes.append(h); }, &window);
        recorder->setComboDelay(50);
        layout->addWidget(recorder);
        window.show();
        window.activateWindow();
        field->setFocus();
    }
    // A key as the X server reports it, sent where the window sends keys: the focused field.
    void key(QEvent::Type type, quint32 xKeycode, int qtKey = Qt::Key_unknown) {
        QKeyEvent event(type, qtKey, Qt::NoModifier, xKeycode, 0, 0);
        QApplication::sendEvent(field, &event);
    }
    void press(quint32 x, int qtKey = Qt::Key_unknown) { key(QEvent::KeyPress, x, qtKey); }
    void release(quint32 x, int qtKey = Qt::Key_unknown) { key(QEvent::KeyRelease, x, qtKey); }

    QWidget window;
    QLineEdit* field = nullptr;
    HotkeyRecorderButton* recorder = nullptr;
    Hotkey hotkey{9, Hotkey::commandFlag | Hotkey::controlFlag};
    QList<Hotkey> changes;
};

TEST(HotkeyRecorderButton, ALoneModifierIsTakenAfterTheDelay) {
    RecorderWindow w;
    EXPECT_EQ(w.recorder->displayText(), QStringLiteral("Ctrl+Super+V"));
    w.recorder->click();
    EXPECT_EQ(w.recorder->displayText(), QStringLiteral("Press a key..."));
    w.press(xRightAlt, Qt::Key_AltGr);
    EXPECT_EQ(w.recorder->displayText(), QStringLiteral("Right Alt..."));
    w.release(xRightAlt, Qt::Key_AltGr);
    ASSERT_TRUE(waitUntil([&] { return !w.recorder->isRecording(); }));
    EXPECT_EQ(w.hotkey, (Hotkey{61, 0}));
    EXPECT_EQ(w.changes, QList<Hotkey>{(Hotkey{61, 0})});
}

TEST(HotkeyRecorderButton, AKeyWithModifiersIsTakenAtOnceAndSwallowed) {
    RecorderWindow w;
    w.recorder->setComboDelay(60000);  // only the key-down may commit
    w.recorder->click();
    w.press(xLeftSuper, Qt::Key_Super_L);
    w.press(xLeftShift, Qt::Key_Shift);
    w.press(xK, Qt::Key_K);
    EXPECT_FALSE(w.recorder->isRecording());
    EXPECT_EQ(w.hotkey, (Hotkey{40, Hotkey::commandFlag | Hotkey::shiftFlag}));
    EXPECT_EQ(w.changes.size(), 1);
    EXPECT_TRUE(w.field->text().isEmpty());  // the field never saw the keys

    // Once recording has ended, keys reach the window again.
    QTest::keyClicks(w.field, QStringLiteral("k"));
    EXPECT_EQ(w.field->text(), QStringLiteral("k"));
}

TEST(HotkeyRecorderButton, ModifierCombinationsAndSpaceFollowTheHeldKeys) {
    RecorderWindow w;
    w.recorder->click();
    w.press(xRightAlt);
    w.press(xLeftControl);
    ASSERT_TRUE(waitUntil([&] { return !w.recorder->isRecording(); }));
    EXPECT_EQ(w.hotkey, (Hotkey{59, Hotkey::optionFlag}));

    w.recorder->setComboDelay(60000);
    w.recorder->click();
    w.press(xLeftAlt);
    w.press(xSpace, Qt::Key_Space);
    EXPECT_EQ(w.hotkey, (Hotkey{49, Hotkey::optionFlag}));
}

TEST(HotkeyRecorderButton, EscapeASecondClickAndHidingCancel) {
    RecorderWindow w;
    const Hotkey before = w.hotkey;
    w.recorder->click();
    w.press(xLeftAlt);
    w.press(xEscape, Qt::Key_Escape);
    EXPECT_FALSE(w.recorder->isRecording());

    w.recorder->click();
    w.recorder->click();
    EXPECT_FALSE(w.recorder->isRecording());

    w.recorder->click();
    w.window.hide();
    EXPECT_FALSE(w.recorder->isRecording());
    EXPECT_EQ(w.hotkey, before);
    EXPECT_TRUE(w.changes.isEmpty());
}

TEST(HotkeyRecorderButton, StartingASecondRecorderCancelsTheFirst) {
    RecorderWindow w;
    Hotkey other{53, 0};
    HotkeyRecorderButton second({[&] { return other; }, [&](const Hotkey& h) { other = h; }}, {}, &w.window);
    w.recorder->click();
    second.click();
    EXPECT_FALSE(w.recorder->isRecording());
    w.press(xSpace, Qt::Key_Space);
    EXPECT_EQ(other, (Hotkey{49, 0}));
    EXPECT_EQ(w.hotkey, (Hotkey{9, Hotkey::commandFlag | Hotkey::controlFlag}));
}

TEST(ActionPresetButton, ClickWritesThePresetEvenWhenAlreadyBound) {
    Hotkey bound{61, 0};
    int changes = 0;
    ActionPresetButton preset(QStringLiteral("Right Alt"), Hotkey{61, 0},
                              {[&] { return bound; }, [&](const Hotkey& h) { bound = h; }},
                              [&](const Hotkey&) { ++changes; });
    EXPECT_TRUE(preset.isSelectedPreset());
    preset.click();
    EXPECT_EQ(changes, 1);
    bound = Hotkey{58, 0};
    EXPECT_FALSE(preset.isSelectedPreset());
    preset.click();
    EXPECT_EQ(bound, (Hotkey{61, 0}));
}

}  // namespace
