#pragma once

#include <QString>

#include <chrono>
#include <optional>

// Reads the X11 PRIMARY selection (the text the user last selected) without touching the
// keyboard: a copy chord would stop programs in terminals. Blocks the calling thread up to
// `timeout`, so call it off the main thread.
class PrimarySelectionReader {
public:
    // The selection's text when its owner is a client of process `ownerPid` (0 or less: nothing is
    // read, as an unknown owner is never trusted).
    // nullopt when there is no display, no owner, another process owns it, the owner does not
    // answer in time, or the text is too large to take in one piece.
    static std::optional<QString> read(qint64 ownerPid,
                                       std::chrono::milliseconds timeout = std::chrono::milliseconds(150));

    // The process of the client owning PRIMARY, when X-Resource can tell.
    static std::optional<qint64> ownerPid();
};
