#pragma once

#include "Core/Input/KeyCodes.h"
#include "Models/Hotkey.h"
#include "UI/Settings/HotkeyRecording.h"

#include <QAbstractButton>
#include <QTimer>

#include <functional>

// A two-way link to a hotkey held elsewhere (the settings pane reads and writes the pipeline's
// settings through it).
struct HotkeyValueBinding {
    std::function<Hotkey()> get;
    std::function<void(const Hotkey&)> set;
};

// Shows a hotkey; clicked, it records the next key combination, or a lone modifier key, typed
// into this program. While it records it takes every key event of the program before any
// window sees it; the global hotkey listener is neither used nor paused.
class HotkeyRecorderButton : public QAbstractButton {
    Q_OBJECT
public:
    HotkeyRecorderButton(HotkeyValueBinding hotkey, std::function<void(const Hotkey&)> onChanged,
                         QWidget* parent = nullptr);
    ~HotkeyRecorderButton() override;

    bool isRecording() const { return m_recording.isRecording(); }
    // What the button reads now.
    QString displayText() const;
    // The delay before a modifier combination is taken; shortened by tests.
    void setComboDelay(int milliseconds) { m_comboTimer.setInterval(milliseconds); }
    // What the button sets: its accessible name is this title and what the button reads,
    // "Push-to-Talk: Right Alt", so a screen reader tells the four recorders apart.
    void setAccessibleTitle(const QString& title);
    // Shows the bound hotkey again after it changed elsewhere.
    void refresh();

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void toggleRecording();
    void startRecording();
    void cancelRecording();
    void stopMonitoring();
    void apply(HotkeyRecording::Step step);
    // Repaints and brings the accessible name up to date with what the button reads.
    void showChange();

    HotkeyValueBinding m_hotkey;
    std::function<void(const Hotkey&)> m_onChanged;
    HotkeyRecording m_recording;
    NativeKeyTranslator m_keys;
    QString m_accessibleTitle;
    bool m_monitoring = false;
    QTimer m_comboTimer;
};

// One click sets a fixed hotkey; shown emphasised while it is the bound one.
class ActionPresetButton : public QAbstractButton {
    Q_OBJECT
public:
    ActionPresetButton(const QString& label, const Hotkey& preset, HotkeyValueBinding binding,
                       std::function<void(const Hotkey&)> onChanged, QWidget* parent = nullptr);

    bool isSelectedPreset() const;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QFont labelFont() const;

    Hotkey m_preset;
    HotkeyValueBinding m_binding;
    std::function<void(const Hotkey&)> m_onChanged;
};
