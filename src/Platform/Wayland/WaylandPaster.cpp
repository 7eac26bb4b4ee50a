#include "Platform/Wayland/WaylandPaster.h"

#include "Core/Formatting/TextUnits.h"
#include "Foundation/Logger.h"
#include "Models/AppClassification.h"
#include "Platform/LogCategories.h"
#include "Platform/TextInserter.h"
#include "Platform/Wayland/DataControlClipboard.h"
#include "Platform/Wayland/PasteChord.h"
#include "Platform/Wayland/WaylandConnection.h"
#include "Platform/Wayland/WaylandVirtualKeyboard.h"
#include "Platform/Wayland/XWaylandClipboard.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

int characters(const QString& text) { return int(TextUnits::characterCount(text)); }

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The ways to send the chord, best first: each paste takes the first that is available then (the
// portal's consent may come after start-up).
class ChordChain final : public PasteChord {
public:
    explicit ChordChain(std::vector<std::unique_ptr<PasteChord>> chords) : m_chords(std::move(chords)) {}
    bool isAvailable() override {
        return std::any_of(m_chords.begin(), m_chords.end(), [](const auto& chord) { return chord->isAvailable(); });
    }
    bool sendPaste(bool terminal) override {
        for (const auto& chord : m_chords)
            if (chord->isAvailable() && chord->sendPaste(terminal)) return true;
        return false;
    }
    QString unavailableReason() override {
        if (isAvailable()) return {};
        for (const auto& chord : m_chords)
            if (QString reason = chord->unavailableReason(); !reason.isEmpty()) return reason;
        return {};
    }

private:
    std::vector<std::unique_ptr<PasteChord>> m_chords;
};

constexpr auto kNoWayToSendKeys =
    "This desktop offers neither a remote desktop portal nor a virtual keyboard, so Vantrose cannot "
    "press the paste keys.";

}  // namespace

WaylandPaster::WaylandPaster(QString socket, FrontApp frontApp, std::unique_ptr<PasteChord> preferredChord)
    : m_socket(std::move(socket)),
      m_frontApp(std::move(frontApp)),
      m_preferredChord(std::move(preferredChord)) {}

WaylandPaster::WaylandPaster(std::unique_ptr<PasteClipboard> clipboard, std::unique_ptr<PasteChord> chord,
                             FrontApp frontApp)
    : m_frontApp(std::move(frontApp)),
      m_started(true),
      m_clipboard(std::move(clipboard)),
      m_chord(std::move(chord)) {
    if (m_clipboard && !m_clipboard->start()) {
        VLOG_WARNING(lcTextInserter) << "The clipboard cannot be used (" << m_clipboard->name() << ")";
        m_clipboard.reset();
    }
    if (m_chord && !m_chord->isAvailable()) m_chord.reset();
}

WaylandPaster::~WaylandPaster() = default;

void WaylandPaster::ensureStarted() {
    if (m_started) return;
    m_started = true;
    // The keyboard and the clipboard on connections of their own: a compositor that refuses the
    // virtual keyboard ends that connection with a protocol error, and the clipboard goes on.
    auto clipboardConnection = std::make_shared<WaylandConnection>(QStringLiteral("com.vantrose.wl-clipboard"));
    if (!clipboardConnection->connect(m_socket)) VLOG_WARNING(lcTextInserter) << "No Wayland compositor answers";
    auto dataControl = std::make_unique<DataControlClipboard>(clipboardConnection);
    if (clipboardConnection->isConnected() && dataControl->start()) {
        m_clipboard = std::move(dataControl);
    } else {
        auto bridge = std::make_unique<XWaylandClipboard>();
        if (bridge->start())
            m_clipboard = std::move(bridge);
        else
            VLOG_WARNING(lcTextInserter) << "Neither data-control nor XWayland: the clipboard cannot be used";
    }
    std::vector<std::unique_ptr<PasteChord>> chords;
    const bool portal = m_preferredChord != nullptr;
    if (m_preferredChord) chords.push_back(std::move(m_preferredChord));
    bool virtualKeyboard = false;
    auto keysConnection = std::make_shared<WaylandConnection>(QStringLiteral("com.vantrose.wl-keys"));
    if (keysConnection->connect(m_socket)) {
        auto keyboard = std::make_unique<WaylandVirtualKeyboard>(keysConnection);
        virtualKeyboard = keyboard->isAvailable();
        if (virtualKeyboard) chords.push_back(std::move(keyboard));
    }
    if (chords.size() == 1)
        m_chord = std::move(chords.front());
    else if (!chords.empty())
        m_chord = std::make_unique<ChordChain>(std::move(chords));
    const char* keys = portal && virtualKeyboard ? "the remote desktop portal, else the virtual keyboard"
                       : portal                  ? "the remote desktop portal"
                       : virtualKeyboard         ? "the virtual keyboard"
                                                 : "nothing";
    VLOG_INFO(lcTextInserter) << "Wayland paste: clipboard through " << (m_clipboard ? m_clipboard->name() : "nothing")
                              << ", keys through " << keys;
}

QString WaylandPaster::clipboardWay() const {
    return m_clipboard ? QString::fromLatin1(m_clipboard->name()) : QString();
}

std::optional<WaylandFrontApp> WaylandPaster::front() const { return m_frontApp ? m_frontApp() : std::nullopt; }

std::optional<PasteOutcome> WaylandPaster::lastOutcome() const {
    std::lock_guard lock(m_outcomeMutex);
    return m_latestOutcome;
}

WaylandPaster::Result WaylandPaster::paste(const QString& text, const std::optional<QString>& html) {
    ensureStarted();
    Result result;
    PasteOutcome& o = result.outcome;
    const auto t0 = std::chrono::steady_clock::now();
    const std::optional<WaylandFrontApp> appBefore = front();
    const bool terminal = appBefore && AppType::detect(appBefore->appId, appBefore->appName) == AppType::terminal;

    // Overlapping pastes: while an earlier paste still holds the clipboard, the user's copy is the
    // one kept then; the earlier text is not worth keeping.
    uint64_t ticket = 0;
    if (m_clipboard && m_holdsUserCopy && m_ticket) ticket = m_clipboard->rewrite(m_ticket, text, html);
    if (ticket) {
        o.clipboardSaved = true;
        o.clipboardLengthBefore = characters(m_writtenText);
    } else if (m_clipboard) {
        const PasteClipboard::SaveLimits limits{TextInserter::maxSavedBytes, TextInserter::maxSavedTargetBytes,
                                                TextInserter::saveBudget};
        m_saved = m_clipboard->save(limits);
        m_holdsUserCopy = true;
        o.clipboardSaved = m_clipboard->isConnected() && m_saved.complete;
        if (!m_saved.complete)
            VLOG_INFO(lcTextInserter) << "Some clipboard formats could not be saved (too large or too slow)";
        o.clipboardLengthBefore = characters(m_saved.plainText.value_or(QString()));
        ticket = m_clipboard->write(text, html);
    }

    o.clipboardWritten = o.clipboardWriteSuccessful = ticket != 0;
    if (ticket) {
        m_ticket = ticket;
        m_writtenText = text;
        o.clipboardLengthAfter = characters(text);
    } else {
        VLOG_WARNING(lcTextInserter) << "Could not take the clipboard; nothing pasted";
        o.clipboardLengthAfter = o.clipboardLengthBefore;
        if (!m_ticket && m_clipboard) {  // nothing of ours to undo
            m_clipboard->forget();
            m_holdsUserCopy = false;
        }
    }
    std::this_thread::sleep_for(1ms);

    if (ticket) {
        o.pasteSimulated = m_chord && m_chord->sendPaste(terminal);
        if (!o.pasteSimulated && (!m_reportedNoChord || m_chord)) {
            m_reportedNoChord = !m_chord;
            VLOG_WARNING(lcTextInserter) << (m_chord ? "The paste keys could not be sent"
                                                     : "The compositor offers no way to send the paste keys")
                                         << "; the text stays on the clipboard to paste by hand";
        }
    }
    const double pasteMs = millisecondsSince(t0);
    o.textLength = characters(text);
    o.hasPrivilegeIssues = !m_chord || !m_chord->isAvailable();
    // Never a silent lost dictation: the user hears where the text is.
    const QString kept = QStringLiteral(" The text is on the clipboard and in the history: press Ctrl+V to paste it.");
    if (ticket && !o.pasteSimulated) {
        o.userNotice = m_chord ? m_chord->unavailableReason() : QString();
        if (o.userNotice.isEmpty())
            o.userNotice = (m_chord ? QStringLiteral("Vantrose could not press the paste keys.")
                                    : QString::fromLatin1(kNoWayToSendKeys)) +
                           kept;
    } else if (!ticket) {
        o.userNotice =
            QStringLiteral("Vantrose could not use the clipboard, so nothing was pasted. The text is in the history.");
    }

    std::this_thread::sleep_for(20ms);
    const std::optional<WaylandFrontApp> appAfter = front();
    o.focusedControlChanged = (appBefore ? appBefore->appId : QString()) != (appAfter ? appAfter->appId : QString());

    o.pasteOutcomeMs = o.totalTimeMs = pasteMs;
    o.helperPasteProcessingMs = o.pasteOutcomeMs;
    o.success = o.clipboardWritten && o.pasteSimulated;

    if (ticket && o.pasteSimulated) {
        VLOG_INFO(lcTextInserter) << "Pasted in " << QString::number(o.pasteOutcomeMs, 'f', 0)
                                  << "ms — restoring clipboard async";
        result.generation = ++m_generation;
        result.scheduleRestore = true;
    } else if (ticket) {
        // The user pastes the text by hand: it stays, and so does any earlier restore's silence.
        m_clipboard->forget();
        m_holdsUserCopy = false;
        m_ticket = 0;
    }
    std::lock_guard lock(m_outcomeMutex);
    m_latestOutcome = o;
    m_lastOutcomeGeneration = result.generation;
    return result;
}

void WaylandPaster::restore(uint64_t generation) {
    if (generation != m_generation || !m_holdsUserCopy || !m_clipboard) return;  // a later paste restores instead
    bool restored = false;
    // Anyone else's copy since the paste is the user's newer one: it stays.
    const bool ours = m_clipboard->owns(m_ticket);
    if (ours && m_saved.empty) {
        m_clipboard->release(m_ticket);
        restored = true;
        VLOG_INFO(lcTextInserter) << "No saved clipboard to restore, cleared";
    } else if (ours && m_saved.concealed) {
        // A password manager's copy: it expires it itself; never bring it back.
        m_clipboard->release(m_ticket);
        restored = true;
        VLOG_INFO(lcTextInserter) << "Saved clipboard was marked secret; cleared instead of restoring";
    } else if (ours && m_clipboard->giveBack(m_ticket)) {
        restored = true;
    } else {
        VLOG_INFO(lcTextInserter) << "Clipboard changed since the paste; keeping the new copy";
    }
    m_clipboard->forget();
    m_holdsUserCopy = false;
    m_ticket = 0;
    m_writtenText.clear();
    if (!restored) return;
    std::lock_guard lock(m_outcomeMutex);
    if (m_latestOutcome && m_lastOutcomeGeneration <= generation) m_latestOutcome->clipboardRestored = true;
}
