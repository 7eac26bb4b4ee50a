// The transcript scorer on arbitrary text and recording length (fields split at 0x1F: the
// text, the duration in seconds as text).
#include "FuzzSupport.h"

#include "Core/ASR/SensibilityScorer.h"
#include "Foundation/Clock.h"

#include <cmath>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzz::initialize();
    const QStringList parts = Fuzz::fields(data, size, 2);
    (void)SensibilityScorer::containsHallucination(parts[0]);
    bool ok = false;
    double duration = parts[1].toDouble(&ok);
    if (!ok) duration = 2.0;
    const SensibilityScorer::Score score = SensibilityScorer::score(parts[0], fromSeconds(duration));
    if (std::isfinite(duration))
        Fuzz::check(score.score >= 0.0f && score.score <= 1.0f, "the score stays within 0..1",
                    QString::number(double(score.score)));
    return 0;
}
