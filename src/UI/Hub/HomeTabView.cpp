#include "UI/Hub/HomeTabView.h"
#include "UI/Common/SettingsGroup.h"

#include "Core/Pipeline/DictationPipeline.h"
#include "UI/Common/TranscriptRow.h"
#include "UI/Theme/HoverLift.h"
#include "UI/Theme/HubFonts.h"
#include "UI/Theme/HubGlyphs.h"

#include <QButtonGroup>
#include <QFrame>
#include <QGraphicsEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QVariantAnimation>

namespace {

void paintCardBackground(QPainter& p, const QRectF& rect, const QPalette& palette) {
    paintRoundedPanel(p, rect, palette, 10, 0.2);
}

QLabel* styledLabel(const QString& text, const QFont& font, LabelStyle style, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, labelColor(parent->palette(), style));
    label->setPalette(pal);
    return label;
}

QFont systemFont(const QWidget* w, double size, QFont::Weight weight = QFont::Normal) {
    QFont f = w->font();
    f.setPointSizeF(size);
    f.setWeight(weight);
    return f;
}

// A hairline divider inset 10 points at both ends.
class InsetDivider : public QWidget {
public:
    explicit InsetDivider(QWidget* parent) : QWidget(parent) { setFixedHeight(1); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(QRectF(10, 0, width() - 20, 1), labelColor(palette(), LabelStyle::quaternary));
    }
};

QWidget* insetDivider(QWidget* parent) { return new InsetDivider(parent); }

// Draws a section faded and lowered by the part of the entrance still to run.
class EntranceEffect : public QGraphicsEffect {
public:
    EntranceEffect(double shift, QObject* parent) : QGraphicsEffect(parent), m_shift(shift) {}

    void setProgress(double progress) {
        m_progress = std::clamp(progress, 0.0, 1.0);
        update();
    }

protected:
    QRectF boundingRectFor(const QRectF& rect) const override { return rect.adjusted(0, 0, 0, m_shift); }

    void draw(QPainter* painter) override {
        if (m_progress <= 0) return;
        QPoint offset;
        const QPixmap pixmap = sourcePixmap(Qt::LogicalCoordinates, &offset);
        painter->save();
        painter->setOpacity(m_progress);
        painter->drawPixmap(offset + QPointF(0, m_shift * (1 - m_progress)), pixmap);
        painter->restore();
    }

private:
    double m_shift;
    double m_progress = 0;
};

}  // namespace

HubCard::HubCard(QWidget* parent) : QWidget(parent) {}

void HubCard::paintEvent(QPaintEvent*) {
    QPainter p(this);
    paintCardBackground(p, QRectF(rect()), palette());
}

StatCard::StatCard(const QString& title, const QString& value, const QString& icon, QWidget* parent)
    : QWidget(parent),
      m_title(title),
      m_value(value),
      m_icon(icon) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto* lift = HoverLift::attach(this);
    connect(lift, &HoverLift::lookChanged, this, qOverload<>(&QWidget::update));
}

QFont StatCard::valueFont() const { return hubSerifFont(28); }
QFont StatCard::titleFont() const { return systemFont(this, 11); }

QRectF StatCard::contentRect() const { return QRectF(rect()).adjusted(2 + 14, 2 + 14, -2 - 14, -2 - 14); }

QSize StatCard::minimumSizeHint() const {
    const int text = std::max(QFontMetrics(valueFont()).horizontalAdvance(m_value),
                              QFontMetrics(titleFont()).horizontalAdvance(m_title));
    return {std::max(90, text + 2 * (2 + 14) + 1), sizeHint().height()};
}

QSize StatCard::sizeHint() const {
    const QFontMetrics value(valueFont());
    const QFontMetrics title(titleFont());
    const int text = std::max(value.horizontalAdvance(m_value), title.horizontalAdvance(m_title));
    return {std::max(140, text + 2 * (2 + 14) + 1), 14 + 13 + 8 + value.height() + 8 + title.height() + 14};
}

void StatCard::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    // The lift scales the whole card about its centre; the card leaves room for it.
    const double scale = HoverLift::of(this) ? HoverLift::of(this)->look().scale : 1.0;
    const QRectF frame = QRectF(rect()).adjusted(2, 2, -2, -2);
    p.translate(frame.center());
    p.scale(scale, scale);
    p.translate(-frame.center());
    paintCardBackground(p, frame, palette());

    const QRectF content = contentRect();
    double y = content.top();
    drawHubGlyph(p, m_icon, QRectF(content.left(), y, 13, 13), labelColor(palette(), LabelStyle::secondary), 1.0);
    y += 13 + 8;
    const QFontMetrics valueMetrics(valueFont());
    p.setFont(valueFont());
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(QRectF(content.left(), y, content.width(), valueMetrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
               valueMetrics.elidedText(m_value, Qt::ElideRight, int(content.width())));
    y += valueMetrics.height() + 8;
    p.setFont(titleFont());
    p.setPen(labelColor(palette(), LabelStyle::tertiary));
    p.drawText(QRectF(content.left(), y, content.width(), QFontMetrics(titleFont()).height()),
               Qt::AlignLeft | Qt::AlignVCenter, m_title);
}

AppSourceRow::AppSourceRow(const QString& appName, const QString& bundleId, std::int64_t words, QWidget* parent)
    : QWidget(parent),
      m_appName(appName) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 8, 12, 8);
    row->setSpacing(10);
    auto* icon = new AppIconView(bundleId, this);
    icon->setFixedSize(24, 24);
    row->addWidget(icon);
    // One line: a name longer than the card ends with an ellipsis instead of being cut.
    auto* name = new OneLineLabel(appName, this);
    name->setFont(systemFont(this, 12));
    QPalette namePalette = name->palette();
    namePalette.setColor(QPalette::WindowText, labelColor(palette(), LabelStyle::primary));
    name->setPalette(namePalette);
    row->addWidget(name, 1);
    row->addWidget(styledLabel(QString::number(words), hubSerifFont(16), LabelStyle::secondary, this));
    row->addWidget(styledLabel(QStringLiteral("words"), systemFont(this, 10), LabelStyle::quaternary, this));
}

ActivityHeatmap::ActivityHeatmap(QList<TranscriptionResult> results, int numWeeks, int numDays, QStringList dayLabels,
                                 QWidget* parent)
    : QWidget(parent),
      m_results(std::move(results)),
      m_numWeeks(std::max(0, numWeeks)),
      m_numDays(std::max(0, numDays)),
      m_dayLabels(std::move(dayLabels)) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

std::vector<std::vector<int>> ActivityHeatmap::buildGrid() const {
    return buildActivityGrid(m_results, m_numWeeks, m_numDays, QDate::currentDate());
}

QColor ActivityHeatmap::cellColor(int count) const {
    return labelColor(palette(), LabelStyle::primary, heatCellOpacity(count) / 0.85);
}

QSize ActivityHeatmap::sizeHint() const { return {12 + m_numWeeks * (14 + 2), std::max(0, m_numDays * (14 + 2) - 2)}; }

void ActivityHeatmap::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setFont(systemFont(this, 8));
    p.setPen(labelColor(palette(), LabelStyle::quaternary));
    for (int d = 0; d < m_numDays; ++d) {
        // Only every other day is named (M, W, F with a Sunday-first week).
        if (d % 2 == 1 && d < m_dayLabels.size())
            p.drawText(QRectF(0, d * 16, 12, 14), Qt::AlignCenter, m_dayLabels[d]);
    }
    const auto grid = buildGrid();
    p.setPen(Qt::NoPen);
    for (int w = 0; w < int(grid.size()); ++w) {
        for (int d = 0; d < int(grid[w].size()); ++d) {
            QPainterPath cell;
            cell.addRoundedRect(QRectF(12 + 2 + w * 16, d * 16, 14, 14), 2, 2);
            p.fillPath(cell, cellColor(grid[w][d]));
        }
    }
}

HomeTabView::HomeTabView(DictationPipeline& pipeline, ViewPermissions permissions, QWidget* parent)
    : QWidget(parent),
      m_pipeline(pipeline),
      m_permissions(std::move(permissions)),
      m_axGranted(m_permissions.readAccessibility()),
      m_micGranted(m_permissions.readMicrophone()),
      m_axNotice(m_permissions.readAccessibilityNotice()),
      m_inputNotice(m_permissions.readInputNotice()) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    // The bar shows only when the page is taller than the window.
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    outer->addWidget(scroll);
    m_scroll = scroll;

    auto* page = new QWidget(scroll);
    page->setAutoFillBackground(false);
    m_column = new QVBoxLayout(page);
    m_column->setContentsMargins(28, 28, 28, 28);
    m_column->setSpacing(24);
    scroll->setWidget(page);
    scroll->viewport()->setAutoFillBackground(false);

    m_bannerSlot = new QWidget(page);
    auto* bannerLayout = new QVBoxLayout(m_bannerSlot);
    bannerLayout->setContentsMargins(0, 0, 0, 0);
    m_column->addWidget(m_bannerSlot);

    // Header: title and encouragement, the period picker at the right.
    auto* header = new QWidget(page);
    auto* headerRow = new QHBoxLayout(header);
    headerRow->setContentsMargins(0, 0, 0, 0);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(6);
    m_title = styledLabel(QString(), hubSerifFont(32), LabelStyle::primary, header);
    m_encouragement = styledLabel(QString(), systemFont(this, 13), LabelStyle::secondary, header);
    // The line wraps rather than widening the page past a narrow window.
    m_encouragement->setWordWrap(true);
    m_encouragement->setMinimumWidth(120);
    titles->addWidget(m_title);
    titles->addWidget(m_encouragement);
    headerRow->addLayout(titles, 1);
    headerRow->addSpacing(12);
    auto* picker = new QWidget(header);
    picker->setFixedWidth(200);
    auto* pickerRow = new QHBoxLayout(picker);
    pickerRow->setContentsMargins(0, 0, 0, 0);
    pickerRow->setSpacing(0);
    auto* group = new QButtonGroup(picker);
    group->setExclusive(true);
    for (StatsPeriod period :
         {StatsPeriod::thirtyDays, StatsPeriod::threeMonths, StatsPeriod::oneYear, StatsPeriod::allTime}) {
        auto* segment = new QPushButton(statsPeriodLabel(period), picker);
        segment->setCheckable(true);
        segment->setChecked(period == m_statsPeriod);
        group->addButton(segment, int(period));
        pickerRow->addWidget(segment);
    }
    // The period is remembered for the tab only; the figures do not depend on it.
    connect(group, &QButtonGroup::idClicked, this, [this](int id) { m_statsPeriod = StatsPeriod(id); });
    headerRow->addWidget(picker, 0, Qt::AlignBottom);
    m_column->addWidget(header);

    m_body = nullptr;
    m_sections = {m_bannerSlot, header};

    m_permissionTimer = new QTimer(this);
    m_permissionTimer->setInterval(1000);
    connect(m_permissionTimer, &QTimer::timeout, this, &HomeTabView::pollPermissions);

    // A finished dictation changes the list and the totals together: one redraw for both.
    m_rebuildTimer = new QTimer(this);
    m_rebuildTimer->setSingleShot(true);
    m_rebuildTimer->setInterval(0);
    connect(m_rebuildTimer, &QTimer::timeout, this, &HomeTabView::rebuild);
    for (auto signal : {&DictationPipeline::recentResultsChanged, &DictationPipeline::totalsChanged,
                        &DictationPipeline::settingsChanged})
        connect(&m_pipeline, signal, m_rebuildTimer, qOverload<>(&QTimer::start));

    rebuildBanner();
    rebuild();
}

void HomeTabView::pollPermissions() {
    const bool ax = m_permissions.readAccessibility();
    const bool mic = m_permissions.readMicrophone();
    const QString notice = m_permissions.readAccessibilityNotice();
    const QString inputNotice = m_permissions.readInputNotice();
    if (ax == m_axGranted && mic == m_micGranted && notice == m_axNotice && inputNotice == m_inputNotice) return;
    m_axGranted = ax;
    m_micGranted = mic;
    m_axNotice = notice;
    m_inputNotice = inputNotice;
    rebuildBanner();
}

void HomeTabView::rebuildBanner() {
    if (m_banner) {
        m_banner->hide();
        m_banner->deleteLater();
        m_banner = nullptr;
    }
    if (!(m_axGranted && m_micGranted) || !m_axNotice.isEmpty() || !m_inputNotice.isEmpty()) {
        m_banner = new PermissionsBanner(m_axGranted, m_micGranted, m_permissions, m_bannerSlot);
        m_bannerSlot->layout()->addWidget(m_banner);
    }
    m_bannerSlot->setVisible(m_banner != nullptr);
    m_title->setText(homeTitle(m_axGranted, m_micGranted));
}

void HomeTabView::rebuild() {
    const QList<TranscriptionResult>& results = m_pipeline.recentResults();
    const std::int64_t totalWords = m_pipeline.totalWords();
    m_encouragement->setText(encouragementText(totalWords));

    QWidget* page = m_column->parentWidget();
    auto* body = new QWidget(page);
    auto* bodyColumn = new QVBoxLayout(body);
    bodyColumn->setContentsMargins(0, 0, 0, 0);
    bodyColumn->setSpacing(24);

    // Statistic cards. Each of the three groups below is its own widget: the entrance moves
    // each by its own distance.
    auto* cardsBox = new QWidget(body);
    auto* cards = new QHBoxLayout(cardsBox);
    cards->setContentsMargins(0, 0, 0, 0);
    cards->setSpacing(14);
    cards->addWidget(
        new StatCard(QStringLiteral("Words"), QString::number(totalWords), QStringLiteral("textformat"), body), 1);
    cards->addWidget(
        new StatCard(QStringLiteral("Time Saved"), formatTimeSaved(totalWords), QStringLiteral("clock"), body), 1);
    cards->addWidget(
        new StatCard(QStringLiteral("Avg WPM"), QString::number(avgWPM(results)), QStringLiteral("speedometer"), body),
        1);
    cards->addWidget(new StatCard(QStringLiteral("Dictations"), QString::number(m_pipeline.totalDictations()),
                                  QStringLiteral("waveform"), body),
                     1);
    bodyColumn->addWidget(cardsBox);

    // Middle row: top sources and activity.
    auto* middleBox = new QWidget(body);
    auto* middle = new QHBoxLayout(middleBox);
    middle->setContentsMargins(0, 0, 0, 0);
    middle->setSpacing(18);
    // Two columns of equal width, whatever their contents ask for.
    auto* leftColumn = new QWidget(body);
    auto* rightColumn = new QWidget(body);
    for (QWidget* w : {leftColumn, rightColumn}) {
        QSizePolicy policy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        policy.setHorizontalStretch(1);
        w->setSizePolicy(policy);
    }
    auto* left = new QVBoxLayout(leftColumn);
    left->setContentsMargins(0, 0, 0, 0);
    left->setSpacing(12);
    left->addWidget(styledLabel(QStringLiteral("Top Sources"), hubSerifFont(18), LabelStyle::secondary, body));
    auto* sourcesCard = new HubCard(body);
    auto* sourcesColumn = new QVBoxLayout(sourcesCard);
    sourcesColumn->setContentsMargins(0, 0, 0, 0);
    sourcesColumn->setSpacing(0);
    const QList<AppSource> sources = topSources(results);
    m_emptySources = nullptr;
    if (sources.isEmpty()) {
        m_emptySources =
            styledLabel(QStringLiteral("No data yet"), hubSerifFont(14, true), LabelStyle::quaternary, sourcesCard);
        m_emptySources->setAlignment(Qt::AlignCenter);
        m_emptySources->setMinimumHeight(60);
        sourcesColumn->addWidget(m_emptySources);
    } else {
        const qsizetype shown = std::min<qsizetype>(5, sources.size());
        for (qsizetype i = 0; i < shown; ++i) {
            sourcesColumn->addWidget(
                new AppSourceRow(sources[i].app, sources[i].bundleId, sources[i].words, sourcesCard));
            if (i + 1 < shown) sourcesColumn->addWidget(insetDivider(sourcesCard));
        }
    }
    left->addWidget(sourcesCard);
    left->addStretch(1);
    auto* right = new QVBoxLayout(rightColumn);
    right->setContentsMargins(0, 0, 0, 0);
    right->setSpacing(12);
    right->addWidget(styledLabel(QStringLiteral("Activity"), hubSerifFont(18), LabelStyle::secondary, body));
    m_heatmap = new ActivityHeatmap(results, 7, 7,
                                    {QStringLiteral("S"), QStringLiteral("M"), QStringLiteral("T"), QStringLiteral("W"),
                                     QStringLiteral("T"), QStringLiteral("F"), QStringLiteral("S")},
                                    body);
    right->addWidget(m_heatmap);
    right->addStretch(1);
    middle->addWidget(leftColumn, 1, Qt::AlignTop);
    middle->addWidget(rightColumn, 1, Qt::AlignTop);
    bodyColumn->addWidget(middleBox);

    // Recent transcripts.
    auto* recentBox = new QWidget(body);
    auto* recent = new QVBoxLayout(recentBox);
    recent->setContentsMargins(0, 0, 0, 0);
    recent->setSpacing(12);
    recent->addWidget(styledLabel(QStringLiteral("Recent Transcripts"), hubSerifFont(18), LabelStyle::secondary, body));
    m_emptyTranscripts = nullptr;
    if (results.isEmpty()) {
        auto* empty = new QWidget(body);
        empty->setMinimumHeight(50);
        auto* emptyColumn = new QVBoxLayout(empty);
        emptyColumn->setSpacing(8);
        auto* line = styledLabel(QStringLiteral("Your words will appear here"), hubSerifFont(16, true),
                                 LabelStyle::quaternary, empty);
        line->setAlignment(Qt::AlignCenter);
        m_emptyTranscripts = styledLabel(homeEmptyHint(m_pipeline.settings().pushToTalkHotkey().displayName()),
                                         systemFont(this, 12), LabelStyle::quaternary, empty);
        m_emptyTranscripts->setAlignment(Qt::AlignCenter);
        emptyColumn->addWidget(line);
        emptyColumn->addWidget(m_emptyTranscripts);
        recent->addWidget(empty);
    } else {
        auto* card = new HubCard(body);
        auto* column = new QVBoxLayout(card);
        column->setContentsMargins(0, 0, 0, 0);
        column->setSpacing(0);
        const qsizetype shown = std::min<qsizetype>(8, results.size());
        for (qsizetype i = 0; i < shown; ++i) {
            column->addWidget(new TranscriptRow(results[i], card));
            if (i + 1 < shown) column->addWidget(insetDivider(card));
        }
        recent->addWidget(card);
    }
    bodyColumn->addWidget(recentBox);

    if (m_body) {
        for (QWidget* group : m_body->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
            m_sections.removeAll(group);
        m_column->replaceWidget(m_body, body);
        delete m_body;
    } else {
        m_column->addWidget(body);
        m_column->addStretch(1);
    }
    m_body = body;
    m_sections.append(cardsBox);
    m_sections.append(middleBox);
    m_sections.append(recentBox);
}

void HomeTabView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    pollPermissions();
    m_permissionTimer->start();
    if (!m_appeared) startEntrance();
}

void HomeTabView::hideEvent(QHideEvent* event) {
    m_permissionTimer->stop();
    QWidget::hideEvent(event);
}

void HomeTabView::startEntrance() {
    m_appeared = true;
    // The sections fade in and settle upward together, shortly after the tab appears; each
    // starts lower by its own distance.
    const QList<double> shifts{8, 6, 10, 12, 14};  // banner, header, cards, middle row, transcripts
    QList<QPointer<EntranceEffect>> effects;
    for (qsizetype i = 0; i < m_sections.size(); ++i) {
        auto* effect = new EntranceEffect(shifts.value(i, 12), m_sections[i]);
        effect->setProperty("entranceShift", shifts.value(i, 12));
        m_sections[i]->setGraphicsEffect(effect);
        effects.append(effect);
    }
    auto* fade = new QVariantAnimation(this);
    fade->setStartValue(0.0);
    fade->setEndValue(1.0);
    fade->setDuration(600);
    fade->setEasingCurve(QEasingCurve::OutCubic);
    connect(fade, &QVariantAnimation::valueChanged, this, [effects](const QVariant& v) {
        for (const auto& effect : effects)
            if (effect) effect->setProgress(v.toDouble());
    });
    connect(fade, &QVariantAnimation::finished, this, [effects] {
        for (const auto& effect : effects)
            if (effect) static_cast<QWidget*>(effect->parent())->setGraphicsEffect(nullptr);
    });
    QTimer::singleShot(100, fade, [fade] { fade->start(QAbstractAnimation::DeleteWhenStopped); });
}

QSize HomeTabView::sizeHint() const {
    // The page's own wish plus the scroll bar, which is always there.
    const QSize page = m_scroll->widget()->sizeHint();
    return {page.width() + m_scroll->verticalScrollBar()->sizeHint().width(), page.height()};
}

QSize HomeTabView::minimumSizeHint() const {
    const QSize page = m_scroll->widget()->minimumSizeHint();
    return {page.width() + m_scroll->verticalScrollBar()->sizeHint().width(), 200};
}

QString HomeTabView::titleText() const { return m_title->text(); }
QString HomeTabView::encouragement() const { return m_encouragement->text(); }
QString HomeTabView::emptyTranscriptsHint() const {
    return m_emptyTranscripts ? m_emptyTranscripts->text() : QString();
}
QString HomeTabView::emptySourcesText() const { return m_emptySources ? m_emptySources->text() : QString(); }

QList<StatCard*> HomeTabView::statCards() const {
    return m_body ? m_body->findChildren<StatCard*>() : QList<StatCard*>();
}
QList<AppSourceRow*> HomeTabView::sourceRows() const {
    return m_body ? m_body->findChildren<AppSourceRow*>() : QList<AppSourceRow*>();
}
QList<TranscriptRow*> HomeTabView::transcriptRows() const {
    return m_body ? m_body->findChildren<TranscriptRow*>() : QList<TranscriptRow*>();
}
