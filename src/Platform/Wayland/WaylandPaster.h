#pragma once

#include "Models/PasteOutcome.h"
#include "Platform/Wayland/PasteChord.h"
#include "Platform/Wayland/PasteClipboard.h"
#include "Platform/Wayland/WaylandFrontApp.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

// The paste on a Wayland session: saves the user's clipboard (every format, within the size caps
// and the time budget), puts the text there marked concealed, sends the paste chord (Ctrl+Shift+V
// in terminals) and, on restore(), gives the user's clipboard back, but only while the text is
// still the clipboard's. Where no chord can be sent, the text stays on the clipboard for the user
// to paste by hand, and the log says why.
//
// All calls but lastOutcome() come from one worker thread, one paste at a time, as a paste
// worker's do; they block for a few round trips with the compositor.
class WaylandPaster {
public:
    using FrontApp = std::function<std::optional<WaylandFrontApp>()>;

    struct Result {
        PasteOutcome outcome;
        uint64_t generation = 0;  // pass to restore() once the restore delay has passed
        bool scheduleRestore = false;
    };

    // The session's own: on first use it connects to the compositor at `socket` (empty:
    // WAYLAND_DISPLAY) and takes the clipboard through data-control where the compositor offers
    // it, else through XWayland's bridge, and the chord through the virtual keyboard where offered.
    // `frontApp` names the application in front (terminals get Ctrl+Shift+V); it may be empty.
    // `preferredChord`, when given, sends the chord whenever it is available (the desktop portal's
    // remote desktop); the virtual keyboard stands in otherwise.
    explicit WaylandPaster(QString socket = {}, FrontApp frontApp = {},
                           std::unique_ptr<PasteChord> preferredChord = {});
    // Over the given parts; `chord` may be null (no way to send keys).
    WaylandPaster(std::unique_ptr<PasteClipboard> clipboard, std::unique_ptr<PasteChord> chord, FrontApp frontApp = {});
    ~WaylandPaster();
    WaylandPaster(const WaylandPaster&) = delete;
    WaylandPaster& operator=(const WaylandPaster&) = delete;

    Result paste(const QString& text, const std::optional<QString>& html = std::nullopt);
    // Gives the user's clipboard back when no later paste took over (`generation` is the latest).
    void restore(uint64_t generation);
    // Gives back a clipboard still waiting for its restore (at shut-down).
    void restorePending() { restore(m_generation); }
    // The latest paste's outcome; callable from any thread.
    std::optional<PasteOutcome> lastOutcome() const;

    // Which way the clipboard goes ("data-control", "XWayland"; empty before the first paste or
    // when none works) and whether keys can be sent; for the log and the tests.
    QString clipboardWay() const;
    bool canSendKeys() const { return m_chord != nullptr; }

private:
    void ensureStarted();
    std::optional<WaylandFrontApp> front() const;

    QString m_socket;
    FrontApp m_frontApp;
    bool m_started = false;
    std::unique_ptr<PasteClipboard> m_clipboard;
    std::unique_ptr<PasteChord> m_preferredChord;
    std::unique_ptr<PasteChord> m_chord;

    bool m_holdsUserCopy = false;  // the clipboard keeps the user's copy while a restore is pending
    PasteClipboard::Saved m_saved;
    uint64_t m_ticket = 0;  // our write that holds the clipboard
    QString m_writtenText;
    uint64_t m_generation = 0;  // bumped by every paste whose clipboard goes back later
    bool m_reportedNoChord = false;

    mutable std::mutex m_outcomeMutex;
    std::optional<PasteOutcome> m_latestOutcome;
    uint64_t m_lastOutcomeGeneration = 0;
};
