#pragma once

#include <QString>

// Plays the short feedback sounds that ship in the "sounds" resource folder. Stateless for its
// callers: each call plays its sound once and returns at once; the sound object lives until it
// has finished.
class SoundManager {
public:
    // Plays "<name>.<ext>" from the sounds folder once, at half volume unless told otherwise. A
    // missing file, or one that is not a sound, plays nothing and reports nothing. Safe to call
    // from any thread.
    static void playCustomSound(const QString& name, const QString& ext, float volume = 0.5f);

    // The file that would play, or an empty string. The sounds are WAV files (what QSoundEffect
    // plays), so a request for another extension falls back to the WAV of the same name.
    static QString resolve(const QString& name, const QString& ext);

    // Where the sounds are looked for: an explicit folder (tests), otherwise the "sounds" folder
    // of every resource root (AppPaths::resourceRoots).
    static void setSoundsDirectory(const QString& dir);
    static QStringList searchDirectories();

    // Sounds loading or playing right now (main thread).
    static int activeSoundCount();
};
