#include "UI/Settings/SettingsGlyphs.h"

#include <QHash>
#include <QPainter>
#include <QPixmap>

namespace SettingsGlyphs {
namespace {

struct Glyph {
    const char* themeName;  // freedesktop icon name, or null
    const char* fallback;   // character painted when the theme has none
};

const QHash<QString, Glyph>& glyphs() {
    static const QHash<QString, Glyph> table{
        {QStringLiteral("trash"), {"user-trash", "✕"}},
        {QStringLiteral("arrow.right"), {nullptr, "→"}},
        {QStringLiteral("arrow.left.arrow.right"), {nullptr, "⇄"}},
        {QStringLiteral("checkmark"), {nullptr, "✓"}},
        {QStringLiteral("checkmark.circle.fill"), {nullptr, "✔"}},
        {QStringLiteral("pencil"), {nullptr, "✎"}},
        {QStringLiteral("gear"), {"preferences-system", "⚙"}},
        {QStringLiteral("textformat"), {"format-text-bold", "Aa"}},
        {QStringLiteral("book"), {"accessories-dictionary", "▥"}},
        {QStringLiteral("keyboard"), {"input-keyboard", "⌨"}},
        {QStringLiteral("waveform"), {nullptr, "∿"}},
        {QStringLiteral("briefcase"), {nullptr, "◫"}},
        {QStringLiteral("bubble.left"), {nullptr, "❝"}},
        {QStringLiteral("chevron.left.forwardslash.chevron.right"), {nullptr, "</>"}},
        {QStringLiteral("paintbrush"), {nullptr, "✍"}},
        {QStringLiteral("list.bullet"), {nullptr, "☰"}},
        {QStringLiteral("app.dashed"), {nullptr, "⬚"}},
    };
    return table;
}

}  // namespace

QIcon icon(const QString& symbol, const QColor& color, int size) {
    const Glyph glyph = glyphs().value(symbol, Glyph{nullptr, "•"});
    if (glyph.themeName) {
        QIcon themed = QIcon::fromTheme(QString::fromLatin1(glyph.themeName));
        if (!themed.isNull()) return themed;
    }
    const qreal scale = 2.0;  // crisp on high-density screens
    QPixmap pixmap(QSize(size, size) * scale);
    pixmap.setDevicePixelRatio(scale);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::TextAntialiasing);
    QFont font = painter.font();
    font.setPixelSize(qMax(6, size - 2));
    painter.setFont(font);
    painter.setPen(color);
    painter.drawText(QRectF(0, 0, size, size), Qt::AlignCenter, QString::fromUtf8(glyph.fallback));
    painter.end();
    return QIcon(pixmap);
}

}  // namespace SettingsGlyphs
