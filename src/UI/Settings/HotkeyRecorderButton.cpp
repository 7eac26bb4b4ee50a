#include "UI/Settings/HotkeyRecorderButton.h"

#include "Core/Input/KeyCodes.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>

namespace {

const QColor kOrange(0xFF, 0x95, 0x00);

// The recorder that takes the keys now: one at a time, or the newest would hide every key from
// the older one, which would then take the keys meant for the window.
QPointer<HotkeyRecorderButton> s_recorder;

QFont recorderFont(const QFont& base) {
    QFont f = base;
    f.setPointSizeF(11);
    f.setWeight(QFont::Medium);
    return f;
}

// The chip behind both buttons: gray when idle, tinted and outlined in `highlight` when active.
void paintChip(QPainter& painter, const QRect& rect, qreal radius, bool active, const QColor& highlight,
               qreal activeOpacity, qreal idleOpacity) {
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect).adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
    QColor fill = active ? highlight : QColor(Qt::gray);
    fill.setAlphaF(active ? activeOpacity : idleOpacity);
    painter.fillPath(path, fill);
    if (active) {
        painter.setPen(QPen(highlight, 1));
        painter.drawPath(path);
    }
}

}  // namespace

HotkeyRecorderButton::HotkeyRecorderButton(HotkeyValueBinding hotkey, std::function<void(const Hotkey&)> onChanged,
                                           QWidget* parent)
    : QAbstractButton(parent),
      m_hotkey(std::move(hotkey)),
      m_onChanged(std::move(onChanged)) {
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    m_comboTimer.setSingleShot(true);
    m_comboTimer.setInterval(HotkeyRecording::comboDelay);
    connect(&m_comboTimer, &QTimer::timeout, this, [this] { apply(m_recording.comboDelayElapsed()); });
    connect(this, &QAbstractButton::clicked, this, &HotkeyRecorderButton::toggleRecording);
    showChange();
}

HotkeyRecorderButton::~HotkeyRecorderButton() { stopMonitoring(); }

QString HotkeyRecorderButton::displayText() const {
    return m_recording.label(m_hotkey.get ? m_hotkey.get() : Hotkey{});
}

QSize HotkeyRecorderButton::sizeHint() const {
    const QFontMetrics metrics(recorderFont(font()));
    // Wide enough for the prompt, so the button does not jump when recording starts.
    const int textWidth =
        qMax(metrics.horizontalAdvance(displayText()), metrics.horizontalAdvance(QStringLiteral("Press a key...")));
    return {textWidth + 20, metrics.height() + 10};
}

void HotkeyRecorderButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const bool recording = isRecording();
    paintChip(painter, rect(), 6, recording, kOrange, 0.15, 0.12);
    painter.setFont(recorderFont(font()));
    painter.setPen(recording ? kOrange : palette().color(QPalette::ButtonText));
    painter.drawText(rect(), Qt::AlignCenter, displayText());
}

void HotkeyRecorderButton::setAccessibleTitle(const QString& title) {
    m_accessibleTitle = title;
    showChange();
}

void HotkeyRecorderButton::refresh() {
    updateGeometry();
    showChange();
}

void HotkeyRecorderButton::showChange() {
    const QString name =
        m_accessibleTitle.isEmpty() ? displayText() : m_accessibleTitle + QStringLiteral(": ") + displayText();
    if (accessibleName() != name) setAccessibleName(name);
    update();
}

void HotkeyRecorderButton::hideEvent(QHideEvent* event) {
    cancelRecording();
    QAbstractButton::hideEvent(event);
}

void HotkeyRecorderButton::toggleRecording() {
    if (isRecording()) {
        cancelRecording();
    } else {
        startRecording();
    }
}

void HotkeyRecorderButton::startRecording() {
    if (s_recorder && s_recorder != this) s_recorder->cancelRecording();
    s_recorder = this;
    m_recording.start();
    m_keys.reset();
    if (!m_monitoring) {
        qApp->installEventFilter(this);
        m_monitoring = true;
    }
    updateGeometry();
    showChange();
}

void HotkeyRecorderButton::cancelRecording() {
    m_comboTimer.stop();
    if (isRecording()) m_recording.cancel();
    stopMonitoring();
    showChange();
}

void HotkeyRecorderButton::stopMonitoring() {
    if (!m_monitoring) return;
    qApp->removeEventFilter(this);
    m_monitoring = false;
}

bool HotkeyRecorderButton::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (!m_monitoring || (type != QEvent::KeyPress && type != QEvent::KeyRelease && type != QEvent::ShortcutOverride))
        return QAbstractButton::eventFilter(watched, event);
    // Swallowed whatever it is: no window of the program sees a key taken while recording, and
    // no shortcut fires.
    auto* key = static_cast<QKeyEvent*>(event);
    event->accept();
    if (type == QEvent::ShortcutOverride || key->isAutoRepeat()) return true;
    const auto translated = m_keys.translate(key->nativeScanCode(), type == QEvent::KeyPress);
    if (!translated) return true;  // a key without a settings key code: nothing to record
    switch (translated->type) {
    case KeySourceEvent::Type::FlagsChanged:
        apply(m_recording.flagsChanged(translated->keyCode, translated->flags));
        break;
    case KeySourceEvent::Type::KeyDown: apply(m_recording.keyDown(translated->keyCode, translated->flags)); break;
    case KeySourceEvent::Type::KeyUp: break;
    }
    return true;
}

void HotkeyRecorderButton::apply(HotkeyRecording::Step step) {
    switch (step) {
    case HotkeyRecording::Step::nothing: return;
    case HotkeyRecording::Step::pending:
        m_comboTimer.start();
        showChange();
        return;
    case HotkeyRecording::Step::cancelled: cancelRecording(); return;
    case HotkeyRecording::Step::committed: break;
    }
    m_comboTimer.stop();
    stopMonitoring();
    const Hotkey hotkey = *m_recording.committed();
    if (m_hotkey.set) m_hotkey.set(hotkey);
    if (m_onChanged) m_onChanged(hotkey);
    updateGeometry();
    showChange();
}

ActionPresetButton::ActionPresetButton(const QString& label, const Hotkey& preset, HotkeyValueBinding binding,
                                       std::function<void(const Hotkey&)> onChanged, QWidget* parent)
    : QAbstractButton(parent),
      m_preset(preset),
      m_binding(std::move(binding)),
      m_onChanged(std::move(onChanged)) {
    setText(label);
    setCursor(Qt::PointingHandCursor);
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (m_binding.set) m_binding.set(m_preset);
        if (m_onChanged) m_onChanged(m_preset);
        update();
    });
}

bool ActionPresetButton::isSelectedPreset() const { return m_binding.get && m_binding.get() == m_preset; }

QFont ActionPresetButton::labelFont() const {
    QFont f = font();
    f.setPointSizeF(10);
    f.setWeight(isSelectedPreset() ? QFont::DemiBold : QFont::Normal);
    return f;
}

QSize ActionPresetButton::sizeHint() const {
    QFont bold = labelFont();
    bold.setWeight(QFont::DemiBold);  // the wider face, so selection does not resize the row
    const QFontMetrics metrics(bold);
    return {metrics.horizontalAdvance(text()) + 12, metrics.height() + 6};
}

void ActionPresetButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintChip(painter, rect(), 4, isSelectedPreset(), palette().color(QPalette::Highlight), 0.2, 0.1);
    painter.setFont(labelFont());
    painter.setPen(palette().color(QPalette::ButtonText));
    painter.drawText(rect(), Qt::AlignCenter, text());
}
