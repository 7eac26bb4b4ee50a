#pragma once

#include <functional>

// Process-wide handling of a compositor that went away (the Wayland session ended). Every
// Wayland connection of the program reports here when it finds the compositor gone; the program
// hears of it once and can end as it does when the X display goes away.
namespace WaylandConnectionGuard {

// Sets what runs, once, on whatever thread first notices the compositor gone. Setting a hook arms
// it anew. Thread-safe; the hook must be too.
void setConnectionLostHook(std::function<void()> hook);

// Reports the compositor gone: logs it and runs the hook, once per hook set.
void reportConnectionLost(const char* where);

}  // namespace WaylandConnectionGuard
