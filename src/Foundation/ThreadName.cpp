#include "Foundation/ThreadName.h"

#include <QThread>

#include <pthread.h>

namespace {

constexpr qsizetype kKernelNameBytes = 15;
const QLatin1StringView kLabelPrefix("com.vantrose.");

}  // namespace

QByteArray kernelThreadName(const QString& label) {
    QString name = label.startsWith(kLabelPrefix) ? label.mid(kLabelPrefix.size()) : label;
    QByteArray utf8 = name.toUtf8();
    // Drops whole characters from the front until the end fits.
    while (utf8.size() > kKernelNameBytes) {
        const qsizetype first = name.at(0).isHighSurrogate() && name.size() > 1 ? 2 : 1;
        name.remove(0, first);
        utf8 = name.toUtf8();
    }
    return utf8;
}

void nameCurrentThread(const QString& label) {
    // A QThread named before it started already has the label; others may read it meanwhile.
    QThread* thread = QThread::currentThread();
    if (thread->objectName() != label) thread->setObjectName(label);
    pthread_setname_np(pthread_self(), kernelThreadName(label).constData());
}
