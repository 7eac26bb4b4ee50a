#pragma once

#include "Core/Formatting/RuleBasedFormatter.h"
#include "Core/Formatting/TextFormatterProtocol.h"
#include "Foundation/PendingValue.h"
#include "Models/VantroseSettings.h"

#include <QCoro/QCoroTask>

#include <functional>
#include <memory>
#include <optional>

// Which formatter formats a dictation: the server's while it answers, else the pipeline's own,
// and the rules while AI formatting is off. After the server's formatter failed, the next
// dictation asks the server again. Main thread only.
class FormatterChoice {
public:
    using Probe = std::function<QCoro::Task<std::shared_ptr<TextFormatterProtocol>>(VantroseSettings)>;
    using PendingProbe = PendingValue<std::shared_ptr<TextFormatterProtocol>>;

    // `local` is the pipeline's own formatter; `probe` answers the server's formatter when the
    // server reports one available (none: the server is never asked).
    FormatterChoice(std::shared_ptr<TextFormatterProtocol> local, Probe probe);

    TextFormatterProtocol& current() const { return *m_current; }
    // What a dictation formats with: the formatter in use, or the rules while AI formatting is off.
    std::shared_ptr<TextFormatterProtocol> forDictation(bool aiFormatting) const;
    const RuleBasedFormatter& rules() const { return *m_rules; }
    const Probe& probe() const { return m_probe; }

    // The server's formatter when it gives one, else the pipeline's own.
    void use(std::shared_ptr<TextFormatterProtocol> cloudFormatter);
    // `formatter` failed a dictation. A failed server formatter gives way to ours until a later
    // dictation finds it back.
    void failed(const std::shared_ptr<TextFormatterProtocol>& formatter);
    // Asks the server whether its formatter is back, when a failure called for it and no probe is
    // in flight; a dictation starts it while the user speaks.
    void probeIfDue(const VantroseSettings& settings);
    // The probe in flight, if any.
    std::shared_ptr<PendingProbe> pendingProbe() const { return m_pendingProbe; }
    // Takes the answer of `probe`; nothing (no answer in time) keeps our own formatter, and the
    // next dictation asks again.
    void settle(const std::shared_ptr<PendingProbe>& probe,
                const std::optional<std::shared_ptr<TextFormatterProtocol>>& answer);

private:
    std::shared_ptr<TextFormatterProtocol> m_current;
    std::shared_ptr<TextFormatterProtocol> m_local;
    std::shared_ptr<RuleBasedFormatter> m_rules = std::make_shared<RuleBasedFormatter>();
    Probe m_probe;
    bool m_reprobe = false;
    std::shared_ptr<PendingProbe> m_pendingProbe;
};
