#include "support/KeyboardMonitorProperties.h"

#include "Core/Input/KeyTransitionTranslator.h"
#include "Foundation/Clock.h"
#include "Platform/KeyboardMonitor.h"

#include <QCoreApplication>

#include <bitset>
#include <memory>

namespace KeyboardMonitorProperties {
namespace {

constexpr uint8_t kCapsLockX = 66;

struct Recorded {
    KeyboardMonitor monitor;
    std::vector<std::string> calls;

    explicit Recorded(const QList<HotkeyBinding>& bindings) {
        auto record = [this](const char* what) { return [this, what] { calls.emplace_back(what); }; };
        monitor.onPushToTalkDown = record("down");
        monitor.onPushToTalkUp = record("up");
        monitor.onLock = record("lock");
        monitor.onPasteLastTranscript = record("paste");
        monitor.onDismiss = record("cancel");
        monitor.onKeyDown = [this](const KeyEvent& e) { calls.push_back("key:" + std::to_string(e.keyCode)); };
        monitor.setHotkeyBindings(bindings);
        monitor.startWithoutKeySource();
    }
};

class ClockScope {
public:
    ClockScope() { Clock::setCurrent(&clock); }
    ~ClockScope() { Clock::setCurrent(nullptr); }
    ManualClock clock;
};

std::string describe(const std::vector<std::string>& calls) {
    std::string out;
    for (const std::string& c : calls)
        if (c != "|") out += (out.empty() ? "" : " ") + c;
    return out;
}

}  // namespace

std::optional<std::string> violation(const QList<HotkeyBinding>& bindings, const std::vector<Step>& steps) {
    ClockScope time;
    Recorded all(bindings);
    Recorded first(KeyboardMonitor::effectiveBindings(bindings));
    KeyTransitionTranslator translator;
    bool capsLocked = false;
    std::bitset<256> down;

    auto feed = [&](uint8_t x, bool pressed) {
        if (x == kCapsLockX && pressed && !down.test(x)) capsLocked = !capsLocked;
        down.set(x, pressed);
        if (const std::optional<KeySourceEvent> event = translator.translate(x, pressed, capsLocked)) {
            all.monitor.handleEvent(*event);
            first.monitor.handleEvent(*event);
        }
    };
    auto wait = [&](double seconds) {
        time.clock.advance(std::chrono::duration<double>(seconds));
        all.monitor.checkComboRelease();
        first.monitor.checkComboRelease();
        QCoreApplication::processEvents();
    };

    for (const Step& step : steps) {
        switch (step.kind) {
        case Step::Press: feed(step.xKeycode, true); break;
        case Step::Release: feed(step.xKeycode, false); break;
        case Step::Wait: wait(step.seconds); break;
        }
        // Step marks make the comparison see when a callback came, not only in which order.
        QCoreApplication::processEvents();
        all.calls.emplace_back("|");
        first.calls.emplace_back("|");
    }
    for (int x = 0; x < 256; ++x)
        if (down.test(x)) feed(uint8_t(x), false);
    wait(1.0);

    bool held = false;
    int downs = 0, ups = 0;
    for (const std::string& c : all.calls) {
        if (c != "down" && c != "up") continue;
        if ((c == "down") == held) return "push-to-talk " + c + " twice in a row: " + describe(all.calls);
        held = c == "down";
        (held ? downs : ups) += 1;
    }
    if (all.monitor.isPushToTalkHeld() || downs != ups)
        return "push-to-talk still held with every key up: " + describe(all.calls);
    if (all.calls != first.calls)
        return "all bindings and the first binding of each action differ: [" + describe(all.calls) + "] / [" +
               describe(first.calls) + "]";
    return std::nullopt;
}

}  // namespace KeyboardMonitorProperties
