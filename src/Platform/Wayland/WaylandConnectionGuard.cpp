#include "Platform/Wayland/WaylandConnectionGuard.h"

#include "Foundation/Logger.h"
#include "Platform/LogCategories.h"

#include <mutex>

namespace {

std::mutex g_mutex;
std::function<void()> g_hook;
bool g_reported = false;

}  // namespace

namespace WaylandConnectionGuard {

void setConnectionLostHook(std::function<void()> hook) {
    std::lock_guard lock(g_mutex);
    g_hook = std::move(hook);
    g_reported = false;
}

void reportConnectionLost(const char* where) {
    std::function<void()> hook;
    {
        std::lock_guard lock(g_mutex);
        if (g_reported) return;
        g_reported = true;
        hook = g_hook;
    }
    VLOG_WARNING(lcWayland) << "Connection to the compositor lost (" << where << ")";
    if (hook) hook();
}

}  // namespace WaylandConnectionGuard
