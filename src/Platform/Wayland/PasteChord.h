#pragma once

#include <QString>

// Sends the paste chord into the focused window. Blocking (it holds the keys for a few
// milliseconds): call it from the paste worker, never from the main thread.
class PasteChord {
public:
    virtual ~PasteChord() = default;
    // Whether keys can be sent at all (the compositor offers the way and allowed us to use it).
    virtual bool isAvailable() = 0;
    // Ctrl+V, or Ctrl+Shift+V when the focused window is a terminal. False when nothing was sent.
    virtual bool sendPaste(bool terminal) = 0;
    // Why keys cannot be sent, with what the user can do about it; empty when nothing is known.
    virtual QString unavailableReason() { return {}; }
};
