#include "UI/Theme/HubFonts.h"

#include "Foundation/AppPaths.h"

#include <QCoreApplication>
#include <QFile>
#include <QFontDatabase>

QStringList hubFontSearchPaths() { return QStringList{QStringLiteral(":")} + AppPaths::resourceRoots(); }

void registerHubFonts() {
    // Registered files stay registered for the process; later calls change nothing.
    static bool done = false;
    if (done || !QCoreApplication::instance()) return;
    done = true;
    for (const QString& name : {QStringLiteral("EBGaramond-Regular"), QStringLiteral("EBGaramond-Italic")}) {
        for (const QString& root : hubFontSearchPaths()) {
            const QString path = root + QStringLiteral("/fonts/") + name + QStringLiteral(".ttf");
            if (!QFile::exists(path)) continue;
            QFontDatabase::addApplicationFont(path);  // a failure leaves the system family in place
            break;
        }
    }
}

QFont hubSerifFont(double pointSize, bool italic) {
    QFont font(hubSerifFamily);
    font.setPointSizeF(pointSize);
    font.setItalic(italic);
    font.setStyleHint(QFont::Serif);
    return font;
}
