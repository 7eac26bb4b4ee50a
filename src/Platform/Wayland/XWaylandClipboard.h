#pragma once

#include "Platform/Wayland/PasteClipboard.h"

#include <memory>

class X11ClipboardService;
struct ClipboardSnapshot;

// The clipboard through XWayland's selection bridge: the X11 CLIPBOARD of the XWayland display
// (DISPLAY), which every major compositor mirrors to and from the Wayland clipboard. Used where
// the compositor offers no data-control interface; it needs XWayland running.
class XWaylandClipboard final : public PasteClipboard {
public:
    XWaylandClipboard();
    ~XWaylandClipboard() override;
    XWaylandClipboard(const XWaylandClipboard&) = delete;
    XWaylandClipboard& operator=(const XWaylandClipboard&) = delete;

    bool start() override;  // false without an X display
    bool isConnected() override;
    const char* name() const override { return "XWayland"; }

    Saved save(const SaveLimits& limits) override;
    uint64_t write(const QString& text, const std::optional<QString>& html) override;
    uint64_t rewrite(uint64_t ticket, const QString& text, const std::optional<QString>& html) override;
    bool giveBack(uint64_t ticket) override;
    bool release(uint64_t ticket) override;
    bool owns(uint64_t ticket) override;
    void forget() override;

private:
    std::unique_ptr<X11ClipboardService> m_service;
    std::unique_ptr<ClipboardSnapshot> m_kept;
};
