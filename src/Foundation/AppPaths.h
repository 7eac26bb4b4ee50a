#pragma once

#include <QString>

// Where the program keeps its files (XDG):
//   data:   $XDG_DATA_HOME/Vantrose   (settings file, history database, microphone timings)
//   logs:   $XDG_STATE_HOME/Vantrose  (text log, metrics log)
//   config: $XDG_CONFIG_HOME/Vantrose/Vantrose.conf (user defaults)
// Folders are created on first use; a failure to create one is left to the writer to report.
namespace AppPaths {
QString dataDir();
QString logDir();
QString configDir();
QString userDefaultsFile();
}  // namespace AppPaths
