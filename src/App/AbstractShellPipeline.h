#pragma once

#include "Core/Audio/AudioEngine.h"
#include "Models/DictationStatus.h"
#include "Models/VantroseSettings.h"

#include <QString>

#include <functional>

#include <QCoro/QCoroTask>

#include <optional>
#include <vector>

class QObject;

// What the application shell needs of the dictation pipeline: its published state, its two-phase
// start and its stop, and the few operations the menu offers. The shell talks to the pipeline only
// through this, so the tray, the windows and the start-up order do not depend on how the pipeline
// is assembled. Main thread only.
class AbstractShellPipeline {
public:
    virtual ~AbstractShellPipeline() = default;

    virtual DictationStatus status() const = 0;
    virtual bool isPersistentMode() const = 0;
    virtual bool hasTypingSuggestion() const = 0;
    // Identifies the dictation in progress (empty when none has started); changes with each new one.
    virtual QString currentDictationID() const = 0;

    virtual const VantroseSettings& settings() const = 0;
    // Saves and syncs the new value, as every settings write does.
    virtual void setSettings(const VantroseSettings& settings) = 0;

    // The second phase of the start: hotkeys, audio, connections, history. Never throws.
    virtual QCoro::Task<> setup() = 0;
    virtual void teardown() = 0;
    // The account signed out (false) or in again (true): what carries the account stops or resumes.
    virtual void setAccountSignedIn(bool signedIn) = 0;

    virtual void startDictation() = 0;
    virtual void stopDictation() = 0;
    // nullopt: the system default input; used from the next recording on.
    virtual void setMicDevice(const std::optional<QString>& uid) = 0;
    virtual std::vector<AudioDeviceInfo> listInputDevices() const = 0;

    // Calls `changed` on the main thread, for as long as `context` lives, whenever the status,
    // the typing suggestion, the persistent mode or the settings change. False when this pipeline
    // cannot tell: whoever reads those values then has to keep looking.
    virtual bool observeChanges(QObject* context, std::function<void()> changed) { return false; }
};
