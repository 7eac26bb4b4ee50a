#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

// Runs tests/apps/fake_portal, the stand-in desktop portal, on the test's session bus (the one
// scripts/with-desktop.sh provides) and scripts it; stopped when the object goes away. See the
// program's own header for what each mode and action does.
class FakePortal {
public:
    explicit FakePortal(const QStringList& arguments = {});
    ~FakePortal();  // stops the program and waits until the portal's name is free

    // Starts the program and waits until it owns the portal's name.
    bool start();

    void setMode(const QString& method, const QString& mode);
    void activate(const QString& shortcutId);
    void deactivate(const QString& shortcutId);
    void sendGarbageSignals();
    void closeSessions();
    // Leaves the portal's name (its sessions go with it), then takes it back: a portal restart.
    void drop();
    void take();

    QStringList log();       // every portal call so far, with its options
    QStringList sentKeys();  // "keysym <n> <state>" / "keycode <n> <state>"

    // Whether something owns the portal's name now.
    static bool portalOnBus();

private:
    QStringList control(const QString& method, const QVariantList& arguments = {});

    QStringList m_arguments;
    std::unique_ptr<QProcess> m_process;
};
