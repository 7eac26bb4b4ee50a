#pragma once

#include "Platform/Wayland/PasteChord.h"
#include "Platform/Wayland/PortalRemoteDesktop.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

class UserDefaults;

// The paste chord through the desktop portal's remote desktop. The portal's client lives on the
// main thread; the paste worker's thread hands each chord over and waits for it, within a
// deadline, so a main thread that is busy (or gone at shut-down) costs one paste, never a hang.
// The session is asked for as soon as this is made, so the user's consent is not awaited at the
// first paste.
class PortalPasteChord final : public PasteChord {
public:
    // How long a chord handed to the main thread may take before it counts as not sent.
    static constexpr std::chrono::milliseconds kSendDeadline{2000};

    // Any thread; the portal's client is made on the main thread.
    explicit PortalPasteChord(UserDefaults& defaults);
    ~PortalPasteChord() override;
    PortalPasteChord(const PortalPasteChord&) = delete;
    PortalPasteChord& operator=(const PortalPasteChord&) = delete;

    bool isAvailable() override;
    bool sendPaste(bool terminal) override;
    QString unavailableReason() override;

    PortalRemoteDesktop::State state() const { return m_shared->state.load(); }

private:
    // What the main thread's client tells the worker's thread.
    struct Shared {
        std::atomic<PortalRemoteDesktop::State> state{PortalRemoteDesktop::State::idle};
        std::mutex mutex;
        QString message;                        // the client's userMessage() as last seen
        PortalRemoteDesktop* portal = nullptr;  // the main thread's; null once it is gone
    };
    std::shared_ptr<Shared> m_shared;
};
