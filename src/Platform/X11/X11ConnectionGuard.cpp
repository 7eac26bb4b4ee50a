#include "Platform/X11/X11ConnectionGuard.h"

#include "Foundation/Logger.h"
#include "Platform/LogCategories.h"

#include <X11/Xlib.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace {

std::mutex g_hookMutex;
std::function<void()> g_hook;
std::atomic<bool> g_reported{false};

int onXError(Display* display, XErrorEvent* error) {
    // A window that went away between two requests is routine for a program watching others.
    char text[128] = {};
    XGetErrorText(display, error->error_code, text, sizeof text);
    VLOG_WARNING(lcX11) << QStringLiteral("Error %1 (%2), request %3.%4, resource 0x%5")
                               .arg(int(error->error_code))
                               .arg(QString::fromLatin1(text))
                               .arg(int(error->request_code))
                               .arg(int(error->minor_code))
                               .arg(qulonglong(error->resourceid), 0, 16);
    return 0;
}

int onXIOError(Display*) {
    X11ConnectionGuard::reportConnectionLost("Xlib");
    return 0;
}

void keepRunning(Display*, void*) {
    // Returning leaves the display marked dead; every later call on it returns at once.
}

std::function<void()> g_endProcess;

void endProcess(Display*, void*) {
    X11ConnectionGuard::reportConnectionLost("toolkit");
    if (g_endProcess) g_endProcess();
    Logger::flush();
    ::_exit(1);
}

}  // namespace

namespace X11ConnectionGuard {

void installHandlers() {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    XSetErrorHandler(onXError);
    XSetIOErrorHandler(onXIOError);
}

void keepProcessOnIOError(void* display) {
    if (display) XSetIOErrorExitHandler(static_cast<Display*>(display), keepRunning, nullptr);
}

void endProcessOnIOError(void* display, std::function<void()> end) {
    if (!display) return;
    g_endProcess = std::move(end);
    XSetIOErrorExitHandler(static_cast<Display*>(display), endProcess, nullptr);
}

void setConnectionLostHook(std::function<void()> hook) {
    std::lock_guard lock(g_hookMutex);
    g_hook = std::move(hook);
}

void reportConnectionLost(const char* where) {
    if (g_reported.exchange(true)) return;
    VLOG_WARNING(lcX11) << QStringLiteral("Connection to the X server lost (%1)").arg(QString::fromLatin1(where));
    std::function<void()> hook;
    {
        std::lock_guard lock(g_hookMutex);
        hook = g_hook;
    }
    if (hook) hook();
}

}  // namespace X11ConnectionGuard
