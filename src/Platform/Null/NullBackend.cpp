#include "Platform/Null/NullBackend.h"

#include "Core/Formatting/TextUnits.h"
#include "Core/LogCategories.h"
#include "Foundation/Logger.h"
#include "Platform/LogCategories.h"

#include <mutex>

namespace {

const char* const kNoDisplay = "no X11 display (DISPLAY is not set)";

class NullWindowTracker final : public AbstractWindowTracker {
public:
    bool start(Handler) override { return false; }
    void stop() override {}
    std::optional<ActiveWindowInfo> latest() const override { return std::nullopt; }
    std::optional<ActiveWindowInfo> queryNow() override { return std::nullopt; }
};

class NullKeySource final : public AbstractKeySource {
public:
    bool start(Handler, Method, std::function<void()>) override { return false; }
    void stop() override {}
    QString lastError() const override { return QString::fromLatin1(kNoDisplay); }
};

// Nothing is written or sent; the outcome says so, and that the desktop refused the paste.
class NullPasteWorker final : public AbstractPasteWorker {
public:
    Result paste(const QString& text, const std::optional<QString>&) override {
        Result result;
        result.outcome.textLength = int(TextUnits::characterCount(text));
        result.outcome.hasPrivilegeIssues = true;
        VLOG_WARNING(lcTextInserter) << "No X11 display; nothing can be pasted";
        std::lock_guard lock(m_mutex);
        m_last = result.outcome;
        return result;
    }
    void restore(uint64_t) override {}
    void restorePending() override {}
    std::optional<PasteOutcome> lastOutcome() const override {
        std::lock_guard lock(m_mutex);
        return m_last;
    }

private:
    mutable std::mutex m_mutex;
    std::optional<PasteOutcome> m_last;
};

}  // namespace

std::optional<QString> NullBackend::unavailableReason() const {
    return QStringLiteral(
        "No display: neither WAYLAND_DISPLAY nor DISPLAY is set. Vantrose needs a Wayland (with XWayland) or X11 "
        "session.");
}

std::unique_ptr<AbstractWindowTracker> NullBackend::makeWindowTracker() {
    return std::make_unique<NullWindowTracker>();
}

std::unique_ptr<AbstractKeySource> NullBackend::makeKeySource() { return std::make_unique<NullKeySource>(); }

std::unique_ptr<AbstractPasteWorker> NullBackend::makePasteWorker() { return std::make_unique<NullPasteWorker>(); }

void NullBackend::simulateKeyPress(uint16_t keyCode, uint64_t) {
    VLOG_WARNING(lcKeyboardMonitor) << QStringLiteral("Failed to create XTest event for keycode %1").arg(keyCode);
}

std::optional<QImage> NullBackend::grabMonitorUnderPointer(QString* error) {
    if (error) *error = QString::fromLatin1(kNoDisplay);
    return std::nullopt;
}
