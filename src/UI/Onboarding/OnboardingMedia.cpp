#include "UI/Onboarding/OnboardingMedia.h"

#include "Core/Audio/SoundManager.h"

#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QSet>

#include <algorithm>
#include <cmath>

QString onboardingResource(const QString& folder, const QString& name, const QString& ext) {
    if (name.contains(QLatin1Char('/')) || ext.contains(QLatin1Char('/'))) return {};
    // Beside each sounds folder: the resource roots' own, or the one a test names.
    for (const QString& soundsDir : SoundManager::searchDirectories()) {
        const QFileInfo info(QDir::cleanPath(soundsDir + QStringLiteral("/../") + folder) + QLatin1Char('/') + name +
                             QLatin1Char('.') + ext);
        if (info.isFile()) return info.absoluteFilePath();
    }
    return {};
}

void registerCustomFonts() {
    // Qt would add a second copy of a file registered twice; remember what this process added.
    static QSet<QString> registered;
    for (const QString& name : {QStringLiteral("EBGaramond-Regular"), QStringLiteral("EBGaramond-Italic")}) {
        const QString path = onboardingResource(QStringLiteral("fonts"), name, QStringLiteral("ttf"));
        if (path.isEmpty() || registered.contains(path)) continue;
        if (QFontDatabase::addApplicationFont(path) >= 0) registered.insert(path);
    }
}

SFX& SFX::shared() {
    static SFX instance;
    return instance;
}

void SFX::play(const QString& name, const QString& ext) {
    // The onboarding's sounds sit a little below the feedback sounds.
    SoundManager::playCustomSound(name, ext, 0.45f);
}

void GoogleLogoOnboarding::paint(QPainter& painter, const QRectF& area) {
    const QPointF c = area.center();
    const double r = std::min(area.width(), area.height()) / 2 * 0.9;
    if (r <= 0) return;
    const QRectF circle(c.x() - r, c.y() - r, 2 * r, 2 * r);
    struct Sector {
        double from;
        double to;
        QColor colour;
    };
    const QColor blue = QColor::fromRgbF(0.26f, 0.52f, 0.96f);
    const Sector sectors[] = {
        {-45, 10, blue},
        {10, 100, QColor::fromRgbF(0.2f, 0.66f, 0.33f)},
        {100, 190, QColor::fromRgbF(0.98f, 0.74f, 0.02f)},
        {190, 315, QColor::fromRgbF(0.92f, 0.26f, 0.21f)},
    };
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    for (const Sector& s : sectors) {
        // Angles grow clockwise on screen (y points down); Qt's arcs grow counter-clockwise.
        QPainterPath path;
        path.moveTo(c);
        path.arcTo(circle, -s.from, -(s.to - s.from));
        path.closeSubpath();
        painter.fillPath(path, s.colour);
    }
    painter.setBrush(Qt::white);
    painter.drawEllipse(c, 0.6 * r, 0.6 * r);
    painter.fillRect(QRectF(c.x() - 0.05 * r, c.y() - 0.125 * r, 0.95 * r, 0.25 * r), blue);
    painter.restore();
}

void paintGlow(QPainter& painter, const QPainterPath& shape, const QColor& color, double radius) {
    if (radius <= 0.5 || color.alpha() == 0) return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);
    // Nested strokes, widest and faintest first, approximate a blurred shadow of the shape.
    constexpr int kLayers = 8;
    for (int i = kLayers; i >= 1; --i) {
        const double fraction = double(i) / kLayers;
        QColor layer = color;
        layer.setAlphaF(float(color.alphaF() * (1 - fraction) * (1 - fraction) * 2.5 / kLayers));
        painter.setPen(QPen(layer, 2 * radius * fraction, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPath(shape);
    }
    painter.restore();
}

QRectF aspectFillSource(const QSizeF& frame, const QSizeF& target) {
    if (frame.isEmpty() || target.isEmpty()) return {};
    const double scale = std::max(target.width() / frame.width(), target.height() / frame.height());
    const QSizeF shown(target.width() / scale, target.height() / scale);
    return QRectF(QPointF((frame.width() - shown.width()) / 2, (frame.height() - shown.height()) / 2), shown);
}
