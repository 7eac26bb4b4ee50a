#include "UI/Hub/HistoryView.h"

#include "Core/Desktop/AbstractDictationHistory.h"
#include "Core/Pipeline/DictationPipeline.h"
#include "UI/Hub/HubRules.h"
#include "UI/Theme/HubGlyphs.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStackedLayout>
#include <QTimer>
#include <QVBoxLayout>

namespace {

QFont sized(const QWidget* w, double size, QFont::Weight weight = QFont::Normal) {
    QFont f = w->font();
    f.setPointSizeF(size);
    f.setWeight(weight);
    return f;
}

void tint(QWidget* w, const QColor& color) {
    QPalette pal = w->palette();
    pal.setColor(QPalette::WindowText, color);
    pal.setColor(QPalette::ButtonText, color);
    w->setPalette(pal);
}

// A label with its glyph in front.
QWidget* glyphText(const QString& symbol, const QString& text, const QColor& color, QWidget* parent) {
    auto* holder = new QWidget(parent);
    auto* row = new QHBoxLayout(holder);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(3);
    auto* glyph = new QLabel(holder);
    glyph->setPixmap(hubGlyphIcon(symbol, 10, color).pixmap(10, 10));
    auto* label = new QLabel(text, holder);
    label->setObjectName(QStringLiteral("text"));
    label->setTextFormat(Qt::PlainText);
    label->setFont(sized(parent, 10));
    tint(label, color);
    row->addWidget(glyph);
    row->addWidget(label);
    return holder;
}

// One record: its text (three lines at most) over its labels.
QWidget* recordRow(const TranscriptionResult& r, QWidget* parent) {
    auto* row = new QWidget(parent);
    auto* column = new QVBoxLayout(row);
    column->setContentsMargins(6, 4, 6, 4);
    column->setSpacing(6);
    auto* text = new QLabel(r.pastedText, row);
    text->setObjectName(QStringLiteral("text"));
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    text->setFont(sized(parent, 13));
    text->setMaximumHeight(QFontMetrics(text->font()).lineSpacing() * 3);
    text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    column->addWidget(text);
    auto* labels = new QHBoxLayout;
    labels->setSpacing(12);
    const QColor secondary = labelColor(parent->palette(), LabelStyle::secondary);
    labels->addWidget(glyphText(QStringLiteral("text.word.spacing"), wordCountText(r.wordCount), secondary, row));
    labels->addWidget(glyphText(QStringLiteral("waveform"), durationText(r.duration), secondary, row));
    labels->addWidget(glyphText(QStringLiteral("clock"), totalTimeText(r.totalTimeMs), secondary, row));
    if (!r.appName.isEmpty()) labels->addWidget(glyphText(QStringLiteral("app"), r.appName, secondary, row));
    labels->addStretch(1);
    column->addLayout(labels);
    return row;
}

}  // namespace

HistoryView::HistoryView(DictationPipeline& pipeline, AbstractDictationHistory& store, QWidget* parent)
    : QWidget(parent),
      m_pipeline(pipeline),
      m_store(store) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* header = new QHBoxLayout;
    header->setContentsMargins(16, 12, 16, 12);
    auto* title = new QLabel(QStringLiteral("Dictation History"), this);
    title->setFont(sized(this, 13, QFont::DemiBold));
    header->addWidget(title);
    header->addStretch(1);
    m_count = new QLabel(this);
    m_count->setFont(sized(this, 11));
    tint(m_count, labelColor(palette(), LabelStyle::secondary));
    header->addWidget(m_count);
    m_clear = new QPushButton(QStringLiteral("Clear"), this);
    m_clear->setFont(sized(this, 11));
    tint(m_clear, QColor(0xd7, 0x3a, 0x35));
    header->addWidget(m_clear);
    column->addLayout(header);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    column->addWidget(divider);

    auto* contentHolder = new QWidget(this);
    m_content = new QStackedLayout(contentHolder);
    m_empty = new QWidget(contentHolder);
    auto* emptyColumn = new QVBoxLayout(m_empty);
    emptyColumn->setSpacing(8);
    emptyColumn->addStretch(1);
    const QColor tertiary = labelColor(palette(), LabelStyle::tertiary);
    auto* glyph = new QLabel(m_empty);
    glyph->setPixmap(hubGlyphIcon(QStringLiteral("waveform"), 28, tertiary).pixmap(28, 28));
    glyph->setAlignment(Qt::AlignCenter);
    emptyColumn->addWidget(glyph);
    auto* none = new QLabel(QStringLiteral("No dictations yet"), m_empty);
    none->setFont(sized(this, 13));
    none->setAlignment(Qt::AlignCenter);
    tint(none, labelColor(palette(), LabelStyle::secondary));
    emptyColumn->addWidget(none);
    m_emptyHint = new QLabel(m_empty);
    m_emptyHint->setFont(sized(this, 11));
    m_emptyHint->setAlignment(Qt::AlignCenter);
    tint(m_emptyHint, tertiary);
    emptyColumn->addWidget(m_emptyHint);
    emptyColumn->addStretch(1);
    m_content->addWidget(m_empty);

    m_list = new QListWidget(contentHolder);
    m_list->setAlternatingRowColors(true);
    m_list->setSelectionMode(QAbstractItemView::NoSelection);
    m_list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_content->addWidget(m_list);
    column->addWidget(contentHolder, 1);

    connect(m_clear, &QPushButton::clicked, this, &HistoryView::clear);
    // The store tells nobody when its list changes; the window looks again whenever the
    // pipeline publishes a change and, between those, a few times a second while it is on
    // screen (a closed window is kept, and must not keep waking the program).
    for (auto signal : {&DictationPipeline::recentResultsChanged, &DictationPipeline::totalsChanged,
                        &DictationPipeline::settingsChanged})
        connect(&m_pipeline, signal, this, &HistoryView::refresh);
    m_watch = new QTimer(this);
    m_watch->setInterval(250);
    connect(m_watch, &QTimer::timeout, this, &HistoryView::watchStore);

    refresh();
}

void HistoryView::refresh() {
    const QList<TranscriptionResult>& records = m_store.recentHistory();
    m_shownCount = records.size();
    m_shownFirst = records.isEmpty() ? QUuid() : records.first().id;
    m_count->setText(historyCountText(records.size()));
    m_clear->setVisible(!records.isEmpty());
    m_emptyHint->setText(historyEmptyHint(m_pipeline.settings().pushToTalkHotkey().displayName()));

    m_list->clear();
    for (const TranscriptionResult& r : records) {
        auto* item = new QListWidgetItem(m_list);
        QWidget* row = recordRow(r, m_list);
        item->setSizeHint(row->sizeHint());
        m_list->setItemWidget(item, row);
    }
    m_content->setCurrentWidget(records.isEmpty() ? m_empty : static_cast<QWidget*>(m_list));
}

void HistoryView::watchStore() {
    const QList<TranscriptionResult>& records = m_store.recentHistory();
    const QUuid first = records.isEmpty() ? QUuid() : records.first().id;
    if (records.size() == m_shownCount && first == m_shownFirst) return;
    refresh();
}

void HistoryView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    watchStore();
    m_watch->start();
}

void HistoryView::hideEvent(QHideEvent* event) {
    m_watch->stop();
    QWidget::hideEvent(event);
}

bool HistoryView::watchesStore() const { return m_watch->isActive(); }

void HistoryView::clear() {
    // The store empties its list on the main thread once the deletion has run; the window
    // shows the empty state only then.
    m_store.clearAll();
}

QString HistoryView::countText() const { return m_count->text(); }

bool HistoryView::showsEmptyState() const { return m_content->currentWidget() == m_empty; }

QString HistoryView::emptyHint() const { return m_emptyHint->text(); }

QStringList HistoryView::rowTexts(int row) const {
    QStringList texts;
    QListWidgetItem* item = m_list->item(row);
    QWidget* widget = item ? m_list->itemWidget(item) : nullptr;
    if (!widget) return texts;
    for (QLabel* label : widget->findChildren<QLabel*>(QStringLiteral("text"))) texts.append(label->text());
    return texts;
}
