#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>

// The clipboard as a paste uses it: keep the user's copy aside, put the dictated text there, and
// later give the user's copy back, but only while the text put there is still the clipboard's
// (a copy the user made meanwhile is theirs and stays). Each write is named by a ticket.
// Blocking: call from the paste worker, never from the main thread.
class PasteClipboard {
public:
    // The password managers' mark: a copy carrying it with the value "secret" is never written
    // back and never handed to a clipboard history. The dictated text carries it too.
    static constexpr const char* kConcealedFormat = "x-kde-passwordManagerHint";

    struct SaveLimits {
        qint64 maxBytes = 0;        // all formats together
        qint64 maxFormatBytes = 0;  // one format; a larger one is left out
        std::chrono::milliseconds budget{0};
    };
    // What save() found.
    struct Saved {
        bool complete = true;  // false when a format was left out (too large, too slow, unreadable)
        bool empty = true;     // nothing could be read (no owner, or no format answered)
        bool concealed = false;
        std::optional<QString> plainText;
    };

    virtual ~PasteClipboard() = default;

    // Opens what the clipboard needs; false when this way to the clipboard is not there.
    virtual bool start() = 0;
    virtual bool isConnected() = 0;
    // A short name of this way for the log ("data-control", "XWayland").
    virtual const char* name() const = 0;

    // Reads every format of the user's clipboard within the limits and keeps it for giveBack(),
    // in place of any copy kept before.
    virtual Saved save(const SaveLimits& limits) = 0;
    // Takes the clipboard with `text` (and `html`), marked concealed. The ticket of this write;
    // 0 when the clipboard could not be taken.
    virtual uint64_t write(const QString& text, const std::optional<QString>& html) = 0;
    // The same, only while the write `ticket` still holds the clipboard; 0 when it moved on.
    virtual uint64_t rewrite(uint64_t ticket, const QString& text, const std::optional<QString>& html) = 0;
    // Puts the kept copy back while the write `ticket` still holds the clipboard.
    virtual bool giveBack(uint64_t ticket) = 0;
    // Empties the clipboard while the write `ticket` still holds it.
    virtual bool release(uint64_t ticket) = 0;
    // Whether the write `ticket` still holds the clipboard.
    virtual bool owns(uint64_t ticket) = 0;
    // Drops the kept copy.
    virtual void forget() = 0;
};
