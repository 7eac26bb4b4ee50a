#include "UI/Settings/InstructionsTabView.h"

#include "Core/Pipeline/DictationPipeline.h"
#include "UI/Common/SettingsGroup.h"
#include "UI/Common/TranscriptRow.h"
#include "UI/Settings/SettingsGlyphs.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <QVariantAnimation>

namespace {

// A rounded card filled with the quaternary shade, optionally outlined.
class RoundedCard : public QWidget {
public:
    RoundedCard(qreal radius, qreal fillOpacity, qreal strokeOpacity, QWidget* parent)
        : QWidget(parent),
          m_radius(radius),
          m_fill(fillOpacity),
          m_stroke(strokeOpacity) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()).adjusted(0.25, 0.25, -0.25, -0.25), m_radius, m_radius);
        QColor fill = SettingsStyle::quaternary(this);
        fill.setAlphaF(fill.alphaF() * m_fill);
        painter.fillPath(path, fill);
        if (m_stroke > 0) {
            QColor stroke = SettingsStyle::quaternary(this);
            stroke.setAlphaF(stroke.alphaF() * m_stroke);
            painter.setPen(QPen(stroke, 0.5));
            painter.drawPath(path);
        }
    }

private:
    qreal m_radius;
    qreal m_fill;
    qreal m_stroke;
};

QWidget* styleCard(VoiceStyle style, QWidget* parent) {
    auto* card = new RoundedCard(8, 0.15, 0, parent);
    card->setObjectName(QStringLiteral("styleCard"));
    auto* layout = new QHBoxLayout(card);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(8);
    auto* icon = new QLabel(card);
    icon->setFixedWidth(16);
    icon->setPixmap(SettingsGlyphs::icon(VoiceStyles::icon(style), SettingsStyle::tertiary(parent), 11).pixmap(11, 11));
    layout->addWidget(icon);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto* name = SettingsStyle::label(rawValue(style), 12, card);
    QFont medium = name->font();
    medium.setWeight(QFont::Medium);
    name->setFont(medium);
    texts->addWidget(name);
    auto* description = new OneLineLabel(VoiceStyles::cardDescription(style), card);
    QFont small = description->font();
    small.setPointSizeF(10);
    description->setFont(small);
    SettingsStyle::setTextColor(description, SettingsStyle::tertiary(parent));
    texts->addWidget(description);
    layout->addLayout(texts, 1);
    return card;
}

QLabel* serifHeading(const QString& text, qreal size, QWidget* parent, bool italic = false) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(SettingsStyle::serif(size, italic));
    return label;
}

}  // namespace

AppStyleRow::AppStyleRow(const QString& appName, const QString& bundleId, VoiceStyle style,
                         const QString& customInstruction, std::function<void(VoiceStyle)> onStyleChanged,
                         std::function<void(const QString&)> onInstructionChanged, QWidget* parent)
    : QWidget(parent),
      m_appName(appName),
      m_bundleId(bundleId),
      m_style(style),
      m_customInstruction(customInstruction),
      m_onStyleChanged(std::move(onStyleChanged)),
      m_onInstructionChanged(std::move(onInstructionChanged)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(14, 10, 14, 10);
    column->setSpacing(8);
    auto* line = new QHBoxLayout;
    line->setSpacing(12);
    auto* icon = new AppIconView(bundleId, this);
    icon->setFixedSize(28, 28);
    line->addWidget(icon);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    m_name = SettingsStyle::label(appName, 13, this);
    QFont medium = m_name->font();
    medium.setWeight(QFont::Medium);
    m_name->setFont(medium);
    texts->addWidget(m_name);
    m_subtitle = SettingsStyle::label(QString(), 11, this, SettingsStyle::tertiary(this));
    texts->addWidget(m_subtitle);
    line->addLayout(texts);
    line->addStretch(1);
    m_menu = new QComboBox(this);
    m_menu->setFixedWidth(140);
    const QColor glyph = palette().color(QPalette::WindowText);
    for (VoiceStyle each : allCases<VoiceStyle>())
        m_menu->addItem(SettingsGlyphs::icon(VoiceStyles::icon(each), glyph, 12), rawValue(each), int(each));
    connect(m_menu, &QComboBox::activated, this,
            [this](int index) { chooseStyle(static_cast<VoiceStyle>(m_menu->itemData(index).toInt())); });
    line->addWidget(m_menu);
    m_edit = new QToolButton(this);
    m_edit->setAutoRaise(true);
    connect(m_edit, &QToolButton::clicked, this, &AppStyleRow::pressEditButton);
    line->addWidget(m_edit);
    column->addLayout(line);

    m_editor = new QPlainTextEdit(this);
    m_editor->setPlaceholderText(QStringLiteral("Custom instruction for this app…"));
    QFont small = m_editor->font();
    small.setPointSizeF(12);
    m_editor->setFont(small);
    const int lineHeight = QFontMetrics(small).lineSpacing();
    m_editor->setMinimumHeight(2 * lineHeight + 16);
    m_editor->setMaximumHeight(4 * lineHeight + 16);
    m_editor->hide();
    column->addWidget(m_editor);

    m_hoverFade = new QVariantAnimation(this);
    m_hoverFade->setDuration(150);
    m_hoverFade->setEasingCurve(QEasingCurve::OutCubic);
    m_hoverFade->setStartValue(0.0);
    m_hoverFade->setEndValue(0.0);
    connect(m_hoverFade, &QVariantAnimation::valueChanged, this, qOverload<>(&QWidget::update));
    refreshLook();
}

void AppStyleRow::fadeHover(bool hovered) {
    const QVariant from = m_hoverFade->currentValue().isValid() ? m_hoverFade->currentValue() : QVariant(0.0);
    m_hoverFade->stop();
    m_hoverFade->setStartValue(from);
    m_hoverFade->setEndValue(hovered ? 1.0 : 0.0);
    m_hoverFade->start();
}

void AppStyleRow::setValues(const QString& appName, VoiceStyle style, const QString& customInstruction) {
    m_appName = appName;
    m_style = style;
    m_customInstruction = customInstruction;
    refreshLook();
}

QString AppStyleRow::editText() const { return m_editor->toPlainText(); }
void AppStyleRow::setEditText(const QString& text) { m_editor->setPlainText(text); }

QString AppStyleRow::subtitle() const {
    return m_style == VoiceStyle::natural ? QStringLiteral("Default formatting") : rawValue(m_style);
}

void AppStyleRow::chooseStyle(VoiceStyle style) {
    if (m_onStyleChanged) m_onStyleChanged(style);
    if (style != VoiceStyle::natural) setEditText(VoiceStyles::instruction(style));
}

void AppStyleRow::pressEditButton() {
    if (!m_isEditing) {
        setEditText(!m_customInstruction.isEmpty() ? m_customInstruction : VoiceStyles::instruction(m_style));
    } else if (m_onInstructionChanged) {
        m_onInstructionChanged(editText());
    }
    m_isEditing = !m_isEditing;
    m_editor->setVisible(m_isEditing);
    if (m_isEditing) m_editor->setFocus();
    refreshLook();
}

void AppStyleRow::refreshLook() {
    m_name->setText(m_appName);
    m_subtitle->setText(subtitle());
    m_menu->blockSignals(true);
    m_menu->setCurrentIndex(m_menu->findData(int(m_style)));
    m_menu->blockSignals(false);
    m_edit->setIcon(SettingsGlyphs::icon(m_isEditing ? QStringLiteral("checkmark") : QStringLiteral("pencil"),
                                         SettingsStyle::tertiary(this), 11));
    m_edit->setAccessibleName(m_isEditing ? QStringLiteral("Save instruction") : QStringLiteral("Edit instruction"));
}

void AppStyleRow::enterEvent(QEnterEvent* event) {
    fadeHover(true);
    QWidget::enterEvent(event);
}

void AppStyleRow::leaveEvent(QEvent* event) {
    fadeHover(false);
    QWidget::leaveEvent(event);
}

void AppStyleRow::paintEvent(QPaintEvent*) {
    const double amount = m_hoverFade->currentValue().toDouble();
    if (amount <= 0) return;
    QPainter painter(this);
    QColor tint = palette().color(QPalette::WindowText);
    tint.setAlphaF(0.02 * amount);
    painter.fillRect(rect(), tint);
}

InstructionsTabView::InstructionsTabView(DictationPipeline& pipeline, QWidget* parent)
    : QWidget(parent),
      m_pipeline(pipeline) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    QVBoxLayout* column = nullptr;
    QScrollArea* scroll = SettingsStyle::scrollingPage(this, column, 28, 24);
    outer->addWidget(scroll);
    QWidget* page = scroll->widget();

    auto* header = new QVBoxLayout;
    header->setSpacing(6);
    header->addWidget(serifHeading(QStringLiteral("Voice Style"), 28, page));
    auto* intro = SettingsStyle::label(
        QStringLiteral("Vantrose adapts its tone to each app. Apps you’ve used appear automatically."), 13, page,
        SettingsStyle::secondary(this));
    intro->setWordWrap(true);
    header->addWidget(intro);
    column->addLayout(header);

    auto* styles = new QVBoxLayout;
    styles->setSpacing(10);
    auto* stylesHeading = serifHeading(QStringLiteral("Available Styles"), 18, page);
    SettingsStyle::setTextColor(stylesHeading, SettingsStyle::secondary(this));
    styles->addWidget(stylesHeading);
    auto* grid = new QGridLayout;
    grid->setVerticalSpacing(8);
    grid->setHorizontalSpacing(8);
    const auto all = allCases<VoiceStyle>();
    for (int i = 0; i < all.size(); ++i) grid->addWidget(styleCard(all[i], page), i / 3, i % 3);
    for (int c = 0; c < 3; ++c) grid->setColumnStretch(c, 1);
    styles->addLayout(grid);
    column->addLayout(styles);

    auto* apps = new QVBoxLayout;
    apps->setSpacing(12);
    auto* appsHeading = serifHeading(QStringLiteral("Your Apps"), 18, page);
    appsHeading->setPalette(stylesHeading->palette());
    apps->addWidget(appsHeading);
    m_apps = new QStackedWidget(page);
    auto* empty = new QWidget(m_apps);
    empty->setMinimumHeight(80);
    auto* emptyLayout = new QVBoxLayout(empty);
    emptyLayout->setSpacing(10);
    emptyLayout->addStretch(1);
    auto* emptyIcon = new QLabel(empty);
    emptyIcon->setPixmap(
        SettingsGlyphs::icon(QStringLiteral("app.dashed"), SettingsStyle::quaternary(this), 24).pixmap(24, 24));
    emptyLayout->addWidget(emptyIcon, 0, Qt::AlignHCenter);
    auto* emptyText = serifHeading(QStringLiteral("Start dictating to discover your apps"), 15, empty, true);
    SettingsStyle::setTextColor(emptyText, SettingsStyle::tertiary(this));
    emptyLayout->addWidget(emptyText, 0, Qt::AlignHCenter);
    emptyLayout->addStretch(1);
    m_apps->addWidget(empty);
    auto* card = new RoundedCard(10, 0.2, 0.3, m_apps);
    m_rowsLayout = new QVBoxLayout(card);
    m_rowsLayout->setContentsMargins(0, 0, 0, 0);
    m_rowsLayout->setSpacing(0);
    m_apps->addWidget(card);
    apps->addWidget(m_apps);
    column->addLayout(apps);
    column->addStretch(1);

    connect(&m_pipeline, &DictationPipeline::recentResultsChanged, this, &InstructionsTabView::refresh);
    connect(&m_pipeline, &DictationPipeline::settingsChanged, this, &InstructionsTabView::refresh);
    refresh();
}

QList<AppInstructions::DetectedApp> InstructionsTabView::detectedApps() const {
    return AppInstructions::detectedApps(m_pipeline.recentResults());
}

void InstructionsTabView::setStyle(VoiceStyle style, const QString& bundleId, const QString& appName) {
    AppInstructions::setStyle(m_pipeline, style, bundleId, appName);
}

void InstructionsTabView::setCustomInstruction(const QString& text, const QString& bundleId, const QString& appName) {
    AppInstructions::setCustomInstruction(m_pipeline, text, bundleId, appName);
}

QList<AppStyleRow*> InstructionsTabView::rows() const {
    QList<AppStyleRow*> shown;
    for (int i = 0; i < m_rowsLayout->count(); ++i)
        if (auto* row = qobject_cast<AppStyleRow*>(m_rowsLayout->itemAt(i)->widget())) shown.append(row);
    return shown;
}

bool InstructionsTabView::showsEmptyState() const { return m_apps->currentIndex() == 0; }

void InstructionsTabView::refresh() {
    const auto apps = detectedApps();
    const VantroseSettings& settings = m_pipeline.settings();
    QWidget* card = m_apps->widget(1);
    while (QLayoutItem* item = m_rowsLayout->takeAt(0)) delete item;  // the rows themselves stay
    for (QWidget* divider : m_dividers) SettingsStyle::discard(divider);
    m_dividers.clear();

    // Rows are kept by application, so an open editor and its text survive the rebuild.
    QHash<QString, AppStyleRow*> kept;
    for (int i = 0; i < apps.size(); ++i) {
        const auto& app = apps[i];
        const QString instruction = AppInstructions::instructionFor(settings, app.bundleId).value_or(QString());
        const VoiceStyle style = VoiceStyles::from(instruction);
        AppStyleRow* row = m_rows.take(app.bundleId);
        if (row) {
            row->setValues(app.name, style, instruction);
        } else {
            // The callbacks read the row's name when they run: a later dictation may rename it.
            const QString bundleId = app.bundleId;
            row = new AppStyleRow(
                app.name, bundleId, style, instruction,
                [this, bundleId](VoiceStyle s) { setStyle(s, bundleId, m_rows.value(bundleId)->appName()); },
                [this, bundleId](const QString& text) {
                    setCustomInstruction(text, bundleId, m_rows.value(bundleId)->appName());
                },
                card);
        }
        if (i > 0) {
            QWidget* divider = SettingsStyle::divider(card, 12);
            m_dividers.append(divider);
            m_rowsLayout->addWidget(divider);
        }
        m_rowsLayout->addWidget(row);
        row->show();
        kept.insert(app.bundleId, row);
    }
    for (AppStyleRow* gone : std::as_const(m_rows)) SettingsStyle::discard(gone);
    m_rows = kept;
    m_apps->setCurrentIndex(apps.isEmpty() ? 0 : 1);
}
