#pragma once

#include "UI/Overlay/OverlayPillRules.h"

#include <functional>
#include <vector>

class DictationPipeline;
class MotionClock;
class QWidget;

// Builds the face the pill shows and hands the level on to the faces that follow it.
namespace OverlayFaces {

struct Actions {
    std::function<void()> onStop;    // ends a hands-free dictation
    std::function<void()> onResume;  // resumes a paused hands-free dictation
};

QWidget* make(OverlayPill::Face face, DictationPipeline& pipeline, const std::vector<float>& bands, float volume,
              const Actions& actions, QWidget* parent, MotionClock& clock);
void feedLevel(QWidget* faceWidget, const std::vector<float>& bands, float volume);
// Whether the face has controls of its own that take clicks.
bool hasControls(OverlayPill::Face face);

}  // namespace OverlayFaces
