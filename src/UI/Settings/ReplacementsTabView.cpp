#include "UI/Settings/ReplacementsTabView.h"

#include "Core/Pipeline/DictationPipeline.h"
#include "UI/Common/SettingsGroup.h"
#include "UI/Settings/ReplacementRules.h"
#include "UI/Settings/SettingsGlyphs.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

const QColor kRed(0xFF, 0x3B, 0x30);

}  // namespace

ReplacementsTabView::ReplacementsTabView(DictationPipeline& pipeline, QWidget* parent)
    : QWidget(parent),
      m_pipeline(pipeline) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* header = new QWidget(this);
    auto* headerLayout = new QVBoxLayout(header);
    headerLayout->setContentsMargins(24, 24, 24, 16);
    headerLayout->setSpacing(6);
    auto* title = new QLabel(QStringLiteral("Text Replacements"), header);
    title->setFont(SettingsStyle::serif(24));
    headerLayout->addWidget(title);
    auto* subtitle = SettingsStyle::label(
        QStringLiteral("When you say a trigger phrase, Vantrose will automatically replace it with the expansion."), 12,
        header, SettingsStyle::secondary(this));
    subtitle->setWordWrap(true);
    headerLayout->addWidget(subtitle);
    layout->addWidget(header);
    layout->addWidget(SettingsStyle::divider(this));

    m_content = new QStackedWidget(this);
    auto* empty = new QWidget(m_content);
    empty->setObjectName(QStringLiteral("replacementsEmpty"));
    auto* emptyLayout = new QVBoxLayout(empty);
    emptyLayout->setSpacing(12);
    emptyLayout->addStretch(1);
    auto* symbol = new QLabel(empty);
    symbol->setPixmap(
        SettingsGlyphs::icon(QStringLiteral("arrow.left.arrow.right"), SettingsStyle::quaternary(this), 28)
            .pixmap(28, 28));
    emptyLayout->addWidget(symbol, 0, Qt::AlignHCenter);
    auto* none = new QLabel(QStringLiteral("No replacements yet"), empty);
    none->setFont(SettingsStyle::serif(18, true));
    SettingsStyle::setTextColor(none, SettingsStyle::secondary(this));
    emptyLayout->addWidget(none, 0, Qt::AlignHCenter);
    emptyLayout->addWidget(SettingsStyle::label(QStringLiteral("Add phrases like “my email” → “jane@example.com”"), 11,
                                                empty, SettingsStyle::quaternary(this)),
                           0, Qt::AlignHCenter);
    emptyLayout->addStretch(1);
    m_content->addWidget(empty);

    auto* scroll = new QScrollArea(m_content);
    scroll->setObjectName(QStringLiteral("replacementsList"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* rows = new QWidget(scroll);
    m_rows = new QVBoxLayout(rows);
    m_rows->setContentsMargins(16, 4, 16, 4);
    m_rows->setSpacing(0);
    scroll->setWidget(rows);
    m_content->addWidget(scroll);
    layout->addWidget(m_content, 1);
    layout->addWidget(SettingsStyle::divider(this));

    auto* addRow = new QWidget(this);
    auto* addLayout = new QHBoxLayout(addRow);
    addLayout->setContentsMargins(16, 16, 16, 8);
    addLayout->setSpacing(8);
    m_newTrigger = new QLineEdit(addRow);
    m_newTrigger->setObjectName(QStringLiteral("newTrigger"));
    m_newTrigger->setPlaceholderText(QStringLiteral("When I say…"));
    m_newTrigger->setFixedWidth(160);
    addLayout->addWidget(m_newTrigger);
    auto* arrow = new QLabel(addRow);
    arrow->setPixmap(
        SettingsGlyphs::icon(QStringLiteral("arrow.right"), SettingsStyle::tertiary(this), 14).pixmap(14, 14));
    addLayout->addWidget(arrow);
    m_newReplacement = new QLineEdit(addRow);
    m_newReplacement->setObjectName(QStringLiteral("newReplacement"));
    m_newReplacement->setPlaceholderText(QStringLiteral("Replace with…"));
    addLayout->addWidget(m_newReplacement, 1);
    m_add = new QPushButton(QStringLiteral("Add"), addRow);
    m_add->setObjectName(QStringLiteral("addReplacement"));
    m_add->setAutoDefault(false);
    addLayout->addWidget(m_add);
    layout->addWidget(addRow);

    // Why the last "Add" was refused; hidden otherwise.
    m_message = SettingsStyle::refusalLabel(this, QStringLiteral("replacementMessage"));
    m_message->setContentsMargins(16, 0, 16, 12);
    layout->addWidget(m_message);

    // Return in either field adds nothing: only the button adds.
    connect(m_add, &QPushButton::clicked, this, &ReplacementsTabView::add);
    connect(m_newTrigger, &QLineEdit::textChanged, this, &ReplacementsTabView::updateAddButton);
    connect(m_newReplacement, &QLineEdit::textChanged, this, &ReplacementsTabView::updateAddButton);
    connect(&m_pipeline, &DictationPipeline::settingsChanged, this, &ReplacementsTabView::refresh);
    updateAddButton();
    refresh();
}

void ReplacementsTabView::updateAddButton() {
    m_add->setEnabled(ReplacementRules::canAdd(m_newTrigger->text(), m_newReplacement->text()));
    m_message->hide();
}

void ReplacementsTabView::add() {
    const QString trigger = m_newTrigger->text();
    const QString replacement = m_newReplacement->text();
    const QString problem =
        ReplacementRules::problemWithNewRule(m_pipeline.settings().textReplacements, trigger, replacement);
    if (!problem.isEmpty()) {
        // The typed text stays, so the user can correct it.
        m_message->setText(problem);
        m_message->show();
        return;
    }
    m_pipeline.updateSettings([&](VantroseSettings& s) {
        s.textReplacements = ReplacementRules::adding(s.textReplacements, trigger, replacement);
    });
    m_newTrigger->clear();
    m_newReplacement->clear();
}

void ReplacementsTabView::remove(const QString& trigger) {
    m_pipeline.updateSettings([&](VantroseSettings& s) {
        s.textReplacements = ReplacementRules::removingTrigger(s.textReplacements, trigger);
    });
}

void ReplacementsTabView::refresh() {
    const QList<TextReplacement>& rules = m_pipeline.settings().textReplacements;
    SettingsStyle::clearLayout(m_rows);
    QWidget* list = m_rows->parentWidget();
    for (const TextReplacement& rule : rules) {
        auto* row = new QWidget(list);
        row->setObjectName(QStringLiteral("replacementRow"));
        auto* rowLayout = new QHBoxLayout(row);
        rowLayout->setContentsMargins(0, 2, 0, 2);
        auto* texts = new QVBoxLayout;
        texts->setSpacing(2);
        auto* trigger = SettingsStyle::label(ReplacementRules::quotedTrigger(rule.trigger), 12, row);
        trigger->setObjectName(QStringLiteral("replacementTrigger"));
        QFont medium = trigger->font();
        medium.setWeight(QFont::Medium);
        trigger->setFont(medium);
        texts->addWidget(trigger);
        auto* replacement = new OneLineLabel(rule.replacement, row);
        replacement->setObjectName(QStringLiteral("replacementText"));
        QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        mono.setPointSizeF(11);
        replacement->setFont(mono);
        SettingsStyle::setTextColor(replacement, SettingsStyle::secondary(this));
        texts->addWidget(replacement);
        rowLayout->addLayout(texts, 1);
        auto* remove = new QToolButton(row);
        remove->setObjectName(QStringLiteral("deleteReplacement"));
        remove->setAutoRaise(true);
        remove->setIcon(SettingsGlyphs::icon(QStringLiteral("trash"), kRed, 11));
        remove->setAccessibleName(QStringLiteral("Delete ") + rule.trigger);
        const QString key = rule.trigger;
        connect(remove, &QToolButton::clicked, this, [this, key] { this->remove(key); });
        rowLayout->addWidget(remove);
        m_rows->addWidget(row);
    }
    m_rows->addStretch(1);
    m_content->setCurrentIndex(rules.isEmpty() ? 0 : 1);
}
