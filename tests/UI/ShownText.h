#pragma once

#include <QFontMetrics>
#include <QLabel>
#include <QStringList>
#include <QWidget>

// The texts of the shown labels under `root` that do not fit the rectangle their label got: cut
// at the edge, or laid out as markup (a label that reads "<b>x</b>" as markup is given the width
// of a bold x, too narrow for the text it holds).
inline QStringList labelsNotShownWhole(const QWidget* root) {
    QStringList cut;
    for (const QLabel* label : root->findChildren<QLabel*>()) {
        if (!label->isVisible() || label->text().isEmpty() || !label->pixmap().isNull()) continue;
        const QFontMetrics metrics(label->font());
        const QRect box = label->contentsRect();
        bool fits;
        if (label->wordWrap()) {
            const QRect needed = metrics.boundingRect(QRect(0, 0, box.width(), 1 << 20),
                                                      Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, label->text());
            fits = needed.width() <= box.width() + 1 && needed.height() <= box.height() + 1;
        } else {
            fits = metrics.horizontalAdvance(label->text()) <= box.width() + 1 && metrics.height() <= box.height() + 1;
        }
        if (!fits) cut << label->text();
    }
    return cut;
}
