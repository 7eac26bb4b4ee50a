#pragma once

#include <QLabel>
#include <QString>
#include <QWidget>

class QLayout;
class QScrollArea;
class QVBoxLayout;

// A titled card of the settings pane: the title in small capitals above a rounded card that
// holds the group's rows.
class SettingsGroup : public QWidget {
    Q_OBJECT
public:
    explicit SettingsGroup(const QString& title, QWidget* parent = nullptr);

    // Adds a row, with a divider before it unless it is the first; answers the widget that
    // shows or hides the row together with its divider.
    QWidget* addRow(QWidget* row);
    QString title() const { return m_title; }

private:
    class Card;
    QString m_title;
    Card* m_card = nullptr;
    QVBoxLayout* m_rows = nullptr;
};

// A labelled row: the label, flexible space, then the content.
class SettingsRow : public QWidget {
    Q_OBJECT
public:
    SettingsRow(const QString& label, QWidget* content, QWidget* parent = nullptr);
    QLabel* label() const { return m_label; }

private:
    QLabel* m_label = nullptr;
};

// A one-line label that cuts a long text with an ellipsis at its end.
class OneLineLabel : public QLabel {
public:
    OneLineLabel(const QString& text, QWidget* parent);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QString m_full;
};

namespace SettingsStyle {
// The platform's secondary, tertiary and quaternary text shades.
QColor secondary(const QWidget* widget);
QColor tertiary(const QWidget* widget);
QColor quaternary(const QWidget* widget);
// A label at the given size in the given colour.
QLabel* label(const QString& text, qreal pointSize, QWidget* parent, const QColor& color = QColor());
QFont serif(qreal pointSize, bool italic = false);
void setTextColor(QWidget* widget, const QColor& color);
// A vertically scrolling page holding one column of sections.
QScrollArea* scrollingPage(QWidget* parent, QVBoxLayout*& column, int margin, int spacing);
// A red, wrapped line that says why an entry was refused; hidden until it has something to say.
QLabel* refusalLabel(QWidget* parent, const QString& objectName);
QWidget* divider(QWidget* parent, int inset = 0);
// Takes a widget out of its view at once and deletes it later: its own button may be running.
void discard(QWidget* widget);
// Discards every widget of a layout and empties it.
void clearLayout(QLayout* layout);
}  // namespace SettingsStyle
