#pragma once

#include <QString>

#include <optional>

// Whether the toolkit will find a display. Qt aborts inside QApplication's constructor without
// one (a core dump and no word on why), so the entry point asks first. `platformChosen` is true
// when a platform plugin was named (-platform or QT_QPA_PLATFORM other than xcb): that plugin
// then decides for itself. Returns why no display can be used, or nothing when one can.
std::optional<QString> displayProblem(bool platformChosen);

// True when the arguments or the environment name a platform plugin other than xcb.
bool otherPlatformChosen(int argc, char** argv);
