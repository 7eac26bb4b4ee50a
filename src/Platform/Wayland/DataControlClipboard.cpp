#include "Platform/Wayland/DataControlClipboard.h"

#include "Foundation/Logger.h"
#include "Platform/LogCategories.h"
#include "Platform/Wayland/WaylandConnection.h"

#include <wayland-client.h>
#include <wlr-data-control-unstable-v1-client-protocol.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <map>

namespace {

using Clock = std::chrono::steady_clock;

// The plain-text formats, best first; what X11 owners bridged by XWayland call them included.
constexpr const char* kUtf8TextFormats[] = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "TEXT"};

enum class ReadResult { Done, TooLarge, TimedOut, Failed };

// Reads the pipe until the writer closes it, up to `cap` bytes and the deadline.
ReadResult readAll(int fd, qint64 cap, Clock::time_point deadline, QByteArray* out) {
    char buffer[65536];
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return ReadResult::TimedOut;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, int(std::min<long long>(left, 1000)));
        if (ready < 0 && errno != EINTR) return ReadResult::Failed;
        if (ready <= 0) continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) return ReadResult::Done;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return ReadResult::Failed;
        }
        if (out->size() + n > cap) return ReadResult::TooLarge;
        out->append(buffer, n);
    }
}

}  // namespace

struct DataControlClipboard::Impl {
    struct Source {
        uint64_t ticket = 0;
        std::vector<ClipboardFormat> formats;
    };

    WaylandConnection& connection;
    zwlr_data_control_manager_v1* manager = nullptr;
    wl_seat* seat = nullptr;
    zwlr_data_control_device_v1* device = nullptr;

    // Offers announced but not yet made the selection, with the MIME types they listed.
    std::map<zwlr_data_control_offer_v1*, std::vector<QByteArray>> announced;
    zwlr_data_control_offer_v1* selection = nullptr;  // the clipboard's offer; null when empty
    std::vector<QByteArray> selectionTypes;

    std::map<zwlr_data_control_source_v1*, Source> sources;  // ours, until cancelled
    uint64_t ownedTicket = 0;                                // the write that holds the clipboard
    uint64_t nextTicket = 0;

    std::vector<ClipboardFormat> kept;  // the user's clipboard, kept for giveBack()

    explicit Impl(WaylandConnection& c) : connection(c) {}

    ~Impl() {
        for (auto& [offer, types] : announced) zwlr_data_control_offer_v1_destroy(offer);
        if (selection) zwlr_data_control_offer_v1_destroy(selection);
        for (auto& [source, state] : sources) zwlr_data_control_source_v1_destroy(source);
        if (device) zwlr_data_control_device_v1_destroy(device);
        if (manager) zwlr_data_control_manager_v1_destroy(manager);
        if (seat) wl_seat_destroy(seat);
        connection.flush();
    }

    bool start() {
        if (device) return true;
        if (!connection.isConnected()) return false;
        manager = static_cast<zwlr_data_control_manager_v1*>(
            connection.bind(&zwlr_data_control_manager_v1_interface, 1));  // 2 adds the primary selection: unused
        seat = static_cast<wl_seat*>(connection.bind(&wl_seat_interface, 1));
        if (!manager || !seat) return false;
        static const zwlr_data_control_device_v1_listener deviceListener = {
            .data_offer = &Impl::onDataOffer,
            .selection = &Impl::onSelection,
            .finished = &Impl::onFinished,
            .primary_selection = &Impl::onPrimarySelection,
        };
        device = zwlr_data_control_manager_v1_get_data_device(manager, seat);
        zwlr_data_control_device_v1_add_listener(device, &deviceListener, this);
        // The first selection event comes with the device.
        return connection.roundtrip();
    }

    bool usable() const { return device && connection.isConnected(); }

    static void onDataOffer(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
        static const zwlr_data_control_offer_v1_listener offerListener = {
            .offer =
                [](void* data, zwlr_data_control_offer_v1* offer, const char* mimeType) {
                    auto* self = static_cast<Impl*>(data);
                    auto it = self->announced.find(offer);
                    if (it != self->announced.end() && it->second.size() < 1024) it->second.emplace_back(mimeType);
                },
        };
        auto* self = static_cast<Impl*>(data);
        self->announced[offer];
        zwlr_data_control_offer_v1_add_listener(offer, &offerListener, self);
    }

    static void onSelection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
        auto* self = static_cast<Impl*>(data);
        if (self->selection && self->selection != offer) zwlr_data_control_offer_v1_destroy(self->selection);
        self->selection = offer;
        self->selectionTypes.clear();
        auto it = self->announced.find(offer);
        if (it != self->announced.end()) {
            self->selectionTypes = std::move(it->second);
            self->announced.erase(it);
        }
    }

    static void onPrimarySelection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
        // Bound at version 1 this never comes; an offer for the primary selection is not ours to keep.
        auto* self = static_cast<Impl*>(data);
        if (!offer) return;
        self->announced.erase(offer);
        zwlr_data_control_offer_v1_destroy(offer);
    }

    static void onFinished(void* data, zwlr_data_control_device_v1*) {
        auto* self = static_cast<Impl*>(data);
        VLOG_WARNING(lcClipboard) << "The compositor withdrew the data-control device";
        zwlr_data_control_device_v1_destroy(self->device);
        self->device = nullptr;
    }

    static void onSend(void* data, zwlr_data_control_source_v1* source, const char* mimeType, int32_t fd) {
        auto* self = static_cast<Impl*>(data);
        auto it = self->sources.find(source);
        if (it != self->sources.end()) {
            for (const ClipboardFormat& f : it->second.formats) {
                if (f.mimeType == mimeType) {
                    self->connection.writeInBackground(fd, f.data, kServeTimeout);
                    return;
                }
            }
        }
        ::close(fd);
    }

    static void onCancelled(void* data, zwlr_data_control_source_v1* source) {
        auto* self = static_cast<Impl*>(data);
        auto it = self->sources.find(source);
        if (it != self->sources.end()) {
            if (it->second.ticket == self->ownedTicket) self->ownedTicket = 0;
            self->sources.erase(it);
        }
        zwlr_data_control_source_v1_destroy(source);
    }

    // Offers `formats` as the clipboard; the new write's ticket, 0 when the connection is gone.
    uint64_t setSelection(std::vector<ClipboardFormat> formats) {
        if (!usable()) return 0;
        static const zwlr_data_control_source_v1_listener sourceListener = {
            .send = &Impl::onSend,
            .cancelled = &Impl::onCancelled,
        };
        zwlr_data_control_source_v1* source = zwlr_data_control_manager_v1_create_data_source(manager);
        zwlr_data_control_source_v1_add_listener(source, &sourceListener, this);
        for (const ClipboardFormat& f : formats) zwlr_data_control_source_v1_offer(source, f.mimeType.constData());
        const uint64_t ticket = ++nextTicket;
        sources.emplace(source, Source{ticket, std::move(formats)});
        zwlr_data_control_device_v1_set_selection(device, source);
        ownedTicket = ticket;
        // The previous source of ours (if any) hears it was cancelled during this round trip.
        if (!connection.roundtrip()) return 0;
        return ownedTicket == ticket ? ticket : 0;
    }

    bool owns(uint64_t ticket) {
        if (ticket == 0 || !usable()) return false;
        // Hear of any copy made since (our source's cancelled event) before answering.
        return connection.roundtrip() && ownedTicket == ticket;
    }

    bool clear(uint64_t ticket) {
        if (!owns(ticket)) return false;
        zwlr_data_control_device_v1_set_selection(device, nullptr);
        ownedTicket = 0;
        return connection.roundtrip();
    }

    Saved save(const SaveLimits& limits) {
        kept.clear();
        if (!usable() || !connection.roundtrip()) return describe(kept, false);
        if (ownedTicket) {
            // Our own write holds the clipboard: reading it would wait on ourselves.
            for (const auto& [source, state] : sources)
                if (state.ticket == ownedTicket) kept = state.formats;
            return describe(kept, true);
        }
        bool complete = true;
        if (!selection) return describe(kept, complete);
        const auto deadline = Clock::now() + limits.budget;
        qint64 total = 0;
        for (const QByteArray& type : selectionTypes) {
            if (Clock::now() >= deadline || total >= limits.maxBytes) {
                complete = false;
                break;
            }
            int fds[2];
            if (pipe2(fds, O_CLOEXEC) != 0) {
                complete = false;
                break;
            }
            zwlr_data_control_offer_v1_receive(selection, type.constData(), fds[1]);
            ::close(fds[1]);  // the request carries a duplicate; EOF comes when the owner closes its copy
            if (!connection.flush()) {
                ::close(fds[0]);
                complete = false;
                break;
            }
            QByteArray data;
            const qint64 cap = std::min(limits.maxFormatBytes, limits.maxBytes - total);
            const ReadResult result = readAll(fds[0], cap, deadline, &data);
            ::close(fds[0]);
            if (result != ReadResult::Done) {
                complete = false;
                if (result == ReadResult::TooLarge) continue;  // the other formats are still worth keeping
                break;
            }
            total += data.size();
            kept.push_back(ClipboardFormat{type, std::move(data)});
        }
        return describe(kept, complete);
    }
};

DataControlClipboard::DataControlClipboard(std::shared_ptr<WaylandConnection> connection)
    : m_connection(std::move(connection)),
      m_impl(std::make_unique<Impl>(*m_connection)) {}

DataControlClipboard::~DataControlClipboard() {
    m_connection->call([this] { m_impl.reset(); });
}

bool DataControlClipboard::start() {
    return m_connection->call([this] { return m_impl->start(); });
}

bool DataControlClipboard::isConnected() {
    return m_connection->call([this] { return m_impl->usable(); });
}

PasteClipboard::Saved DataControlClipboard::save(const SaveLimits& limits) {
    return m_connection->call([this, &limits] { return m_impl->save(limits); });
}

uint64_t DataControlClipboard::write(const QString& text, const std::optional<QString>& html) {
    auto formats = textFormats(text, html);
    return m_connection->call([this, &formats] { return m_impl->setSelection(std::move(formats)); });
}

uint64_t DataControlClipboard::rewrite(uint64_t ticket, const QString& text, const std::optional<QString>& html) {
    auto formats = textFormats(text, html);
    return m_connection->call([this, ticket, &formats] {
        return m_impl->owns(ticket) ? m_impl->setSelection(std::move(formats)) : uint64_t{0};
    });
}

bool DataControlClipboard::giveBack(uint64_t ticket) {
    return m_connection->call([this, ticket] {
        std::vector<ClipboardFormat> formats = std::move(m_impl->kept);
        m_impl->kept.clear();
        return m_impl->owns(ticket) && m_impl->setSelection(std::move(formats)) != 0;
    });
}

bool DataControlClipboard::release(uint64_t ticket) {
    return m_connection->call([this, ticket] { return m_impl->clear(ticket); });
}

bool DataControlClipboard::owns(uint64_t ticket) {
    return m_connection->call([this, ticket] { return m_impl->owns(ticket); });
}

void DataControlClipboard::forget() {
    m_connection->call([this] { m_impl->kept.clear(); });
}

std::vector<ClipboardFormat> DataControlClipboard::textFormats(const QString& text,
                                                               const std::optional<QString>& html) {
    const QByteArray utf8 = text.toUtf8();
    std::vector<ClipboardFormat> formats;
    for (const char* type : kUtf8TextFormats) formats.push_back({type, utf8});
    // STRING is Latin-1; offer it only when the text fits.
    const bool latin1 = std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() <= 0xff; });
    if (latin1) formats.push_back({"STRING", text.toLatin1()});
    if (html) formats.push_back({"text/html", html->toUtf8()});
    formats.push_back({kConcealedFormat, "secret"});
    return formats;
}

PasteClipboard::Saved DataControlClipboard::describe(const std::vector<ClipboardFormat>& formats, bool complete) {
    Saved saved;
    saved.complete = complete;
    saved.empty = formats.empty();
    for (const ClipboardFormat& f : formats)
        if (f.mimeType == kConcealedFormat && f.data.trimmed() == "secret") saved.concealed = true;
    for (const char* type : kUtf8TextFormats) {
        auto it = std::find_if(formats.begin(), formats.end(),
                               [type](const ClipboardFormat& f) { return f.mimeType == type; });
        if (it != formats.end()) {
            saved.plainText = QString::fromUtf8(it->data);
            return saved;
        }
    }
    auto latin1 =
        std::find_if(formats.begin(), formats.end(), [](const ClipboardFormat& f) { return f.mimeType == "STRING"; });
    if (latin1 != formats.end()) saved.plainText = QString::fromLatin1(latin1->data);
    return saved;
}
