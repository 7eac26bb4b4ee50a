// The hotkey listener fed through the X key-transition translator: arbitrary bindings and
// arbitrary presses, releases and waits (the combination-release check runs after each wait).
// The input is text, one command a line:
//   b <action 0-3> <key code> <modifier bits, hex>   a binding, in settings order
//   d <key code> / u <key code>                      the key at that position goes down / up
//   w <milliseconds>                                 time passes
// Key codes are in the settings' numbering; keys without an X keycode are ignored.
#include "FuzzSupport.h"

#include "Core/Input/KeyCodeTable.h"
#include "Core/Input/KeyTransitionTranslator.h"
#include "Foundation/Clock.h"
#include "Platform/KeyboardMonitor.h"

#include <QCoreApplication>

#include <string>
#include <vector>

namespace {

struct Command {
    char kind;
    uint8_t xKeycode;  // d, u
    double seconds;    // w
};

struct Script {
    QList<HotkeyBinding> bindings;
    std::vector<Command> commands;
};

Script parse(const QString& text) {
    Script script;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (words.isEmpty() || words[0].size() != 1) continue;
        const char kind = char(words[0].at(0).unicode());
        if (kind == 'b' && words.size() >= 3 && script.bindings.size() < 8) {
            const int action = words[1].toInt() & 3;
            const quint16 keyCode = quint16(words[2].toUInt() & 0xFFFF);
            const quint64 modifiers = words.value(3).toULongLong(nullptr, 16);
            script.bindings.append({HotkeyAction(action), Hotkey{keyCode, modifiers}});
        } else if ((kind == 'd' || kind == 'u') && words.size() >= 2 && script.commands.size() < 200) {
            const uint8_t x = KeyCodeTable::xKeycodeFor(quint16(words[1].toUInt() & 0xFFFF));
            if (x != 0) script.commands.push_back({kind, x, 0});
        } else if (kind == 'w' && words.size() >= 2 && script.commands.size() < 200) {
            script.commands.push_back({kind, 0, std::min(words[1].toUInt(), 5000u) / 1000.0});
        }
    }
    return script;
}

// Runs the script on a fresh listener with these bindings, then lets go of every key and waits
// past any combination-release check. Gives the hotkey callbacks in order and whether
// push-to-talk is still held at the end.
struct Outcome {
    std::vector<std::string> calls;
    bool heldAtEnd = false;
    bool operator==(const Outcome&) const = default;
};

Outcome run(const QList<HotkeyBinding>& bindings, const std::vector<Command>& commands) {
    ManualClock clock;
    Clock::setCurrent(&clock);
    Outcome outcome;
    {
        KeyboardMonitor monitor;
        auto record = [&outcome](const char* what) { return [&outcome, what] { outcome.calls.emplace_back(what); }; };
        monitor.onPushToTalkDown = record("down");
        monitor.onPushToTalkUp = record("up");
        monitor.onLock = record("lock");
        monitor.onPasteLastTranscript = record("paste");
        monitor.onDismiss = record("cancel");
        monitor.setHotkeyBindings(bindings);
        monitor.startWithoutKeySource();

        KeyTransitionTranslator translator;
        bool capsLocked = false;
        auto send = [&](uint8_t x, bool pressed) {
            if (pressed && KeyCodeTable::keyCodeForX(x) == 57) capsLocked = !capsLocked;
            if (auto event = translator.translate(x, pressed, capsLocked)) monitor.handleEvent(*event);
        };
        for (const Command& c : commands) {
            if (c.kind == 'w') {
                clock.advance(std::chrono::duration<double>(c.seconds));
                monitor.checkComboRelease();
            } else {
                send(c.xKeycode, c.kind == 'd');
            }
        }
        for (int x = 0; x < 256; ++x)
            if (translator.isDown(uint8_t(x))) send(uint8_t(x), false);
        clock.advance(std::chrono::seconds(1));
        monitor.checkComboRelease();
        QCoreApplication::processEvents();
        outcome.heldAtEnd = monitor.isPushToTalkHeld();
        monitor.stop();
    }
    Clock::setCurrent(nullptr);
    return outcome;
}

QString describe(const Outcome& outcome) {
    QString text;
    for (const auto& call : outcome.calls) text += QString::fromStdString(call) + QLatin1Char(' ');
    return text + (outcome.heldAtEnd ? QStringLiteral("[held]") : QString());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzz::initialize();
    const Script script = parse(QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size)));
    const Outcome all = run(script.bindings, script.commands);

    // Push-to-talk goes down and up in strict alternation, and nothing is held once every key
    // is up.
    bool down = false;
    for (const auto& call : all.calls) {
        if (call == "down") Fuzz::check(!down, "push-to-talk down twice without up", describe(all));
        if (call == "up") Fuzz::check(down, "push-to-talk up without down", describe(all));
        if (call == "down" || call == "up") down = call == "down";
    }
    Fuzz::check(!down && !all.heldAtEnd, "push-to-talk held after every key is up", describe(all));

    // Only the first binding of each action counts.
    QList<HotkeyBinding> firsts;
    for (const HotkeyBinding& binding : script.bindings) {
        const bool seen = std::any_of(firsts.begin(), firsts.end(),
                                      [&](const HotkeyBinding& b) { return b.action == binding.action; });
        if (!seen) firsts.append(binding);
    }
    if (firsts.size() != script.bindings.size()) {
        const Outcome firstOnly = run(firsts, script.commands);
        Fuzz::check(firstOnly == all, "later bindings of an action change nothing",
                    describe(all) + QStringLiteral(" vs first bindings only: ") + describe(firstOnly));
    }
    return 0;
}
