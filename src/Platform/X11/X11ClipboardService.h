#pragma once

#include "Platform/X11/XcbWorker.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <optional>
#include <vector>

// One target of a selection with the data its owner gave for it.
struct ClipboardItem {
    QByteArray target;   // e.g. "UTF8_STRING", "image/png"
    QByteArray type;     // the property type the owner answered with
    uint8_t format = 8;  // 8, 16 or 32
    QByteArray data;
};

// The clipboard as it was at one moment: every target that could be read, in the owner's order.
struct ClipboardSnapshot {
    bool hadOwner = false;
    bool complete = true;  // false when a target was skipped (too large, too slow, unreadable)
    std::vector<ClipboardItem> items;

    bool isEmpty() const { return items.empty(); }
    // Password managers mark their copies with this hint; such a copy is never written back.
    bool isConcealed() const;
    std::optional<QString> plainText() const;
};

// Owns and reads an X selection (CLIPBOARD by default) on a thread of its own, so answering
// other applications' requests never waits for the main thread and reading a slow owner never
// blocks it. All public calls block the calling thread: use them off the main thread.
// When the service goes away still holding CLIPBOARD, it hands the contents to the clipboard
// manager (ICCCM SAVE_TARGETS) so they outlive the program, or gives the selection up when no
// manager runs.
class X11ClipboardService : private XcbWorker {
public:
    static constexpr const char* kConcealedTarget = "x-kde-passwordManagerHint";

    explicit X11ClipboardService(QByteArray selection = "CLIPBOARD");
    ~X11ClipboardService() override;

    bool start();  // false without an X display
    using XcbWorker::isConnected;

    // The owner's list of targets is read up to this many entries (real owners offer a few dozen);
    // the usual text targets listed beyond it are still read.
    static constexpr int maxTargets = 256;

    // Reads every target of the current owner until `maxBytes` or the time budget is used up.
    // A target larger than `maxTargetBytes` (default: `maxBytes`) is left out, and the snapshot
    // marked incomplete; the other targets are still read.
    ClipboardSnapshot snapshot(qint64 maxBytes, std::chrono::milliseconds budget, qint64 maxTargetBytes = -1);
    // Takes the selection with these targets. Returns a ticket naming this write, 0 on failure.
    uint64_t setContents(std::vector<ClipboardItem> items);
    // Swaps the contents of the write `ticket` for `items` only while that write still owns the
    // selection: the claim reuses the old ownership time, which the X server refuses when
    // anyone took the selection since, so a copy made meanwhile is never overwritten.
    // Returns the new ticket, 0 when the selection had moved on.
    uint64_t replaceContents(uint64_t ticket, std::vector<ClipboardItem> items);
    // Whether the write `ticket` still owns the selection (nobody copied since).
    bool owns(uint64_t ticket);
    // Gives the selection up (empty clipboard) when the write `ticket` still owns it.
    bool release(uint64_t ticket);

    // The targets a text is offered under; `concealed` adds the password-manager hint.
    static std::vector<ClipboardItem> textItems(const QString& text, bool concealed,
                                                const std::optional<QString>& html = std::nullopt);

private:
    struct Transfer;
    void onConnected() override;
    void handleEvent(xcb_generic_event_t* event) override;
    void answerRequest(const xcb_selection_request_event_t* request);
    // Writes `target` of our contents into `property` of `requestor`; false when we have none.
    bool convertTo(xcb_window_t requestor, xcb_atom_t target, xcb_atom_t property);
    // Before the service goes away: hands CLIPBOARD contents we still own to the clipboard
    // manager (ICCCM SAVE_TARGETS), or gives the selection up when none runs.
    void handOffAtExit();
    void continueTransfers(const xcb_property_notify_event_t* notify);
    std::optional<ClipboardItem> readTarget(xcb_atom_t target, qint64 cap,
                                            std::chrono::steady_clock::time_point deadline);
    void abandonTransfer();  // after a read given up half-way
    xcb_timestamp_t serverTime();
    bool ownerIsUs();

    QByteArray m_selectionName;
    xcb_atom_t m_selection = 0;
    xcb_window_t m_window = 0;
    xcb_atom_t m_property = 0;  // where owners write what we read; replaced after an abandoned transfer
    int m_propertyGeneration = 0;
    xcb_atom_t m_timeProperty = 0;

    // Worker-thread state.
    std::vector<ClipboardItem> m_items;
    xcb_timestamp_t m_ownTime = 0;
    uint64_t m_ownedTicket = 0;
    uint64_t m_nextTicket = 0;
    std::vector<std::unique_ptr<Transfer>> m_transfers;
};
