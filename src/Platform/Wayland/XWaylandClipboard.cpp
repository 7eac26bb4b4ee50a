#include "Platform/Wayland/XWaylandClipboard.h"

#include "Platform/X11/X11ClipboardService.h"

XWaylandClipboard::XWaylandClipboard() : m_service(std::make_unique<X11ClipboardService>()) {}

XWaylandClipboard::~XWaylandClipboard() = default;

bool XWaylandClipboard::start() { return m_service->isConnected() || m_service->start(); }

bool XWaylandClipboard::isConnected() { return m_service->isConnected(); }

PasteClipboard::Saved XWaylandClipboard::save(const SaveLimits& limits) {
    m_kept =
        std::make_unique<ClipboardSnapshot>(m_service->snapshot(limits.maxBytes, limits.budget, limits.maxFormatBytes));
    Saved saved;
    saved.complete = m_service->isConnected() && m_kept->complete;
    saved.empty = m_kept->isEmpty();
    saved.concealed = m_kept->isConcealed();
    saved.plainText = m_kept->plainText();
    return saved;
}

uint64_t XWaylandClipboard::write(const QString& text, const std::optional<QString>& html) {
    return m_service->setContents(X11ClipboardService::textItems(text, /*concealed=*/true, html));
}

uint64_t XWaylandClipboard::rewrite(uint64_t ticket, const QString& text, const std::optional<QString>& html) {
    return m_service->replaceContents(ticket, X11ClipboardService::textItems(text, /*concealed=*/true, html));
}

bool XWaylandClipboard::giveBack(uint64_t ticket) {
    std::unique_ptr<ClipboardSnapshot> kept = std::move(m_kept);
    return kept && m_service->replaceContents(ticket, std::move(kept->items)) != 0;
}

bool XWaylandClipboard::release(uint64_t ticket) { return m_service->release(ticket); }

bool XWaylandClipboard::owns(uint64_t ticket) { return m_service->owns(ticket); }

void XWaylandClipboard::forget() { m_kept.reset(); }
