#include "Platform/Wayland/PortalPasteChord.h"

#include "Foundation/Logger.h"
#include "Foundation/MainThread.h"
#include "Platform/LogCategories.h"

#include <QPointer>

#include <QCoro/QCoroTask>

#include <future>

namespace {

constexpr uint32_t kControlL = 0xffe3;
constexpr uint32_t kShiftL = 0xffe1;
constexpr uint32_t kV = 0x0076;

QCoro::Task<> sendOnMain(QPointer<PortalRemoteDesktop> portal, QList<uint32_t> keysyms,
                         std::shared_ptr<std::promise<bool>> sent) {
    bool ok = false;
    if (portal) ok = co_await portal->sendChord(std::move(keysyms));
    sent->set_value(ok);
}

}  // namespace

PortalPasteChord::PortalPasteChord(UserDefaults& defaults) : m_shared(std::make_shared<Shared>()) {
    auto make = [shared = m_shared, &defaults] {
        auto* portal = new PortalRemoteDesktop(defaults);
        {
            std::lock_guard lock(shared->mutex);
            shared->portal = portal;
        }
        QObject::connect(portal, &PortalRemoteDesktop::stateChanged, portal, [shared, portal](auto state) {
            std::lock_guard lock(shared->mutex);
            shared->state.store(state);
            shared->message = portal->userMessage();
        });
        QObject::connect(portal, &QObject::destroyed, [shared] {
            std::lock_guard lock(shared->mutex);
            shared->portal = nullptr;
        });
        // Asked once at start (the restore token makes later starts silent); the client logs
        // what it reached.
        (void)portal->start();
    };
    if (isMainThread())
        make();
    else
        runOnMain(std::move(make));
}

PortalPasteChord::~PortalPasteChord() {
    std::lock_guard lock(m_shared->mutex);
    if (m_shared->portal) m_shared->portal->deleteLater();  // closes the session on the main thread
}

bool PortalPasteChord::isAvailable() { return m_shared->state.load() == PortalRemoteDesktop::State::ready; }

QString PortalPasteChord::unavailableReason() {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->message;
}

bool PortalPasteChord::sendPaste(bool terminal) {
    QList<uint32_t> keysyms{kControlL};
    if (terminal) keysyms << kShiftL;
    keysyms << kV;
    auto sent = std::make_shared<std::promise<bool>>();
    std::future<bool> result = sent->get_future();
    PortalRemoteDesktop* portal = nullptr;
    {
        std::lock_guard lock(m_shared->mutex);
        portal = m_shared->portal;
    }
    if (!portal) return false;
    // Dropped when the client is gone before its turn: the wait below then runs out.
    runOnMain(portal, [portal, keysyms, sent] { sendOnMain(QPointer<PortalRemoteDesktop>(portal), keysyms, sent); });
    if (result.wait_for(kSendDeadline) != std::future_status::ready) {
        VLOG_WARNING(lcRemoteDesktop) << "The portal did not take the paste keys within " << kSendDeadline.count()
                                      << " ms";
        return false;
    }
    return result.get();
}
