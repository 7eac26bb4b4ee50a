#pragma once

#include <QColor>
#include <QRectF>
#include <QSizeF>
#include <QString>

class QPainter;
class QPainterPath;

// The onboarding's resources sit in folders next to the sounds folder ("fonts", "videos"):
// the path of `name.ext` in `folder`, or an empty string when there is none.
QString onboardingResource(const QString& folder, const QString& name, const QString& ext);

// Makes the serif family of the onboarding's titles available from the program's own font files
// when they ship; missing files and repeated registrations are skipped.
void registerCustomFonts();

// The onboarding's sound player. Sounds go through the shared sound player (WAV files, half
// volume); a missing sound plays nothing.
class SFX {
public:
    static SFX& shared();
    void play(const QString& name, const QString& ext);
};

// The sign-in provider's mark, drawn from four coloured sectors, a white inner disc and a bar,
// centred in `area` and sized by its smaller side.
struct GoogleLogoOnboarding {
    static void paint(QPainter& painter, const QRectF& area);
};

// A soft glow of `color` around `shape`, fading out over `radius` points.
void paintGlow(QPainter& painter, const QPainterPath& shape, const QColor& color, double radius);

// The part of a frame of `frame` size that fills `target` while keeping its proportions: the
// overflow on one side is cropped equally at both ends.
QRectF aspectFillSource(const QSizeF& frame, const QSizeF& target);
