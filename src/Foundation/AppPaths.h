#pragma once

#include <QString>
#include <QStringList>

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

// Where the program's own files ("sounds", "videos", "fonts" folders) are looked for, in order:
// "../share/vantrose" beside the folder of the executable (an installation's <prefix>/bin and
// <prefix>/share/vantrose; a build folder stages them the same way, wherever it lies), then
// "vantrose" in each XDG data folder.
QStringList resourceRoots();
// The same for an executable in `appDir`, with these XDG data folders.
QStringList resourceRootsFor(const QString& appDir, const QStringList& dataDirs);
// The first existing `folder/fileName` under the resource roots; empty when there is none.
QString resourceFile(const QString& folder, const QString& fileName);
}  // namespace AppPaths
