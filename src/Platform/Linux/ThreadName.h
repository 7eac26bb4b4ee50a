#pragma once

#include <QString>

#include <pthread.h>

// Names the calling thread after its service ("com.vantrose.*"); the kernel keeps 15 bytes.
inline void setCurrentThreadName(const QString& name) {
    pthread_setname_np(pthread_self(), name.toUtf8().left(15).constData());
}
