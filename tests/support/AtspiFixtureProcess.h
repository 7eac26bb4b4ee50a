#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

// Runs tests/apps/atspi_fixture (a window with one text field) for a desktop test and stops it
// when the object goes away.
class AtspiFixtureProcess {
public:
    explicit AtspiFixtureProcess(const QStringList& arguments);
    ~AtspiFixtureProcess();

    bool waitUntilReady();  // the window is shown
    qint64 pid() const;
    // Every "TEXT:" line printed so far.
    QStringList reportedTexts();

private:
    std::unique_ptr<QProcess> m_process;
    QByteArray m_buffer;
    QStringList m_lines;
    void drain();
};

// Starts zenity --entry (a GTK 3 text field) with the given text; stopped when destroyed.
class GtkEntryProcess {
public:
    explicit GtkEntryProcess(const QString& text);
    ~GtkEntryProcess();
    qint64 pid() const;

private:
    std::unique_ptr<QProcess> m_process;
};

// Runs tests/apps/atspi_probe against `pid` (see that program for its commands) while this
// process's event loop keeps running, so a program under test in this very process can answer.
// The printed lines; `ok` tells whether the probe succeeded.
QStringList runAtspiProbe(qint64 pid, const QStringList& arguments, bool* ok = nullptr);
