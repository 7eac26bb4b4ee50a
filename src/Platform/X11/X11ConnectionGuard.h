#pragma once

#include <functional>

// Process-wide handling of X errors and of a broken X connection. Xlib's own handlers end the
// whole process from whichever thread met the error; ours log instead, so a worker whose
// connection broke can stop by itself and the program decides how to end.
namespace X11ConnectionGuard {

// Installs the program's Xlib error and I/O-error handlers; call before opening an Xlib display
// (and again after a toolkit that installs its own). Idempotent and thread-safe.
void installHandlers();

// Makes an I/O error on `display` leave the connection dead instead of ending the process.
// `display` is an Xlib Display*.
void keepProcessOnIOError(void* display);

// For a display whose owner cannot take a dead connection in the middle of its own calls (the
// toolkit's): an I/O error on it runs `end`, which must end the process; if it returns, the
// process ends with status 1 without running exit handlers.
void endProcessOnIOError(void* display, std::function<void()> end);

// Called once, on whatever thread first notices that an X connection of this process broke
// (the server is gone, as at logout). Set before any connection exists; must be thread-safe.
void setConnectionLostHook(std::function<void()> hook);

// Reports a broken connection: logs it once and runs the hook once.
void reportConnectionLost(const char* where);

}  // namespace X11ConnectionGuard
