#pragma once

#include "Core/Learning/TypingReminderEngine.h"
#include "UI/Motion/Spring.h"

#include <QWidget>

#include <functional>

class MotionClock;
class QMenu;

// The small dark card offering to dictate instead of typing: a pulsing microphone and
// "Vantrose it". A click accepts the offer; the context menu dismisses it for now or for the
// application. It never removes itself: the overlay drops it when the pipeline clears the offer.
class TypingSuggestionPill : public QWidget {
    Q_OBJECT
public:
    TypingSuggestionPill(TypingReminderEngine::Suggestion suggestion, std::function<void()> onAccept,
                         std::function<void(bool suppress)> onDismiss, QWidget* parent = nullptr,
                         MotionClock* clock = nullptr);

    // The card itself; the widget is larger by its shadow's margin on every side.
    static QSizeF cardSize();
    static constexpr double shadowMargin = 16;
    QRectF cardRect() const;
    QSize sizeHint() const override;

    // "Don't show in Slack", or "Don't show in this app" when the name is empty.
    static QString suppressTitle(const QString& appName);
    // The context menu's items, in order; the caller owns the menu.
    QMenu* buildContextMenu(QWidget* parent);

    const TypingReminderEngine::Suggestion& suggestion() const { return m_suggestion; }
    double appearProgress() const { return m_appeared.value(); }
    // The opacity of the column the card sits in (the overlay's entrance fade); its own
    // entrance fade comes on top.
    void setColumnOpacity(double opacity);
    double drawnOpacity() const;
    double micScale() const;

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    TypingReminderEngine::Suggestion m_suggestion;
    std::function<void()> m_onAccept;
    std::function<void(bool)> m_onDismiss;
    MotionClock* m_clock;
    AnimatedValue m_appeared{0};  // 0: scale 0.7, transparent, 10 below; 1: in place
    double m_pulseTime = 0;       // seconds since the pulse started
    double m_columnOpacity = 1;
    bool m_pressed = false;
};
