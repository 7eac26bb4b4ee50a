#include "Platform/X11/X11ClipboardService.h"

#include "Foundation/Logger.h"
#include "Platform/LogCategories.h"

#include <algorithm>
#include <cstring>

namespace {

using SteadyClock = std::chrono::steady_clock;

// Data above this size goes out in pieces (the INCR protocol) instead of one property.
constexpr qsizetype kIncrThreshold = qsizetype{256} * 1024;
constexpr qsizetype kIncrChunk = qsizetype{64} * 1024;
// A requestor that stops taking pieces is given up after this long.
constexpr auto kTransferLifetime = std::chrono::seconds(10);
// How long quitting waits for a clipboard manager to copy the clipboard.
constexpr auto kHandOffBudget = std::chrono::milliseconds(1500);

// Targets that describe the selection rather than hold its content.
bool isMetaTarget(const QByteArray& name) {
    static const char* const kMeta[] = {"TARGETS",          "MULTIPLE",        "TIMESTAMP",   "DELETE",
                                        "INSERT_SELECTION", "INSERT_PROPERTY", "SAVE_TARGETS"};
    for (const char* m : kMeta)
        if (name == m) return true;
    return false;
}

}  // namespace

struct X11ClipboardService::Transfer {
    xcb_window_t requestor = 0;
    xcb_atom_t property = 0;
    xcb_atom_t type = 0;
    uint8_t format = 8;
    QByteArray data;
    qsizetype offset = 0;
    bool finished = false;
    SteadyClock::time_point started;
};

bool ClipboardSnapshot::isConcealed() const {
    for (const auto& item : items)
        if (item.target == X11ClipboardService::kConcealedTarget && item.data.trimmed() == "secret") return true;
    return false;
}

std::optional<QString> ClipboardSnapshot::plainText() const {
    for (const char* target : {"UTF8_STRING", "text/plain;charset=utf-8", "text/plain"})
        for (const auto& item : items)
            if (item.target == target) return QString::fromUtf8(item.data);
    for (const auto& item : items)
        if (item.target == "STRING") return QString::fromLatin1(item.data);
    return std::nullopt;
}

X11ClipboardService::X11ClipboardService(QByteArray selection)
    : XcbWorker(QStringLiteral("com.vantrose.clipboard")),
      m_selectionName(std::move(selection)) {}

X11ClipboardService::~X11ClipboardService() {
    handOffAtExit();
    stopWorker();
}

bool X11ClipboardService::start() { return startWorker(); }

void X11ClipboardService::onConnected() {
    m_selection = atom(m_selectionName.constData());
    m_property = atom("VANTROSE_SELECTION");
    m_timeProperty = atom("VANTROSE_TIMESTAMP");
    m_window = xcb_generate_id(m_connection);
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, m_window, m_root, -10, -10, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
}

std::vector<ClipboardItem> X11ClipboardService::textItems(const QString& text, bool concealed,
                                                          const std::optional<QString>& html) {
    const QByteArray utf8 = text.toUtf8();
    std::vector<ClipboardItem> items{
        {"UTF8_STRING", "UTF8_STRING", 8, utf8},
        {"text/plain;charset=utf-8", "text/plain;charset=utf-8", 8, utf8},
        {"text/plain", "text/plain", 8, utf8},
        {"TEXT", "UTF8_STRING", 8, utf8},
    };
    // STRING is Latin-1; offer it only when the text fits.
    bool latin1 = true;
    for (QChar c : text)
        if (c.unicode() > 0xff) latin1 = false;
    if (latin1) items.push_back({"STRING", "STRING", 8, text.toLatin1()});
    if (html) items.push_back({"text/html", "text/html", 8, html->toUtf8()});
    if (concealed) items.push_back({kConcealedTarget, kConcealedTarget, 8, "secret"});
    return items;
}

xcb_timestamp_t X11ClipboardService::serverTime() {
    // A zero-length append produces a PropertyNotify stamped with the server's time.
    xcb_change_property(m_connection, XCB_PROP_MODE_APPEND, m_window, m_timeProperty, XCB_ATOM_STRING, 8, 0, "");
    const xcb_window_t window = m_window;
    const xcb_atom_t prop = m_timeProperty;
    const auto ev = waitForEvent(
        [window, prop](xcb_generic_event_t* e) {
            if ((e->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
            auto* p = reinterpret_cast<xcb_property_notify_event_t*>(e);
            return p->window == window && p->atom == prop;
        },
        SteadyClock::now() + std::chrono::seconds(2));
    xcb_timestamp_t t = XCB_CURRENT_TIME;
    if (ev) t = reinterpret_cast<const xcb_property_notify_event_t*>(ev.get())->time;
    return t;
}

bool X11ClipboardService::ownerIsUs() {
    const auto reply = xcbOwned(
        xcb_get_selection_owner_reply(m_connection, xcb_get_selection_owner(m_connection, m_selection), nullptr));
    return reply && reply->owner == m_window;
}

uint64_t X11ClipboardService::setContents(std::vector<ClipboardItem> items) {
    if (!isConnected()) return 0;
    return call([this, items = std::move(items)]() mutable -> uint64_t {
        const xcb_timestamp_t time = serverTime();
        m_items = std::move(items);
        m_ownTime = time;
        m_ownedTicket = 0;
        xcb_set_selection_owner(m_connection, m_window, m_selection, time);
        if (!ownerIsUs()) {
            m_items.clear();
            return 0;
        }
        m_ownedTicket = ++m_nextTicket;
        return m_ownedTicket;
    });
}

uint64_t X11ClipboardService::replaceContents(uint64_t ticket, std::vector<ClipboardItem> items) {
    if (!isConnected() || ticket == 0) return 0;
    return call([this, ticket, items = std::move(items)]() mutable -> uint64_t {
        dispatchPending();
        if (m_ownedTicket != ticket) return 0;
        xcb_set_selection_owner(m_connection, m_window, m_selection, m_ownTime);
        const bool ours = ownerIsUs();
        dispatchPending();
        if (!ours || m_ownedTicket != ticket) return 0;
        m_items = std::move(items);
        m_ownedTicket = ++m_nextTicket;
        return m_ownedTicket;
    });
}

bool X11ClipboardService::owns(uint64_t ticket) {
    if (!isConnected() || ticket == 0) return false;
    return call([this, ticket] {
        const bool ours = ownerIsUs();  // a round trip: any SelectionClear is queued by now
        dispatchPending();
        return ours && m_ownedTicket == ticket;
    });
}

bool X11ClipboardService::release(uint64_t ticket) {
    if (!isConnected() || ticket == 0) return false;
    return call([this, ticket] {
        dispatchPending();
        if (!ownerIsUs() || m_ownedTicket != ticket) return false;
        // With our own ownership time, the server ignores this if anyone took it since.
        xcb_set_selection_owner(m_connection, XCB_NONE, m_selection, m_ownTime);
        // A round trip, so the release has happened for every other client once this returns.
        xcbOwned(
            xcb_get_selection_owner_reply(m_connection, xcb_get_selection_owner(m_connection, m_selection), nullptr));
        m_ownedTicket = 0;
        m_items.clear();
        return true;
    });
}

ClipboardSnapshot X11ClipboardService::snapshot(qint64 maxBytes, std::chrono::milliseconds budget,
                                                qint64 maxTargetBytes) {
    if (!isConnected()) return {};
    if (maxTargetBytes < 0 || maxTargetBytes > maxBytes) maxTargetBytes = maxBytes;
    return call([this, maxBytes, maxTargetBytes, budget] {
        ClipboardSnapshot snap;
        const auto deadline = SteadyClock::now() + budget;
        const auto ownerReply = xcbOwned(
            xcb_get_selection_owner_reply(m_connection, xcb_get_selection_owner(m_connection, m_selection), nullptr));
        const xcb_window_t owner = ownerReply ? ownerReply->owner : XCB_NONE;
        if (owner == XCB_NONE) return snap;
        snap.hadOwner = true;
        if (owner == m_window) {
            snap.items = m_items;
            return snap;
        }

        std::vector<xcb_atom_t> targets;
        if (auto list = readTarget(atom("TARGETS"), qint64{64} * 1024, deadline); list && list->format == 32) {
            const auto* atoms = reinterpret_cast<const xcb_atom_t*>(list->data.constData());
            targets.assign(atoms, atoms + list->data.size() / 4);
            if (targets.size() > size_t(maxTargets)) {
                // Naming each target costs a round trip: past the cap only the text ones count.
                std::vector<xcb_atom_t> kept(targets.begin(), targets.begin() + maxTargets);
                for (const char* text : {"UTF8_STRING", "text/plain;charset=utf-8", "text/plain", "STRING"}) {
                    const xcb_atom_t textAtom = atom(text);
                    if (std::find(targets.begin() + maxTargets, targets.end(), textAtom) != targets.end())
                        kept.push_back(textAtom);
                }
                targets = std::move(kept);
                snap.complete = false;
            }
        } else {
            // An owner that cannot list its targets: try the usual text ones.
            targets = {atom("UTF8_STRING"), atom("STRING")};
            snap.complete = false;
        }

        qint64 used = 0;
        std::vector<xcb_atom_t> seen;
        for (xcb_atom_t target : targets) {
            if (target == XCB_ATOM_NONE || std::find(seen.begin(), seen.end(), target) != seen.end()) continue;
            seen.push_back(target);
            const QByteArray name = atomName(target);
            if (name.isEmpty() || isMetaTarget(name)) continue;
            if (SteadyClock::now() >= deadline || used >= maxBytes) {
                snap.complete = false;
                break;
            }
            auto item = readTarget(target, std::min(maxTargetBytes, maxBytes - used), deadline);
            if (!item) {
                snap.complete = false;
                continue;
            }
            item->target = name;
            used += item->data.size();
            snap.items.push_back(std::move(*item));
        }
        return snap;
    });
}

std::optional<ClipboardItem> X11ClipboardService::readTarget(xcb_atom_t target, qint64 cap,
                                                             SteadyClock::time_point deadline) {
    xcb_delete_property(m_connection, m_window, m_property);
    xcb_convert_selection(m_connection, m_window, m_selection, target, m_property, XCB_CURRENT_TIME);
    const xcb_window_t window = m_window;
    const xcb_atom_t selection = m_selection;
    const auto ev = waitForEvent(
        [window, selection](xcb_generic_event_t* e) {
            if ((e->response_type & 0x7f) != XCB_SELECTION_NOTIFY) return false;
            auto* n = reinterpret_cast<xcb_selection_notify_event_t*>(e);
            return n->requestor == window && n->selection == selection;
        },
        deadline);
    if (!ev) return std::nullopt;
    const xcb_atom_t property = reinterpret_cast<const xcb_selection_notify_event_t*>(ev.get())->property;
    if (property == XCB_NONE) return std::nullopt;

    auto fetch = [&](ClipboardItem& out, bool& incr) -> bool {
        const auto reply = xcbOwned(
            xcb_get_property_reply(m_connection,
                                   xcb_get_property(m_connection, 1, m_window, m_property, XCB_GET_PROPERTY_TYPE_ANY, 0,
                                                    uint32_t(std::min<qint64>(cap / 4 + 1, 0x3fffffff))),
                                   nullptr));
        if (!reply) return false;
        const bool ok = reply->bytes_after == 0;
        incr = reply->type == atom("INCR");
        if (ok && !incr) {
            out.type = atomName(reply->type);
            out.format = reply->format ? reply->format : 8;
            out.data.append(static_cast<const char*>(xcb_get_property_value(reply.get())),
                            xcb_get_property_value_length(reply.get()));  // in bytes
        }
        return ok;
    };

    ClipboardItem item;
    bool incr = false;
    if (!fetch(item, incr)) return std::nullopt;
    if (!incr) return item;

    // Incremental transfer: the owner writes pieces as we delete them; an empty piece ends it.
    const xcb_atom_t prop = m_property;
    for (;;) {
        const auto pe = waitForEvent(
            [window, prop](xcb_generic_event_t* e) {
                if ((e->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
                auto* p = reinterpret_cast<xcb_property_notify_event_t*>(e);
                return p->window == window && p->atom == prop && p->state == XCB_PROPERTY_NEW_VALUE;
            },
            deadline);
        if (!pe) {
            abandonTransfer();
            return std::nullopt;
        }
        const qsizetype before = item.data.size();
        bool again = false;
        if (!fetch(item, again) || again) {
            abandonTransfer();
            return std::nullopt;
        }
        if (item.data.size() > cap) {
            abandonTransfer();
            return std::nullopt;
        }
        if (item.data.size() == before) return item;
    }
}

void X11ClipboardService::abandonTransfer() {
    // An owner in the middle of an incremental transfer writes its next piece whenever the
    // property is deleted. Leaving it in place stalls that owner until it gives up; later reads go
    // to another property, so no stale piece is taken for another target's data. A few names in
    // turn: atoms live as long as the X server, and a stalled owner gives up within seconds.
    m_propertyGeneration = (m_propertyGeneration + 1) % 16;
    m_property = atom(QByteArray("VANTROSE_SELECTION_") + QByteArray::number(m_propertyGeneration));
}

void X11ClipboardService::handleEvent(xcb_generic_event_t* event) {
    switch (event->response_type & 0x7f) {
    case XCB_SELECTION_REQUEST: answerRequest(reinterpret_cast<xcb_selection_request_event_t*>(event)); break;
    case XCB_SELECTION_CLEAR: {
        auto* clear = reinterpret_cast<xcb_selection_clear_event_t*>(event);
        if (clear->selection == m_selection && clear->owner == m_window && m_ownedTicket &&
            (clear->time == XCB_CURRENT_TIME || clear->time >= m_ownTime)) {
            m_ownedTicket = 0;
            m_items.clear();
        }
        break;
    }
    case XCB_PROPERTY_NOTIFY: continueTransfers(reinterpret_cast<xcb_property_notify_event_t*>(event)); break;
    default: break;
    }
}

bool X11ClipboardService::convertTo(xcb_window_t requestor, xcb_atom_t target, xcb_atom_t property) {
    if (target == atom("TARGETS")) {
        std::vector<xcb_atom_t> targets{atom("TARGETS"), atom("TIMESTAMP"), atom("MULTIPLE")};
        for (const auto& item : m_items) targets.push_back(atom(item.target.constData()));
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, requestor, property, XCB_ATOM_ATOM, 32, targets.size(),
                            targets.data());
        return true;
    }
    if (target == atom("TIMESTAMP")) {
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, requestor, property, XCB_ATOM_INTEGER, 32, 1,
                            &m_ownTime);
        return true;
    }
    const QByteArray name = atomName(target);
    for (const auto& item : m_items) {
        if (item.target != name) continue;
        const xcb_atom_t type = atom(item.type.isEmpty() ? item.target.constData() : item.type.constData());
        const uint8_t format = (item.format == 16 || item.format == 32) ? item.format : 8;
        if (item.data.size() > kIncrThreshold) {
            const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
            xcb_change_window_attributes(m_connection, requestor, XCB_CW_EVENT_MASK, &mask);
            const uint32_t size = uint32_t(item.data.size());
            xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, requestor, property, atom("INCR"), 32, 1, &size);
            auto t = std::make_unique<Transfer>();
            t->requestor = requestor;
            t->property = property;
            t->type = type;
            t->format = format;
            t->data = item.data;
            t->started = SteadyClock::now();
            m_transfers.push_back(std::move(t));
        } else {
            xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, requestor, property, type, format,
                                item.data.size() / (format / 8), item.data.constData());
        }
        return true;
    }
    return false;
}

void X11ClipboardService::answerRequest(const xcb_selection_request_event_t* req) {
    xcb_selection_notify_event_t reply{};
    reply.response_type = XCB_SELECTION_NOTIFY;
    reply.time = req->time;
    reply.requestor = req->requestor;
    reply.selection = req->selection;
    reply.target = req->target;
    reply.property = XCB_NONE;

    const xcb_atom_t property = req->property == XCB_NONE ? req->target : req->property;
    const bool valid = req->selection == m_selection && req->owner == m_window && m_ownedTicket &&
                       (req->time == XCB_CURRENT_TIME || req->time >= m_ownTime);
    if (valid && req->target == atom("MULTIPLE")) {
        // Several targets at once (clipboard managers ask so): the property lists (target,
        // property) pairs; a target that cannot be given is answered by None in its pair.
        if (req->property != XCB_NONE) {
            const auto pairsReply = xcbOwned(xcb_get_property_reply(
                m_connection,
                xcb_get_property(m_connection, 0, req->requestor, req->property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024),
                nullptr));
            if (pairsReply && pairsReply->format == 32) {
                const auto* begin = static_cast<const xcb_atom_t*>(xcb_get_property_value(pairsReply.get()));
                std::vector<xcb_atom_t> pairs(begin, begin + xcb_get_property_value_length(pairsReply.get()) / 4);
                pairs.resize(pairs.size() & ~size_t(1));
                for (size_t i = 0; i < pairs.size(); i += 2) {
                    const bool ok = pairs[i + 1] != XCB_NONE && pairs[i] != atom("MULTIPLE") &&
                                    convertTo(req->requestor, pairs[i], pairs[i + 1]);
                    if (!ok) pairs[i] = XCB_NONE;
                }
                xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, req->requestor, req->property,
                                    pairsReply->type, 32, pairs.size(), pairs.data());
                reply.property = req->property;
            }
        }
    } else if (valid && convertTo(req->requestor, req->target, property)) {
        reply.property = property;
    }
    xcb_send_event(m_connection, 0, req->requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&reply));
    xcb_flush(m_connection);
}

void X11ClipboardService::handOffAtExit() {
    if (!isConnected() || m_selectionName != "CLIPBOARD") return;
    call([this] {
        dispatchPending();
        if (!m_ownedTicket || m_items.empty() || !ownerIsUs()) return;
        ClipboardSnapshot held;
        held.items = m_items;
        if (held.isConcealed()) {
            // A password manager's copy is never handed to a manager's history.
            xcb_set_selection_owner(m_connection, XCB_NONE, m_selection, m_ownTime);
            xcb_flush(m_connection);
            return;
        }
        const xcb_atom_t manager = atom("CLIPBOARD_MANAGER");
        const auto ownerReply = xcbOwned(
            xcb_get_selection_owner_reply(m_connection, xcb_get_selection_owner(m_connection, manager), nullptr));
        const bool managed = ownerReply && ownerReply->owner != XCB_NONE;
        if (!managed) {
            // Nothing can keep the contents once we are gone: leave a plainly empty clipboard
            // rather than one owned by a window about to vanish.
            VLOG_WARNING(lcClipboard) << "No clipboard manager is running; the clipboard empties as Vantrose quits";
            xcb_set_selection_owner(m_connection, XCB_NONE, m_selection, m_ownTime);
            xcb_flush(m_connection);
            return;
        }
        // The ICCCM hand-off: the manager copies the listed targets from us, takes the selection
        // itself and then answers on our window.
        std::vector<xcb_atom_t> targets;
        for (const auto& item : m_items) targets.push_back(atom(item.target.constData()));
        const xcb_atom_t property = atom("VANTROSE_SAVE_TARGETS");
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, m_window, property, XCB_ATOM_ATOM, 32, targets.size(),
                            targets.data());
        xcb_convert_selection(m_connection, m_window, manager, atom("SAVE_TARGETS"), property, XCB_CURRENT_TIME);
        const xcb_window_t window = m_window;
        const auto ev = waitForEvent(
            [window, manager](xcb_generic_event_t* e) {
                if ((e->response_type & 0x7f) != XCB_SELECTION_NOTIFY) return false;
                auto* n = reinterpret_cast<xcb_selection_notify_event_t*>(e);
                return n->requestor == window && n->selection == manager;
            },
            SteadyClock::now() + kHandOffBudget);
        const bool saved = ev && reinterpret_cast<const xcb_selection_notify_event_t*>(ev.get())->property != XCB_NONE;
        if (saved)
            VLOG_INFO(lcClipboard) << "Handed the clipboard to the clipboard manager";
        else
            VLOG_WARNING(lcClipboard) << "The clipboard manager did not take the clipboard";
    });
}

void X11ClipboardService::continueTransfers(const xcb_property_notify_event_t* notify) {
    const auto now = SteadyClock::now();
    for (auto it = m_transfers.begin(); it != m_transfers.end();) {
        Transfer& t = **it;
        if (now - t.started > kTransferLifetime) {
            it = m_transfers.erase(it);
            continue;
        }
        if (notify->state == XCB_PROPERTY_DELETE && notify->window == t.requestor && notify->atom == t.property) {
            const qsizetype unit = t.format / 8;
            qsizetype len = std::min(kIncrChunk, t.data.size() - t.offset);
            len -= len % unit;
            xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, t.requestor, t.property, t.type, t.format,
                                len / unit, t.data.constData() + t.offset);
            xcb_flush(m_connection);
            t.offset += len;
            if (len == 0) {
                const uint32_t none = XCB_EVENT_MASK_NO_EVENT;
                xcb_change_window_attributes(m_connection, t.requestor, XCB_CW_EVENT_MASK, &none);
                it = m_transfers.erase(it);
                continue;
            }
        }
        ++it;
    }
}
