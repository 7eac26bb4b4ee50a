#include "UI/Hub/HistoryTabView.h"

#include "Core/Pipeline/DictationPipeline.h"
#include "UI/Common/TranscriptRow.h"
#include "UI/Hub/HubRules.h"
#include "UI/Theme/HubFonts.h"
#include "UI/Theme/HubGlyphs.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QSet>
#include <QStackedLayout>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

// The rounded field behind the search row.
class SearchBar : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        paintRoundedPanel(p, QRectF(rect()), palette(), 8, 0.2);
    }
};

}  // namespace

HistoryTabView::HistoryTabView(DictationPipeline& pipeline, TextBinding searchText, QWidget* parent)
    : QWidget(parent),
      m_pipeline(pipeline),
      m_searchText(std::move(searchText)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* barHolder = new QWidget(this);
    auto* barMargins = new QVBoxLayout(barHolder);
    barMargins->setContentsMargins(24, 20, 24, 10);
    auto* bar = new SearchBar(barHolder);
    auto* barRow = new QHBoxLayout(bar);
    barRow->setContentsMargins(12, 9, 12, 9);
    barRow->setSpacing(8);
    const QColor tertiary = labelColor(palette(), LabelStyle::tertiary);
    auto* glass = new QLabel(bar);
    glass->setPixmap(hubGlyphIcon(QStringLiteral("magnifyingglass"), 12, tertiary).pixmap(12, 12));
    barRow->addWidget(glass);
    m_search = new QLineEdit(bar);
    m_search->setFrame(false);
    m_search->setPlaceholderText(QStringLiteral("Search dictations\u2026"));
    QFont searchFont = font();
    searchFont.setPointSizeF(13);
    m_search->setFont(searchFont);
    m_search->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; }"));
    m_search->setText(m_searchText.get ? m_searchText.get() : QString());
    barRow->addWidget(m_search, 1);
    m_clear = new QToolButton(bar);
    m_clear->setAutoRaise(true);
    m_clear->setAccessibleName(tr("Clear search"));
    m_clear->setIcon(hubGlyphIcon(QStringLiteral("xmark.circle.fill"), 12, tertiary));
    m_clear->setIconSize(QSize(12, 12));
    m_clear->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; }"));
    m_clear->setCursor(Qt::ArrowCursor);
    barRow->addWidget(m_clear);
    barMargins->addWidget(bar);
    column->addWidget(barHolder);

    auto* contentHolder = new QWidget(this);
    m_content = new QStackedLayout(contentHolder);
    m_list = new QScrollArea(contentHolder);
    m_list->setWidgetResizable(true);
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* rowsPage = new QWidget(m_list);
    m_rows = new QVBoxLayout(rowsPage);
    m_rows->setContentsMargins(0, 0, 0, 0);
    m_rows->setSpacing(0);
    m_rows->addStretch(1);
    m_list->setWidget(rowsPage);
    m_content->addWidget(m_list);

    m_empty = new QWidget(contentHolder);
    auto* emptyColumn = new QVBoxLayout(m_empty);
    emptyColumn->setSpacing(12);
    emptyColumn->addStretch(1);
    auto* emptyGlyph = new QLabel(m_empty);
    emptyGlyph->setPixmap(
        hubGlyphIcon(QStringLiteral("waveform.slash"), 28, labelColor(palette(), LabelStyle::quaternary))
            .pixmap(28, 28));
    emptyGlyph->setAlignment(Qt::AlignCenter);
    emptyColumn->addWidget(emptyGlyph);
    m_emptyLabel = new QLabel(m_empty);
    m_emptyLabel->setFont(hubSerifFont(18, true));
    m_emptyLabel->setAlignment(Qt::AlignCenter);
    QPalette pal = m_emptyLabel->palette();
    pal.setColor(QPalette::WindowText, labelColor(palette(), LabelStyle::secondary));
    m_emptyLabel->setPalette(pal);
    emptyColumn->addWidget(m_emptyLabel);
    emptyColumn->addStretch(1);
    m_content->addWidget(m_empty);
    column->addWidget(contentHolder, 1);

    connect(m_search, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (m_searchText.set) m_searchText.set(text);
        applyFilter();
    });
    connect(m_clear, &QToolButton::clicked, this, [this] { m_search->clear(); });
    connect(&m_pipeline, &DictationPipeline::recentResultsChanged, this, &HistoryTabView::rebuildRows);

    rebuildRows();
}

QList<TranscriptionResult> HistoryTabView::filtered() const {
    return filterHistory(m_pipeline.recentResults(), m_search->text());
}

void HistoryTabView::rebuildRows() {
    // One row per recent result; the search only shows or hides them.
    while (m_rows->count() > 1) {
        QLayoutItem* item = m_rows->takeAt(0);
        delete item->widget();
        delete item;
    }
    const QList<TranscriptionResult>& results = m_pipeline.recentResults();
    for (qsizetype i = 0; i < results.size(); ++i)
        m_rows->insertWidget(int(i), new TranscriptRow(results[i], m_rows->parentWidget()));
    applyFilter();
}

void HistoryTabView::applyFilter() {
    const QString text = m_search->text();
    m_clear->setVisible(!text.isEmpty());
    QSet<QUuid> shown;
    for (const TranscriptionResult& r : filtered()) shown.insert(r.id);
    bool any = false;
    for (int i = 0; i < m_rows->count(); ++i) {
        auto* row = qobject_cast<TranscriptRow*>(m_rows->itemAt(i)->widget());
        if (!row) continue;
        const bool visible = shown.contains(row->result().id);
        row->setVisible(visible);
        any = any || visible;
    }
    m_emptyLabel->setText(text.isEmpty() ? QStringLiteral("No dictations yet") : QStringLiteral("No results"));
    m_content->setCurrentWidget(any ? static_cast<QWidget*>(m_list) : m_empty);
}

QList<TranscriptRow*> HistoryTabView::visibleRows() const {
    QList<TranscriptRow*> rows;
    for (int i = 0; i < m_rows->count(); ++i) {
        auto* row = qobject_cast<TranscriptRow*>(m_rows->itemAt(i)->widget());
        if (row && !row->isHidden()) rows.append(row);
    }
    return rows;
}

QString HistoryTabView::emptyText() const {
    return m_content->currentWidget() == m_empty ? m_emptyLabel->text() : QString();
}
