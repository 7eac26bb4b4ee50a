#include "UI/Overlay/OverlayFaces.h"

#include "UI/Overlay/Faces/IdleFaces.h"
#include "UI/Overlay/Faces/ListeningFaces.h"

#include <QColor>

namespace OverlayFaces {

QWidget* make(OverlayPill::Face face, DictationPipeline& pipeline, const std::vector<float>& bands, float volume,
              const Actions& actions, QWidget* parent, MotionClock& clock) {
    using F = OverlayPill::Face;
    switch (face) {
    case F::hoverHint: return new HoverHint(parent, &clock);
    case F::idleWaveform: return new IdleWaveform(parent, &clock);
    case F::wakeUpStretch: return new WakeUpStretch(parent, &clock);
    case F::listeningEyes:
    case F::listeningEyesWithText: return new WalleEyes(bands, volume, QColor(Qt::white), pipeline, parent, &clock);
    case F::persistentEyes: return new PersistentEyes(bands, volume, actions.onStop, pipeline, parent, &clock);
    case F::persistentPausedLabel:
        return new PersistentPausedLabel(actions.onResume, actions.onStop, pipeline, parent, &clock);
    case F::pausedLabel: return new PausedLabel(parent, &clock);
    case F::thinkingEyes:
    case F::thinkingEyesWithText: return new ThinkingEyes(parent, &clock);
    case F::happyEyes: return new HappyEyes(parent, &clock);
    case F::confusedEyes: return new ConfusedEyes(parent, &clock);
    }
    return new IdleWaveform(parent, &clock);
}

void feedLevel(QWidget* faceWidget, const std::vector<float>& bands, float volume) {
    if (auto* eyes = qobject_cast<WalleEyes*>(faceWidget)) {
        eyes->setBands(bands);
        eyes->setVolume(volume);
    } else if (auto* persistent = qobject_cast<PersistentEyes*>(faceWidget)) {
        persistent->setBands(bands);
        persistent->setVolume(volume);
    }
}

bool hasControls(OverlayPill::Face face) {
    return face == OverlayPill::Face::persistentEyes || face == OverlayPill::Face::persistentPausedLabel;
}

}  // namespace OverlayFaces
