#pragma once

#include <chrono>
#include <memory>

class AppDelegate;
class QSocketNotifier;

// Every way the program ends, in one place. The orderly end is the event loop returning and the
// delegate's shut-down running on the main thread; the other paths exist because the session can
// take the display away (logout) under a toolkit that then calls exit() or ends the process from
// whichever thread met the broken connection, while our threads still use static objects.
//
//   path                  | taken when                                  | ends the process by
//   ----------------------+---------------------------------------------+---------------------------
//   quit                  | the tray's Quit                             | the event loop returning:
//                         |                                             | finish(), then main returns
//   signal                | SIGTERM (the session ends us), SIGINT       | arming the watchdog, then
//                         |                                             | a quit
//   connection-lost hook  | an X connection of ours breaks (the server  | arming the watchdog, then
//                         | went away), or a Wayland one finds the      | a quit with status 1
//                         | compositor gone, noticed on any thread      |
//   X handler             | the toolkit's own connection breaks inside  | tearing the pipeline down
//                         | one of its Xlib calls, where nothing may    | without the event loop,
//                         | return                                      | then _exit(1)
//   message handler       | the toolkit warns "The X11 connection       | the same, before the
//                         | broke" on the main thread (exit() follows)  | toolkit's exit()
//   exit handler          | any other exit() while the program runs     | the same, inside exit()
//   watchdog              | an armed path has not ended the process     | killing the children,
//                         | within the limit (a hung worker, a dead bus)| then _exit(status)
//
// The last three tear down only what keeps devices and other programs' state right (the hotkey
// listener, the window tracker, the microphone), and only once. After finish() only the watchdog
// is left: the message and exit handlers do nothing, and a lost connection just arms it, so
// static destructors that hang cannot keep the process alive. One instance per process.
class ProcessShutdown {
public:
    // Replaces the toolkit's Xlib handlers; call right after the application object is made.
    static void installDisplayHandlers();

    // The program is up: the watchdog waits to be armed and then gives the process `limit` to end
    // by itself; SIGTERM and SIGINT quit the event loop; a lost display ends it with status 1.
    explicit ProcessShutdown(std::chrono::milliseconds limit);
    // SIGTERM and SIGINT get their default handling back. The watchdog's thread keeps running: it
    // must outlive main()'s return and the exit handlers.
    ~ProcessShutdown();
    ProcessShutdown(const ProcessShutdown&) = delete;
    ProcessShutdown& operator=(const ProcessShutdown&) = delete;

    // Until finish(), the message and exit handlers and the X handler tear `delegate`'s pipeline
    // down before they end the process.
    void guard(AppDelegate& delegate);
    // The orderly end after the event loop returned `status`: arms the watchdog, runs the
    // delegate's shut-down and leaves only the watchdog in place. Returns `status` for main().
    int finish(int status);

private:
    std::unique_ptr<QSocketNotifier> m_signals;
};
