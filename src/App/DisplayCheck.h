#pragma once

#include <QString>

#include <chrono>
#include <optional>

// Whether the toolkit will find a display. Qt aborts inside QApplication's constructor without
// one (a core dump and no word on why), so the entry point asks first. `platformChosen` is true
// when a platform plugin was named (-platform or QT_QPA_PLATFORM other than xcb): that plugin
// then decides for itself. Returns why no display can be used, or nothing when one can.
std::optional<QString> displayProblem(bool platformChosen);

// True when the arguments or the environment name a platform plugin other than xcb.
bool otherPlatformChosen(int argc, char** argv);

// Whether the session bus named by DBUS_SESSION_BUS_ADDRESS answers within `limit`. Qt's
// accessibility bridge connects to it on the main thread when the first window shows and waits
// for it without end, so a bus that takes connections but never answers would freeze the program
// before its first window. Returns why the bus cannot be used, or nothing when it answered (or
// none is named).
std::optional<QString> unresponsiveSessionBus(std::chrono::milliseconds limit);
