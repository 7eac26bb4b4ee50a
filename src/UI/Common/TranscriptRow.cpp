#include "UI/Common/TranscriptRow.h"

#include "Foundation/Clock.h"
#include "UI/Common/RowLabels.h"
#include "UI/Theme/HubGlyphs.h"

#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHash>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QSettings>
#include <QStandardPaths>
#include <QTextLayout>
#include <QTextStream>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

// The Icon= and StartupWMClass= entries of a desktop file's main group.
struct DesktopEntry {
    QString icon;
    QString wmClass;
};

std::optional<DesktopEntry> readDesktopEntry(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return std::nullopt;
    DesktopEntry entry;
    bool inMain = false;
    QTextStream in(&file);
    // Desktop files are small; a cap keeps a hostile one from stalling the view.
    for (int lines = 0; !in.atEnd() && lines < 2000; ++lines) {
        const QString line = in.readLine().trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMain = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inMain) continue;
        if (line.startsWith(QLatin1String("Icon=")))
            entry.icon = line.mid(5).trimmed();
        else if (line.startsWith(QLatin1String("StartupWMClass=")))
            entry.wmClass = line.mid(15).trimmed();
    }
    return entry;
}

QString desktopId(const QString& bundleId) {
    return bundleId.endsWith(QLatin1String(".desktop")) ? bundleId : bundleId + QLatin1String(".desktop");
}

}  // namespace

namespace {

// The icons the desktop files of some folders name, by file name and by window class.
struct DesktopIconIndex {
    QHash<QString, QString> byFileName;  // "org.example.App.desktop" -> icon
    QHash<QString, QString> byWmClass;   // lower-case StartupWMClass -> icon

    static DesktopIconIndex build(const QStringList& applicationDirs) {
        DesktopIconIndex index;
        for (const QString& dir : applicationDirs) {
            const QStringList files = QDir(dir).entryList({QStringLiteral("*.desktop")}, QDir::Files, QDir::Name);
            for (const QString& file : files) {
                const auto entry = readDesktopEntry(QDir(dir).filePath(file));
                if (!entry || entry->icon.isEmpty()) continue;
                // The first folder wins, as in the desktop's own lookup order.
                if (!index.byFileName.contains(file)) index.byFileName.insert(file, entry->icon);
                const QString wmClass = entry->wmClass.toLower();
                if (!wmClass.isEmpty() && !index.byWmClass.contains(wmClass))
                    index.byWmClass.insert(wmClass, entry->icon);
            }
        }
        return index;
    }

    std::optional<QString> iconFor(const QString& bundleId) const {
        if (bundleId.trimmed().isEmpty() || bundleId.contains(QLatin1Char('/'))) return std::nullopt;
        // By file name: the id itself, then in lower case (WM_CLASS values are often capitalised).
        for (const QString& name : {desktopId(bundleId), desktopId(bundleId.toLower())}) {
            if (auto it = byFileName.constFind(name); it != byFileName.constEnd()) return *it;
        }
        if (auto it = byWmClass.constFind(bundleId.toLower()); it != byWmClass.constEnd()) return *it;
        return std::nullopt;
    }
};

// The index of the installed applications, read again when it is older than half a minute so
// that a list of rows does not read every desktop file once per row.
const DesktopIconIndex& installedApplications() {
    static DesktopIconIndex index;
    static QElapsedTimer age;
    if (!age.isValid() || age.elapsed() > 30000) {
        index = DesktopIconIndex::build(QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation));
        age.start();
    }
    return index;
}

}  // namespace

std::optional<QString> AppIconView::desktopIconName(const QString& bundleId, const QStringList& applicationDirs) {
    return DesktopIconIndex::build(applicationDirs).iconFor(bundleId);
}

std::optional<QIcon> AppIconView::lookUpIcon(const QString& bundleId) {
    if (bundleId.trimmed().isEmpty()) return std::nullopt;
    if (const auto name = installedApplications().iconFor(bundleId)) {
        if (QDir::isAbsolutePath(*name)) {
            if (QFileInfo::exists(*name)) return QIcon(*name);
        } else if (QIcon::hasThemeIcon(*name)) {
            return QIcon::fromTheme(*name);
        }
    }
    for (const QString& name : {bundleId, bundleId.toLower()}) {
        if (!name.contains(QLatin1Char('/')) && QIcon::hasThemeIcon(name)) return QIcon::fromTheme(name);
    }
    return std::nullopt;
}

AppIconView::AppIconView(const QString& bundleId, QWidget* parent) : QWidget(parent) { setBundleId(bundleId); }

void AppIconView::setBundleId(const QString& bundleId) {
    m_bundleId = bundleId;
    // Looked up when the identifier is set, not on every paint: lists repaint often.
    m_icon = lookUpIcon(bundleId);
    update();
}

void AppIconView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(rect()), 5, 5);
    p.setClipPath(clip);
    if (m_icon) {
        m_icon->paint(&p, rect());
        return;
    }
    QColor gray(128, 128, 128);
    gray.setAlphaF(0.08f);
    p.fillRect(rect(), gray);
    const double side = std::min(12.0, double(std::min(width(), height())));
    const QRectF glyph(QPointF(width() / 2.0 - side / 2, height() / 2.0 - side / 2), QSizeF(side, side));
    drawHubGlyph(p, QStringLiteral("app"), glyph, labelColor(palette(), LabelStyle::tertiary));
}

QString clampedToLines(const QString& text, const QFont& font, int width, int maxLines) {
    if (text.isEmpty() || width <= 0 || maxLines <= 0) return text;
    QString laid = text;
    laid.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(laid, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QList<std::pair<int, int>> lines;  // start, length
    layout.beginLayout();
    while (true) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLineWidth(width);
        lines.append({line.textStart(), line.textLength()});
    }
    layout.endLayout();
    if (lines.size() <= maxLines) return text;
    QStringList shown;
    for (int i = 0; i < maxLines - 1; ++i) {
        QString piece = laid.mid(lines[i].first, lines[i].second);
        while (!piece.isEmpty() && (piece.back().isSpace() || piece.back() == QChar::LineSeparator)) piece.chop(1);
        shown.append(piece);
    }
    // The last line holds the rest, cut where the width ends.
    QString rest = laid.mid(lines[maxLines - 1].first);
    rest.replace(QChar::LineSeparator, QLatin1Char(' '));
    const QFontMetrics metrics(font);
    QString last = metrics.elidedText(rest, Qt::ElideRight, width);
    if (!last.endsWith(QChar(0x2026))) last = metrics.elidedText(rest + QChar(0x2026), Qt::ElideRight, width);
    shown.append(last);
    return shown.join(QLatin1Char('\n'));
}

namespace {

// A wrapping label that shows at most two lines and ends a longer text with an ellipsis.
class TwoLineLabel : public QLabel {
public:
    explicit TwoLineLabel(const QString& text, QWidget* parent) : QLabel(parent), m_full(text) {
        setTextFormat(Qt::PlainText);
        setWordWrap(true);
        setText(text);
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        const QString shown = clampedToLines(m_full, font(), contentsRect().width(), 2);
        if (shown != text()) setText(shown);
        QLabel::resizeEvent(event);
    }

private:
    QString m_full;
};

}  // namespace

TranscriptRow::TranscriptRow(const TranscriptionResult& result, QWidget* parent) : QWidget(parent), m_result(result) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 8, 12, 8);
    row->setSpacing(10);

    m_icon = new AppIconView(result.appBundleId, this);
    m_icon->setFixedSize(24, 24);
    row->addWidget(m_icon, 0, Qt::AlignTop);

    auto* column = new QVBoxLayout;
    column->setSpacing(4);
    QFont textFont = font();
    textFont.setPointSizeF(12);
    m_text = new TwoLineLabel(result.pastedText, this);
    m_text->setFont(textFont);
    // Two lines at most: a longer text ends its second line with an ellipsis.
    m_text->setMaximumHeight(QFontMetrics(textFont).lineSpacing() * 2);
    m_text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    column->addWidget(m_text);

    auto* meta = new QHBoxLayout;
    meta->setSpacing(8);
    QFont small = font();
    small.setPointSizeF(10);
    auto makeLabel = [&](LabelStyle style, bool medium) {
        auto* label = new QLabel(this);
        QFont f = small;
        if (medium) f.setWeight(QFont::Medium);
        label->setFont(f);
        label->setTextFormat(Qt::PlainText);
        QPalette pal = label->palette();
        pal.setColor(QPalette::WindowText, labelColor(palette(), style));
        label->setPalette(pal);
        return label;
    };
    m_app = makeLabel(LabelStyle::secondary, true);
    m_app->setText(result.appName);
    m_app->setVisible(!result.appName.isEmpty());
    m_age = makeLabel(LabelStyle::quaternary, false);
    m_words = makeLabel(LabelStyle::quaternary, false);
    m_words->setText(wordCountText(result.wordCount));
    meta->addWidget(m_app);
    meta->addWidget(m_age);
    meta->addWidget(m_words);
    meta->addStretch(1);
    column->addLayout(meta);
    row->addLayout(column, 1);

    m_copyButton = new QToolButton(this);
    m_copyButton->setAutoRaise(true);
    m_copyButton->setFocusPolicy(Qt::TabFocus);
    m_copyButton->setAccessibleName(tr("Copy"));
    m_copyButton->setIconSize(QSize(11, 11));
    m_copyButton->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; }"));
    connect(m_copyButton, &QToolButton::clicked, this, &TranscriptRow::copy);
    row->addWidget(m_copyButton, 0, Qt::AlignTop);

    // The age is relative to now, so it is refreshed while the row is on screen; a hidden row
    // (a closed hub keeps its rows) catches up when it is shown again.
    m_ageTimer = new QTimer(this);
    m_ageTimer->setInterval(15000);
    connect(m_ageTimer, &QTimer::timeout, this, &TranscriptRow::refreshAge);

    refreshAge();
    refreshCopyButton();
}

void TranscriptRow::copy() {
    auto* data = new QMimeData;
    data->setText(m_result.pastedText);
    QGuiApplication::clipboard()->setMimeData(data, QClipboard::Clipboard);
    m_copied = true;
    refreshCopyButton();
    // Each press schedules its own reset; the first one due ends the confirmation.
    QPointer<TranscriptRow> guard(this);
    Clock::current().callAfter(copiedFor, [guard] {
        if (!guard) return;
        guard->m_copied = false;
        guard->refreshCopyButton();
    });
}

QString TranscriptRow::copyGlyph() const {
    return m_copied ? QStringLiteral("checkmark") : QStringLiteral("doc.on.doc");
}

double TranscriptRow::copyButtonOpacity() const { return (m_hovered || m_copied) ? 1.0 : 0.3; }

void TranscriptRow::enterEvent(QEnterEvent* event) {
    m_hovered = true;
    refreshCopyButton();
    QWidget::enterEvent(event);
}

void TranscriptRow::leaveEvent(QEvent* event) {
    m_hovered = false;
    refreshCopyButton();
    QWidget::leaveEvent(event);
}

void TranscriptRow::showEvent(QShowEvent* event) {
    refreshAge();
    m_ageTimer->start();
    QWidget::showEvent(event);
}

void TranscriptRow::hideEvent(QHideEvent* event) {
    m_ageTimer->stop();
    QWidget::hideEvent(event);
}

bool TranscriptRow::refreshesAge() const { return m_ageTimer->isActive(); }

void TranscriptRow::refreshAge() {
    m_age->setText(relativeAgeText(m_result.timestamp, QDateTime::currentDateTimeUtc()));
}

void TranscriptRow::refreshCopyButton() {
    const QColor color =
        labelColor(palette(), m_copied ? LabelStyle::primary : LabelStyle::secondary, copyButtonOpacity());
    m_copyButton->setIcon(hubGlyphIcon(copyGlyph(), 11, color));
}
