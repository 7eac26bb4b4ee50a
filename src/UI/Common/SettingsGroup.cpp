#include "UI/Common/SettingsGroup.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QVBoxLayout>

namespace SettingsStyle {
namespace {
QColor textShade(const QWidget* widget, qreal alpha) {
    QColor c = widget ? widget->palette().color(QPalette::WindowText) : QColor(Qt::black);
    c.setAlphaF(alpha);
    return c;
}
}  // namespace

QColor secondary(const QWidget* widget) { return textShade(widget, 0.6); }
QColor tertiary(const QWidget* widget) { return textShade(widget, 0.4); }
QColor quaternary(const QWidget* widget) { return textShade(widget, 0.22); }

void setTextColor(QWidget* widget, const QColor& color) {
    QPalette p = widget->palette();
    p.setColor(QPalette::WindowText, color);
    widget->setPalette(p);
}

QLabel* label(const QString& text, qreal pointSize, QWidget* parent, const QColor& color) {
    auto* l = new QLabel(text, parent);
    // Words, triggers, app names and the account come from the user or from other programs:
    // never read them as markup.
    l->setTextFormat(Qt::PlainText);
    QFont f = l->font();
    f.setPointSizeF(pointSize);
    l->setFont(f);
    if (color.isValid()) setTextColor(l, color);
    return l;
}

QScrollArea* scrollingPage(QWidget* parent, QVBoxLayout*& column, int margin, int spacing) {
    auto* scroll = new QScrollArea(parent);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* content = new QWidget(scroll);
    column = new QVBoxLayout(content);
    column->setContentsMargins(margin, margin, margin, margin);
    column->setSpacing(spacing);
    scroll->setWidget(content);
    return scroll;
}

QLabel* refusalLabel(QWidget* parent, const QString& objectName) {
    auto* l = new QLabel(parent);
    l->setObjectName(objectName);
    l->setWordWrap(true);
    setTextColor(l, QColor(0xFF, 0x3B, 0x30));
    l->hide();
    return l;
}

QFont serif(qreal pointSize, bool italic) {
    QFont f(QStringLiteral("EB Garamond"));
    f.setPointSizeF(pointSize);
    f.setItalic(italic);
    return f;
}

QWidget* divider(QWidget* parent, int inset) {
    auto* holder = new QWidget(parent);
    auto* layout = new QHBoxLayout(holder);
    layout->setContentsMargins(inset, 0, inset, 0);
    auto* line = new QFrame(holder);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setFixedHeight(1);
    setTextColor(line, quaternary(parent));
    layout->addWidget(line);
    return holder;
}

void discard(QWidget* widget) {
    widget->hide();
    widget->setParent(nullptr);
    widget->deleteLater();
}

void clearLayout(QLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* widget = item->widget()) discard(widget);
        delete item;
    }
}

}  // namespace SettingsStyle

// The card: window background, a faint shadow below and a hairline border.
class SettingsGroup::Card : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF card = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -1.5);
        QPainterPath shadow;
        shadow.addRoundedRect(card.translated(0, 1), 8, 8);
        painter.fillPath(shadow, QColor(0, 0, 0, 15));
        QPainterPath path;
        path.addRoundedRect(card, 8, 8);
        painter.fillPath(path, palette().color(QPalette::Window));
        painter.setPen(QPen(SettingsStyle::quaternary(this), 0.5));
        painter.drawPath(path);
    }
};

SettingsGroup::SettingsGroup(const QString& title, QWidget* parent) : QWidget(parent), m_title(title) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    auto* heading = SettingsStyle::label(title.toUpper(), 11, this, SettingsStyle::secondary(this));
    QFont f = heading->font();
    f.setWeight(QFont::Medium);
    f.setLetterSpacing(QFont::AbsoluteSpacing, 0.5);
    heading->setFont(f);
    layout->addWidget(heading);
    m_card = new Card(this);
    m_rows = new QVBoxLayout(m_card);
    m_rows->setContentsMargins(12, 8, 12, 10);
    m_rows->setSpacing(6);
    layout->addWidget(m_card);
}

QWidget* SettingsGroup::addRow(QWidget* row) {
    auto* holder = new QWidget(m_card);
    auto* layout = new QVBoxLayout(holder);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    if (m_rows->count() > 0) layout->addWidget(SettingsStyle::divider(holder));
    row->setParent(holder);
    layout->addWidget(row);
    m_rows->addWidget(holder);
    return holder;
}

SettingsRow::SettingsRow(const QString& label, QWidget* content, QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_label = SettingsStyle::label(label, 13, this);
    layout->addWidget(m_label, 0, Qt::AlignVCenter);
    layout->addStretch(1);
    if (content) {
        content->setParent(this);
        layout->addWidget(content, 0, Qt::AlignVCenter);
    }
}

OneLineLabel::OneLineLabel(const QString& text, QWidget* parent) : QLabel(text, parent), m_full(text) {
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void OneLineLabel::resizeEvent(QResizeEvent* event) {
    setText(fontMetrics().elidedText(m_full, Qt::ElideRight, width()));
    QLabel::resizeEvent(event);
}
