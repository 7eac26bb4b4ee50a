#include "Platform/X11/X11Backend.h"

#include "Core/Formatting/TextUnits.h"
#include "Core/Input/KeyCodeTable.h"
#include "Core/LogCategories.h"
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"
#include "Models/AppClassification.h"
#include "Models/Hotkey.h"
#include "Platform/LogCategories.h"
#include "Platform/TextInserter.h"
#include "Platform/X11/PrimarySelectionReader.h"
#include "Platform/X11/ScreenGrabber.h"
#include "Platform/X11/X11ActiveWindowTracker.h"
#include "Platform/X11/X11ClipboardService.h"
#include "Platform/X11/X11ConnectionGuard.h"
#include "Platform/X11/X11KeyInjector.h"
#include "Platform/X11/X11KeySource.h"

#include <QByteArray>
#include <QGuiApplication>
#include <QWindow>

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

// The paste on X11: the CLIPBOARD through its own connection, Ctrl+V (Ctrl+Shift+V in terminals)
// through XTest. Runs on the paste queue's thread, one job at a time; `outcomeMutex` guards the
// record other threads read.
class X11PasteWorker final : public AbstractPasteWorker {
public:
    Result paste(const QString& text, const std::optional<QString>& html) override;
    void restore(uint64_t forGeneration) override;
    void restorePending() override { restore(generation); }
    std::optional<PasteOutcome> lastOutcome() const override {
        std::lock_guard lock(outcomeMutex);
        return latestOutcome;
    }

private:
    X11ClipboardService clipboard;
    X11KeyInjector keys;
    X11ActiveWindowTracker windows;
    bool started = false;

    std::optional<ClipboardSnapshot> saved;  // the user's clipboard while a restore is pending
    uint64_t ticket = 0;                     // our write that currently holds the clipboard
    QString writtenText;
    uint64_t generation = 0;  // bumped by every paste that wrote

    mutable std::mutex outcomeMutex;
    std::optional<PasteOutcome> latestOutcome;
    uint64_t lastOutcomeGeneration = 0;

    void ensureStarted() {
        if (started) return;
        started = true;
        if (!clipboard.start()) VLOG_WARNING(lcTextInserter) << "No X11 display; the clipboard cannot be used";
        windows.start({});
    }

    QString frontAppId(bool* isTerminal = nullptr) {
        const auto window = windows.queryNow();
        if (isTerminal) *isTerminal = window && AppType::detect(window->appId, window->appName) == AppType::terminal;
        return window ? window->appId : QString();
    }
};

AbstractPasteWorker::Result X11PasteWorker::paste(const QString& text, const std::optional<QString>& html) {
    ensureStarted();
    Result result;
    PasteOutcome& o = result.outcome;
    const Clock::TimePoint t0 = Clock::current().monotonicNow();
    bool terminal = false;
    const QString appBefore = frontAppId(&terminal);
    const auto items = X11ClipboardService::textItems(text, /*concealed=*/true, html);

    // Overlapping pastes: while an earlier paste still holds the clipboard, the user's clipboard
    // is the one saved then; the earlier text is not worth saving.
    uint64_t newTicket = 0;
    if (saved && ticket) newTicket = clipboard.replaceContents(ticket, items);
    if (newTicket) {
        o.clipboardSaved = true;
        o.clipboardLengthBefore = int(TextUnits::characterCount(writtenText));
    } else {
        ClipboardSnapshot snapshot = clipboard.snapshot(TextInserter::maxSavedBytes, TextInserter::saveBudget,
                                                        TextInserter::maxSavedTargetBytes);
        o.clipboardSaved = clipboard.isConnected() && snapshot.complete;
        if (!snapshot.complete)
            VLOG_WARNING(lcTextInserter) << "Some clipboard formats could not be saved (too large or too slow)";
        o.clipboardLengthBefore = int(TextUnits::characterCount(snapshot.plainText().value_or(QString())));
        saved = std::move(snapshot);
        newTicket = clipboard.setContents(items);
    }

    o.clipboardWritten = o.clipboardWriteSuccessful = newTicket != 0;
    if (newTicket) {
        ticket = newTicket;
        writtenText = text;
        o.clipboardLengthAfter = int(TextUnits::characterCount(text));
    } else {
        VLOG_WARNING(lcTextInserter) << "Could not take the clipboard; nothing pasted";
        o.clipboardLengthAfter = o.clipboardLengthBefore;
        if (!ticket) saved.reset();  // nothing of ours to undo
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));

    if (newTicket) {
        const uint8_t ctrl = keys.keycodeForKeysym(XK_Control_L);
        const uint8_t shift = keys.keycodeForKeysym(XK_Shift_L);
        uint8_t v = keys.keycodeForKeysym(XK_v);
        if (!v) v = KeyCodeTable::xKeycodeFor(9);  // layouts without a Latin v: its position
        // The user's own keys first (the hotkey that asked for this paste, as often as not): a
        // modifier still down turns the chord into another one, which the field ignores and
        // which may even be a hotkey, and a V still down swallows the chord's own V.
        if (!keys.waitForModifiersReleased(TextInserter::modifierReleaseBound, {v})) {
            VLOG_WARNING(lcTextInserter) << QStringLiteral("Keys still held after %1ms; the paste keys were not sent")
                                                .arg(TextInserter::modifierReleaseBound.count());
        } else {
            std::vector<uint8_t> modifiers{ctrl};
            if (terminal) modifiers.push_back(shift);
            o.pasteSimulated = ctrl && keys.pressKeys(modifiers, v);
            if (!o.pasteSimulated) VLOG_WARNING(lcTextInserter) << "The paste keys could not be sent through XTest";
        }
    }
    const Clock::TimePoint t1 = Clock::current().monotonicNow();
    o.textLength = int(TextUnits::characterCount(text));
    o.hasPrivilegeIssues = !keys.isAvailable();

    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    o.focusedControlChanged = appBefore != frontAppId();

    o.pasteOutcomeMs = o.totalTimeMs = toMilliseconds(t1 - t0);
    o.helperPasteProcessingMs = o.pasteOutcomeMs;
    o.success = o.clipboardWritten && o.pasteSimulated;
    if (o.success) {
        VLOG_INFO(lcTextInserter) << QStringLiteral("Pasted in %1ms — restoring clipboard async")
                                         .arg(QString::number(o.pasteOutcomeMs, 'f', 0));
    } else {
        VLOG_WARNING(lcTextInserter) << QStringLiteral("Paste failed after %1ms — nothing was pasted")
                                            .arg(QString::number(o.pasteOutcomeMs, 'f', 0));
    }

    if (newTicket) {
        result.generation = ++generation;
        result.scheduleRestore = true;
    }
    std::lock_guard lock(outcomeMutex);
    latestOutcome = o;
    lastOutcomeGeneration = result.generation;
    return result;
}

void X11PasteWorker::restore(uint64_t forGeneration) {
    if (forGeneration != generation || !saved) return;  // a later paste restores instead
    bool restored = false;
    // Anyone else's copy since the paste is the user's newer one: it stays.
    const bool ours = clipboard.owns(ticket);
    if (ours && saved->isEmpty()) {
        clipboard.release(ticket);
        restored = true;
        VLOG_INFO(lcTextInserter) << "No saved clipboard to restore, cleared";
    } else if (ours && saved->isConcealed()) {
        // A password manager's copy: it expires it itself; never bring it back.
        clipboard.release(ticket);
        restored = true;
        VLOG_WARNING(lcTextInserter) << "Saved clipboard was marked secret; cleared instead of restoring";
    } else if (ours && clipboard.replaceContents(ticket, saved->items)) {
        restored = true;
    } else {
        VLOG_INFO(lcTextInserter) << "Clipboard changed since the paste; keeping the new copy";
    }
    saved.reset();
    ticket = 0;
    writtenText.clear();
    if (!restored) return;
    std::lock_guard lock(outcomeMutex);
    if (latestOutcome && lastOutcomeGeneration <= forGeneration) latestOutcome->clipboardRestored = true;
}

// The key source's two ways to listen: XInput2 raw events, else RECORD.
class X11KeySourceAdapter final : public AbstractKeySource {
public:
    bool start(Handler handler, Method method, std::function<void()> onConnectionLost) override {
        const auto preference =
            method == Method::Preferred ? X11KeySource::Preference::XInput2Only : X11KeySource::Preference::RecordOnly;
        return m_source.start(std::move(handler), preference, std::move(onConnectionLost));
    }
    void stop() override { m_source.stop(); }
    QString lastError() const override { return QString::fromLatin1(m_source.lastError()); }

private:
    X11KeySource m_source;
};

}  // namespace

std::optional<QString> X11Backend::unavailableReason() const {
    const QByteArray display = qgetenv("DISPLAY");
    if (display.isEmpty())
        return QStringLiteral("No X11 display: DISPLAY is not set. Vantrose needs an X11 session (or XWayland).");
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const int error = connection ? xcb_connection_has_error(connection) : 1;
    if (connection) xcb_disconnect(connection);
    if (error)
        return QStringLiteral("Cannot open the X11 display \"%1\". Vantrose needs an X11 session (or XWayland).")
            .arg(QString::fromLocal8Bit(display));
    return std::nullopt;
}

std::unique_ptr<AbstractWindowTracker> X11Backend::makeWindowTracker() {
    return std::make_unique<X11ActiveWindowTracker>();
}

std::unique_ptr<AbstractKeySource> X11Backend::makeKeySource() { return std::make_unique<X11KeySourceAdapter>(); }

std::unique_ptr<AbstractPasteWorker> X11Backend::makePasteWorker() { return std::make_unique<X11PasteWorker>(); }

bool X11Backend::keyInputAvailable() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    int opcode = 0, event = 0, error = 0;
    bool ok = XQueryExtension(display, "XInputExtension", &opcode, &event, &error);
    if (ok) {
        int major = 2, minor = 0;
        ok = XIQueryVersion(display, &major, &minor) == Success && major >= 2;
    }
    if (ok) {
        int major = 0, minor = 0;
        ok = XTestQueryExtension(display, &event, &error, &major, &minor);
    }
    XCloseDisplay(display);
    return ok;
}

void X11Backend::simulateKeyPress(uint16_t keyCode, uint64_t flags) {
    const uint8_t key = KeyCodeTable::xKeycodeFor(keyCode);
    if (key == 0 || !m_keys.isAvailable()) {
        VLOG_WARNING(lcKeyboardMonitor) << QStringLiteral("Failed to create XTest event for keycode %1").arg(keyCode);
        return;
    }
    std::vector<uint8_t> modifiers;
    const std::pair<uint64_t, uint16_t> order[] = {
        {Hotkey::controlFlag, 59}, {Hotkey::optionFlag, 58}, {Hotkey::shiftFlag, 56}, {Hotkey::commandFlag, 55}};
    for (auto [flag, modifierKey] : order)
        if (flags & flag) modifiers.push_back(KeyCodeTable::xKeycodeFor(modifierKey));
    m_keys.pressKeys(modifiers, key);
}

bool X11Backend::canCaptureScreen() { return ScreenGrabber::canCapture(); }

std::optional<QImage> X11Backend::grabMonitorUnderPointer(QString* error) {
    return ScreenGrabber::grabMonitorUnderPointer(error);
}

std::optional<QString> X11Backend::readSelection(qint64 ownerPid, std::chrono::milliseconds timeout) {
    return PrimarySelectionReader::read(ownerPid, timeout);
}

bool X11Backend::setWindowInputRegion(QWindow* window, const QRegion& region) {
    // The toolkit's own connection: the request must follow the window's creation, which the
    // toolkit may not have sent yet.
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!window || !x11 || !x11->connection()) return false;
    xcb_connection_t* connection = x11->connection();
    const auto xWindow = static_cast<xcb_window_t>(window->winId());
    // The window's input shape (the shape extension's SK_INPUT kind), set through XFixes as the
    // toolkit sets it for a window that takes no input.
    std::vector<xcb_rectangle_t> rectangles;
    for (const QRect& rect : region)
        rectangles.push_back({static_cast<int16_t>(rect.x()), static_cast<int16_t>(rect.y()),
                              static_cast<uint16_t>(rect.width()), static_cast<uint16_t>(rect.height())});
    const xcb_xfixes_region_t shape = xcb_generate_id(connection);
    xcb_xfixes_create_region(connection, shape, static_cast<uint32_t>(rectangles.size()), rectangles.data());
    xcb_xfixes_set_window_shape_region(connection, xWindow, XCB_SHAPE_SK_INPUT, 0, 0, shape);
    xcb_xfixes_destroy_region(connection, shape);
    xcb_flush(connection);
    return true;
}

void X11Backend::installConnectionHandlers(std::function<void()> toolkitConnectionLost) {
    X11ConnectionGuard::installHandlers();
    // The toolkit's own Xlib display (window titles go through it) would end the process with
    // exit() when the server goes away, running static destructors under the capture thread.
    // It cannot carry on over a dead connection inside that call, so the program ends there, in
    // order, without exit handlers.
    if (auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr)
        X11ConnectionGuard::endProcessOnIOError(x11->display(), std::move(toolkitConnectionLost));
}

void X11Backend::setConnectionLostHook(std::function<void()> hook) {
    X11ConnectionGuard::setConnectionLostHook(std::move(hook));
}
