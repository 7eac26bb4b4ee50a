#include "Platform/Wayland/ForeignToplevelTracker.h"

#include "Foundation/Logger.h"
#include "Foundation/MainThread.h"
#include "Platform/LogCategories.h"
#include "Platform/Wayland/WaylandAppIdentity.h"
#include "Platform/Wayland/WaylandConnection.h"

#include <wayland-client.h>
#include <wlr-foreign-toplevel-management-unstable-v1-client-protocol.h>

#include <map>

namespace {

// Titles and app ids are a few dozen characters on a real desktop; a client that sets megabytes
// should not make every change copy them.
constexpr qsizetype kMaxTextLength = 4096;

QString boundedText(const char* text) { return QString::fromUtf8(text).left(kMaxTextLength); }

}  // namespace

struct ForeignToplevelTracker::Impl {
    struct Toplevel {
        QString title, appId;
        bool activated = false;
    };
    struct Entry {
        Toplevel pending;  // the states since the last done event
        Toplevel current;
        uint64_t activatedAt = 0;  // the order in which windows became active
    };

    ForeignToplevelTracker& owner;
    WaylandConnection& connection;
    zwlr_foreign_toplevel_manager_v1* manager = nullptr;
    std::map<zwlr_foreign_toplevel_handle_v1*, Entry> toplevels;
    uint64_t activations = 0;
    std::optional<WaylandFrontApp> published;
    std::map<QString, QString> namesByAppId;  // desktop entries looked up once

    Impl(ForeignToplevelTracker& o, WaylandConnection& c) : owner(o), connection(c) {}

    ~Impl() {
        for (auto& [handle, entry] : toplevels) zwlr_foreign_toplevel_handle_v1_destroy(handle);
        if (manager) zwlr_foreign_toplevel_manager_v1_destroy(manager);
        connection.flush();
    }

    bool start() {
        static const zwlr_foreign_toplevel_manager_v1_listener listener = {
            .toplevel = &Impl::onToplevel,
            .finished = &Impl::onFinished,
        };
        manager = static_cast<zwlr_foreign_toplevel_manager_v1*>(
            connection.bind(&zwlr_foreign_toplevel_manager_v1_interface, 3));
        if (!manager) return false;
        zwlr_foreign_toplevel_manager_v1_add_listener(manager, &listener, this);
        // The windows open now arrive with their states before the round trip ends.
        return connection.roundtrip();
    }

    static void onToplevel(void* data, zwlr_foreign_toplevel_manager_v1*, zwlr_foreign_toplevel_handle_v1* handle) {
        static const zwlr_foreign_toplevel_handle_v1_listener listener = {
            .title = [](void* d, zwlr_foreign_toplevel_handle_v1* h,
                        const char* title) { static_cast<Impl*>(d)->toplevels[h].pending.title = boundedText(title); },
            .app_id = [](void* d, zwlr_foreign_toplevel_handle_v1* h,
                         const char* id) { static_cast<Impl*>(d)->toplevels[h].pending.appId = boundedText(id); },
            .output_enter = [](void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {},
            .output_leave = [](void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {},
            .state = &Impl::onState,
            .done = &Impl::onDone,
            .closed = &Impl::onClosed,
            .parent = [](void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {},
        };
        auto* self = static_cast<Impl*>(data);
        self->toplevels[handle];
        zwlr_foreign_toplevel_handle_v1_add_listener(handle, &listener, self);
    }

    static void onState(void* data, zwlr_foreign_toplevel_handle_v1* handle, wl_array* states) {
        bool activated = false;
        const auto* begin = static_cast<const uint32_t*>(states->data);
        for (size_t i = 0; i < states->size / sizeof(uint32_t); ++i)
            if (begin[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED) activated = true;
        static_cast<Impl*>(data)->toplevels[handle].pending.activated = activated;
    }

    static void onDone(void* data, zwlr_foreign_toplevel_handle_v1* handle) {
        auto* self = static_cast<Impl*>(data);
        Entry& entry = self->toplevels[handle];
        if (entry.pending.activated && !entry.current.activated) entry.activatedAt = ++self->activations;
        entry.current = entry.pending;
        self->update();
    }

    static void onClosed(void* data, zwlr_foreign_toplevel_handle_v1* handle) {
        auto* self = static_cast<Impl*>(data);
        self->toplevels.erase(handle);
        zwlr_foreign_toplevel_handle_v1_destroy(handle);
        self->update();
    }

    static void onFinished(void* data, zwlr_foreign_toplevel_manager_v1*) {
        auto* self = static_cast<Impl*>(data);
        VLOG_INFO(lcAppDetector) << "The compositor stopped listing its windows";
        zwlr_foreign_toplevel_manager_v1_destroy(self->manager);
        self->manager = nullptr;
    }

    // The window in front: of those the compositor calls active (one per seat), the latest.
    std::optional<WaylandFrontApp> front() {
        const Entry* best = nullptr;
        for (const auto& [handle, entry] : toplevels)
            if (entry.current.activated && (!best || entry.activatedAt > best->activatedAt)) best = &entry;
        if (!best) return std::nullopt;
        auto name = namesByAppId.find(best->current.appId);
        if (name == namesByAppId.end())
            name = namesByAppId.emplace(best->current.appId, WaylandAppIdentity::forAppId(best->current.appId).appName)
                       .first;
        WaylandFrontApp app;
        app.appId = best->current.appId;
        app.appName = name->second;
        app.title = best->current.title;
        return app;
    }

    void update() {
        std::optional<WaylandFrontApp> now = front();
        if (now == published) return;
        published = now;
        owner.publish(now);
    }
};

ForeignToplevelTracker::ForeignToplevelTracker(QObject* parent) : QObject(parent) {}

ForeignToplevelTracker::~ForeignToplevelTracker() { stop(); }

bool ForeignToplevelTracker::start(Handler onChange, const QString& socket) {
    if (isRunning()) return true;
    stop();
    m_handler = std::move(onChange);
    m_connection = std::make_shared<WaylandConnection>(QStringLiteral("com.vantrose.wl-windows"));
    if (!m_connection->connect(socket)) {
        m_connection.reset();
        return false;
    }
    const bool listed = m_connection->call([this] {
        m_impl = std::make_unique<Impl>(*this, *m_connection);
        return m_impl->start();
    });
    if (!listed) {
        VLOG_INFO(lcAppDetector) << "The compositor offers no list of windows (wlr foreign toplevel)";
        stop();
        return false;
    }
    return true;
}

void ForeignToplevelTracker::stop() {
    if (m_connection) {
        m_connection->call([this] { m_impl.reset(); });
        m_connection->disconnect();
        m_connection.reset();
    }
    std::lock_guard lock(m_mutex);
    m_latest.reset();
}

bool ForeignToplevelTracker::isRunning() const { return m_connection && m_connection->isConnected(); }

std::optional<WaylandFrontApp> ForeignToplevelTracker::latest() const {
    std::lock_guard lock(m_mutex);
    return m_latest;
}

void ForeignToplevelTracker::publish(const std::optional<WaylandFrontApp>& front) {
    {
        std::lock_guard lock(m_mutex);
        m_latest = front;
    }
    runOnMain(this, [this, front] {
        if (m_handler) m_handler(front);
    });
}
