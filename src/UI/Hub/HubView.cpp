#include "UI/Hub/HubView.h"

#include "Core/Pipeline/DictationPipeline.h"
#include "UI/Hub/HistoryTabView.h"
#include "UI/Hub/HomeTabView.h"
#include "UI/Theme/HubFonts.h"
#include "UI/Theme/HubGlyphs.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QResizeEvent>
#include <QVBoxLayout>

FilmGrainView::FilmGrainView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
}

QImage FilmGrainView::render(const QSize& size) {
    QImage image(size.expandedTo(QSize(0, 0)), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    const std::vector<std::uint8_t> bytes = filmGrainBytes(size.width(), size.height());
    if (bytes.empty()) return image;
    QPainter p(&image);
    std::size_t i = 0;
    for (int y = 0; y < size.height(); y += filmGrainStep) {
        for (int x = 0; x < size.width(); x += filmGrainStep) {
            QColor white(255, 255, 255);
            white.setAlphaF(float(filmGrainOpacity(bytes[i++])));
            p.fillRect(x, y, filmGrainStep, filmGrainStep, white);
        }
    }
    return image;
}

void FilmGrainView::paintEvent(QPaintEvent*) {
    if (width() < 1 || height() < 1) return;
    // The grain depends on the size alone, so it is rendered once per size.
    if (m_cache.size() != size()) m_cache = render(size());
    QPainter p(this);
    p.setCompositionMode(QPainter::CompositionMode_Overlay);
    p.drawImage(0, 0, m_cache);
}

HubView::HubView(DictationPipeline& pipeline, Actions actions, QWidget* parent)
    : QWidget(parent),
      m_pipeline(pipeline),
      m_actions(std::move(actions)) {
    registerHubFonts();

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);

    m_sidebar = new QListWidget(this);
    m_sidebar->setMinimumWidth(170);
    m_sidebar->setMaximumWidth(200);
    m_sidebar->setFrameShape(QFrame::NoFrame);
    m_sidebar->setIconSize(QSize(16, 16));
    m_sidebar->setSpacing(1);
    const QColor glyphColor = labelColor(palette(), LabelStyle::primary);
    for (const HubTabInfo& info : hubTabs()) {
        auto* item = new QListWidgetItem(hubGlyphIcon(info.symbol, 16, glyphColor), info.label, m_sidebar);
        item->setData(Qt::UserRole, int(info.tab));
        item->setSizeHint(QSize(0, 30));
    }
    row->addWidget(m_sidebar);

    auto* separator = new QFrame(this);
    separator->setFrameShape(QFrame::VLine);
    separator->setFrameShadow(QFrame::Plain);
    QPalette sepPalette = separator->palette();
    sepPalette.setColor(QPalette::WindowText, labelColor(palette(), LabelStyle::quaternary));
    separator->setPalette(sepPalette);
    row->addWidget(separator);

    m_detailHolder = new QWidget(this);
    auto* detailLayout = new QVBoxLayout(m_detailHolder);
    detailLayout->setContentsMargins(0, 0, 0, 0);
    row->addWidget(m_detailHolder, 1);

    m_grain = new FilmGrainView(this);
    m_grain->raise();

    connect(m_sidebar, &QListWidget::currentRowChanged, this, [this](int index) {
        if (index >= 0 && index < int(hubTabs().size())) setSelectedTab(hubTabs()[std::size_t(index)].tab);
    });
    // An assistive tool selects a row (its action, or the list's selection) without moving the
    // current row, which is what the mouse and the keyboard move: the selection leads as well.
    connect(m_sidebar, &QListWidget::itemSelectionChanged, this, [this] {
        const QList<QListWidgetItem*> selected = m_sidebar->selectedItems();
        if (selected.size() == 1) m_sidebar->setCurrentItem(selected.first());
    });
    m_sidebar->setCurrentRow(int(HubTab::home));
    if (!m_detail) setSelectedTab(HubTab::home);
}

void HubView::setSelectedTab(HubTab tab) {
    if (m_detail && tab == m_selectedTab) return;
    m_selectedTab = tab;
    if (m_sidebar->currentRow() != int(tab)) m_sidebar->setCurrentRow(int(tab));
    // Each selection builds the section anew; only the search text outlives it.
    QWidget* next = buildSection(tab);
    if (m_detail) {
        m_detailHolder->layout()->replaceWidget(m_detail, next);
        m_detail->hide();
        m_detail->deleteLater();
    } else {
        m_detailHolder->layout()->addWidget(next);
    }
    m_detail = next;
    m_detail->show();
    m_grain->raise();
}

QWidget* HubView::buildSection(HubTab tab) {
    auto note = [this](const QString& label) {
        auto* w = new QLabel(label, m_detailHolder);
        w->setAlignment(Qt::AlignCenter);
        w->setFont(hubSerifFont(18, true));
        return static_cast<QWidget*>(w);
    };
    switch (tab) {
    case HubTab::home: return new HomeTabView(m_pipeline, m_actions.permissions, m_detailHolder);
    case HubTab::history:
        return new HistoryTabView(
            m_pipeline,
            TextBinding{[this] { return m_searchText; }, [this](const QString& text) { m_searchText = text; }},
            m_detailHolder);
    case HubTab::instructions:
        if (m_actions.makeInstructions) return m_actions.makeInstructions(m_detailHolder);
        break;
    case HubTab::replacements:
        if (m_actions.makeReplacements) return m_actions.makeReplacements(m_detailHolder);
        break;
    case HubTab::settings:
        if (m_actions.makeSettings) return m_actions.makeSettings(m_detailHolder);
        break;
    }
    return note(hubTabInfo(tab).label);
}

QSize HubView::minimumSizeHint() const {
    const QSize detail = m_detail ? m_detail->minimumSizeHint() : QSize();
    return QSize(m_sidebar->minimumWidth() + 1 + std::max(0, detail.width()), 480).expandedTo(QSize(700, 480));
}

QSize HubView::sizeHint() const {
    const QSize detail = m_detail ? m_detail->sizeHint() : QSize();
    const int sidebar = std::max(m_sidebar->minimumWidth(), m_sidebar->sizeHint().width());
    const QSize wanted(std::min(sidebar, m_sidebar->maximumWidth()) + 1 + detail.width(), detail.height());
    return wanted.expandedTo(minimumSizeHint());
}

void HubView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    m_grain->setGeometry(rect());
    m_grain->raise();
}
