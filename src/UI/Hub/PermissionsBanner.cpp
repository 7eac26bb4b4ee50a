#include "UI/Hub/PermissionsBanner.h"

#include "Core/Audio/AudioEngine.h"
#include "UI/Hub/HubRules.h"
#include "UI/Theme/HubFonts.h"
#include "UI/Theme/HubGlyphs.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

#include <QCoro/QCoroTask>

namespace {

QLabel* glyphLabel(const QString& symbol, int size, const QColor& color, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setPixmap(hubGlyphIcon(symbol, size, color).pixmap(size, size));
    return label;
}

QCoro::Task<> requestMicrophoneFromEngine() {
    // The answer is picked up by the home tab's next permission poll.
    const bool granted = co_await AudioEngine::requestPermission();
    Q_UNUSED(granted);
}

}  // namespace

PermissionRow::PermissionRow(const QString& icon, const QString& title, const QString& description,
                             std::function<void()> action, QWidget* parent)
    : QWidget(parent),
      m_title(title) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    auto* glyph = glyphLabel(icon, 13, labelColor(palette(), LabelStyle::secondary), this);
    glyph->setFixedWidth(18);
    glyph->setAlignment(Qt::AlignCenter);
    row->addWidget(glyph);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(1);
    auto* titleLabel = new QLabel(title, this);
    QFont titleFont = font();
    titleFont.setPointSizeF(12);
    titleFont.setWeight(QFont::Medium);
    titleLabel->setFont(titleFont);
    auto* descriptionLabel = new QLabel(description, this);
    descriptionLabel->setWordWrap(true);
    QFont small = font();
    small.setPointSizeF(10);
    descriptionLabel->setFont(small);
    QPalette pal = descriptionLabel->palette();
    pal.setColor(QPalette::WindowText, labelColor(palette(), LabelStyle::secondary));
    descriptionLabel->setPalette(pal);
    texts->addWidget(titleLabel);
    texts->addWidget(descriptionLabel);
    row->addLayout(texts);
    row->addStretch(1);

    if (!action) return;  // a row that only informs gets no button that would do nothing
    m_grant = new QPushButton(QStringLiteral("Grant"), this);
    m_grant->setAttribute(Qt::WA_MacSmallSize);
    QFont buttonFont = font();
    buttonFont.setPointSizeF(11);
    m_grant->setFont(buttonFont);
    connect(m_grant, &QPushButton::clicked, this, [action = std::move(action)] {
        if (action) action();
    });
    row->addWidget(m_grant);
}

PermissionsBanner::PermissionsBanner(bool axGranted, bool micGranted, const ViewPermissions& permissions,
                                     QWidget* parent)
    : QWidget(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(10);

    auto* header = new QHBoxLayout;
    header->setSpacing(8);
    const QColor secondary = labelColor(palette(), LabelStyle::secondary);
    header->addWidget(glyphLabel(QStringLiteral("exclamationmark.shield"), 13, secondary, this));
    auto* title = new QLabel(QStringLiteral("Permissions needed"), this);
    title->setFont(hubSerifFont(16));
    QPalette pal = title->palette();
    pal.setColor(QPalette::WindowText, secondary);
    title->setPalette(pal);
    header->addWidget(title);
    header->addStretch(1);
    column->addLayout(header);

    for (const PermissionRowSpec& spec :
         permissionRows(axGranted, micGranted, permissions.readAccessibilityNotice(),
                        {permissions.readInputNeeds(), permissions.readInputNotice()})) {
        std::function<void()> action;
        if (spec.kind == PermissionKind::hotkey) {
            // Nothing the program can grant: the row says what to do.
        } else if (spec.kind == PermissionKind::accessibility) {
            action = permissions.openAccessibilitySettings ? permissions.openAccessibilitySettings : [] {};
        } else if (permissions.requestMicrophone) {
            action = permissions.requestMicrophone;
        } else {
            action = [] { requestMicrophoneFromEngine(); };
        }
        column->addWidget(new PermissionRow(spec.icon, spec.title, spec.description, std::move(action), this));
    }
}

QList<PermissionRow*> PermissionsBanner::rows() const {
    return findChildren<PermissionRow*>(QString(), Qt::FindDirectChildrenOnly);
}

void PermissionsBanner::paintEvent(QPaintEvent*) {
    QPainter p(this);
    paintRoundedPanel(p, QRectF(rect()), palette(), 10, 0.15);
}
