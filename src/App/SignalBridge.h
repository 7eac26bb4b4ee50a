#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a normal quit of the event loop, so they run the same orderly
// shut-down as the menu's quit. The handler only writes a byte to a pipe; everything else
// happens on the main thread.
class SignalBridge : public QObject {
    Q_OBJECT
public:
    explicit SignalBridge(QObject* parent = nullptr);
    ~SignalBridge() override;

    bool isInstalled() const { return m_notifier != nullptr; }

Q_SIGNALS:
    void terminationRequested(int signal);

private:
    void readSignal();
    QSocketNotifier* m_notifier = nullptr;
};
