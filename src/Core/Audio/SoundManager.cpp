#include "Core/Audio/SoundManager.h"

#include "Foundation/AppPaths.h"
#include "Foundation/MainThread.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSoundEffect>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <mutex>
#include <set>

namespace {

std::mutex g_dirMutex;
QString g_soundsDir;

// Sound objects that are still loading or playing; owned here until they are done.
std::set<QSoundEffect*>& active() {
    static std::set<QSoundEffect*> effects;
    return effects;
}

void release(QSoundEffect* effect) {
    if (active().erase(effect)) effect->deleteLater();
}

// Longest a sound object is kept; ours last well under a second.
constexpr auto kMaxLifetime = std::chrono::seconds(10);

}  // namespace

void SoundManager::setSoundsDirectory(const QString& dir) {
    std::lock_guard lock(g_dirMutex);
    g_soundsDir = dir;
}

QStringList SoundManager::searchDirectories() {
    {
        std::lock_guard lock(g_dirMutex);
        if (!g_soundsDir.isEmpty()) return {g_soundsDir};
    }
    QStringList dirs;
    for (const QString& root : AppPaths::resourceRoots()) dirs << root + QStringLiteral("/sounds");
    return dirs;
}

QString SoundManager::resolve(const QString& name, const QString& ext) {
    // Names come from the program itself; still, never let one leave the sounds folder.
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || ext.contains(QLatin1Char('/'))) return {};
    QStringList files{name + QLatin1Char('.') + ext};
    if (ext.compare(QStringLiteral("wav"), Qt::CaseInsensitive) != 0) files << name + QStringLiteral(".wav");
    for (const QString& dir : searchDirectories())
        for (const QString& file : files) {
            const QFileInfo info(dir + QLatin1Char('/') + file);
            if (info.isFile()) return info.absoluteFilePath();
        }
    return {};
}

void SoundManager::playCustomSound(const QString& name, const QString& ext, float volume) {
    if (!isMainThread()) {
        runOnMain([name, ext, volume] { playCustomSound(name, ext, volume); });
        return;
    }
    const QString path = resolve(name, ext);
    if (path.isEmpty()) return;

    auto* effect = new QSoundEffect(QCoreApplication::instance());
    active().insert(effect);
    QObject::connect(effect, &QSoundEffect::statusChanged, effect, [effect] {
        if (effect->status() == QSoundEffect::Error) release(effect);
    });
    QObject::connect(effect, &QSoundEffect::playingChanged, effect, [effect] {
        if (!effect->isPlaying() && effect->status() == QSoundEffect::Ready) release(effect);
    });
    QTimer::singleShot(kMaxLifetime, effect, [effect] { release(effect); });
    effect->setSource(QUrl::fromLocalFile(path));
    effect->setVolume(volume);
    effect->play();  // starts as soon as the file has loaded
}

int SoundManager::activeSoundCount() { return int(active().size()); }
