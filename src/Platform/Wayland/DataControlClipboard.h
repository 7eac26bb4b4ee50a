#pragma once

#include "Platform/Wayland/PasteClipboard.h"

#include <QByteArray>

#include <memory>
#include <vector>

class WaylandConnection;

// One format of a clipboard's contents: a MIME type and the bytes its owner gave for it.
struct ClipboardFormat {
    QByteArray mimeType;
    QByteArray data;
    bool operator==(const ClipboardFormat&) const = default;
};

// The Wayland clipboard through the compositor's data-control interface
// (zwlr_data_control_manager_v1, offered by wlroots compositors such as Sway): it reads and sets
// the seat's selection without a window or the keyboard focus. While a write of ours holds the
// clipboard, this object answers the other clients' requests for it from the connection's thread.
//
// Data-control has no way to take the clipboard only if nobody took it since; "still ours" is
// checked after a round trip, so a copy made in the last instant before a restore can be lost.
// The clipboard contents we hold go when the program quits: unlike X11 there is no clipboard
// manager hand-over.
class DataControlClipboard final : public PasteClipboard {
public:
    // How long another client may take to read a format we serve.
    static constexpr std::chrono::milliseconds kServeTimeout{5000};

    explicit DataControlClipboard(std::shared_ptr<WaylandConnection> connection);
    ~DataControlClipboard() override;
    DataControlClipboard(const DataControlClipboard&) = delete;
    DataControlClipboard& operator=(const DataControlClipboard&) = delete;

    bool start() override;  // false when the compositor offers no data-control or no seat
    bool isConnected() override;
    const char* name() const override { return "data-control"; }

    Saved save(const SaveLimits& limits) override;
    uint64_t write(const QString& text, const std::optional<QString>& html) override;
    uint64_t rewrite(uint64_t ticket, const QString& text, const std::optional<QString>& html) override;
    bool giveBack(uint64_t ticket) override;
    bool release(uint64_t ticket) override;
    bool owns(uint64_t ticket) override;
    void forget() override;

    // The formats a text is offered under, in order; the concealed mark comes last.
    static std::vector<ClipboardFormat> textFormats(const QString& text, const std::optional<QString>& html);
    // What a set of formats says about itself (the plain text, the concealed mark).
    static Saved describe(const std::vector<ClipboardFormat>& formats, bool complete);

private:
    struct Impl;
    std::shared_ptr<WaylandConnection> m_connection;
    std::unique_ptr<Impl> m_impl;  // lives on the connection's thread
};
