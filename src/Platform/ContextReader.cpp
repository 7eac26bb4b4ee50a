#include "Platform/ContextReader.h"

#include "Core/Desktop/AbstractAppDetector.h"
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"
#include "Foundation/MainThread.h"
#include "Platform/Atspi/AtspiClient.h"
#include "Platform/Atspi/TextOffsets.h"
#include "Platform/DesktopBackend.h"
#include "Platform/LogCategories.h"

#include <QPointer>
#include <QRegularExpression>
#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>

#include <cmath>

namespace {

constexpr int kValueLimit = 4000;
constexpr int kBeforeLimit = 2000;
constexpr int kAfterLimit = 2000;
constexpr int kSelectedLimit = 1000;
constexpr auto kPrimaryTimeout = std::chrono::milliseconds(150);

// Seconds as a log shows them: 120 → "120.0", 2.5 → "2.5".
QString secondsText(double seconds) {
    if (std::isfinite(seconds) && seconds == std::floor(seconds) && std::fabs(seconds) < 1e15)
        return QString::number(seconds, 'f', 1);
    return QString::number(seconds, 'g', 15);
}

QString boolText(bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); }

QList<uint> codePoints(const QString& word) { return word.toUcs4(); }

// First occurrences, in order.
QStringList distinctInOrder(const QStringList& words) {
    QStringList result;
    QSet<QString> seen;
    for (const QString& word : words) {
        if (seen.contains(word)) continue;
        seen.insert(word);
        result.append(word);
    }
    return result;
}

struct FieldReadOutcome {
    AtspiFocusRead read;
    std::optional<QString> copied;
};

struct WindowReadOutcome {
    AtspiWindowWalk walk;
    bool enabledManualAccessibility = false;
    QStringList words;
    double elapsedMs = 0;
};

}  // namespace

// Electron applications by their Linux identifiers (desktop-file ids, Flatpak ids, WM_CLASS).
const QSet<QString> ContextReader::electronBundleIDs = {
    // Visual Studio Code: stable, Insiders and the Flatpak build.
    QStringLiteral("code"),
    QStringLiteral("code-insiders"),
    QStringLiteral("com.visualstudio.code"),
    // Cursor, and a second build sharing its packaging prefix.
    QStringLiteral("cursor"),
    QStringLiteral("co.anysphere.cursor"),
    QStringLiteral("co.anysphere.cursor.nightly"),
    QStringLiteral("windsurf"),
    QStringLiteral("antigravity"),
    QStringLiteral("slack"),
    QStringLiteral("com.slack.Slack"),
    QStringLiteral("discord"),
    QStringLiteral("spotify"),
    QStringLiteral("figma-linux"),
    QStringLiteral("linear"),
    QStringLiteral("notion-app"),
    QStringLiteral("obsidian"),
};

const QSet<QString> ContextReader::chromeWords = {
    "File",     "Edit",        "View",   "Window", "Help", "Menu", "Close",  "Minimize", "Zoom",     "Back",
    "Forward",  "Search",      "Filter", "Cancel", "OK",   "Done", "Save",   "Delete",   "Copy",     "Paste",
    "Cut",      "Undo",        "Redo",   "Select", "All",  "None", "New",    "Open",     "Print",    "Share",
    "Settings", "Preferences", "About",  "Quit",   "Hide", "Show", "Toggle", "Expand",   "Collapse", "More",
    "Less",     "Yes",         "No",     "Apply",  "the",  "and",  "is",     "in",       "to",       "of",
    "a",        "for",         "on",     "with",   "as",   "at",   "by",     "an",       "be",       "or",
    "if",       "it",          "The",    "This",   "That", "from", "are",    "was",      "not",      "but",
    "has",      "have",        "had",    "will",   "can",  "do",   "does",   "did",      "been",     "Type",
    "Enter",    "Click",       "Press",  "Tap",    "here", "your", "you",    "this",     "that",
};

ContextReader::ContextReader(const AbstractAppDetector* appDetector, QObject* parent)
    : QObject(parent),
      m_appDetector(appDetector) {}

ContextReader::Target ContextReader::frontmost() const {
    Target target;
    if (m_appDetector && m_appDetector->activeApp()) {
        const ActiveAppInfo& app = *m_appDetector->activeApp();
        if (app.pid > 0) target.pid = app.pid;
        target.bundleId = app.bundleId;
    }
    return target;
}

TextFieldContext ContextReader::makeTextFieldContext(const AtspiFieldInfo& field) {
    TextFieldContext context;
    const QString& value = field.value;
    const int length = int(value.size());
    // The selection is already in UTF-16 indices of the value; clamp without overflow.
    const int start = std::clamp(field.hasSelectionRange ? field.selectionStart : 0, 0, length);
    const int end = std::clamp(field.hasSelectionRange ? std::max(field.selectionEnd, start) : 0, start, length);
    const QString before = start < 1 ? QString() : value.left(start);
    const QString after = end >= length ? QString() : value.mid(end);

    context.beforeText = TextOffsets::lastGraphemes(before, kBeforeLimit);
    context.afterText = TextOffsets::firstGraphemes(after, kAfterLimit);
    context.value = TextOffsets::firstGraphemes(value, kValueLimit);
    context.selectedText = TextOffsets::firstGraphemes(field.selectedText, kSelectedLimit);
    context.selectionLocation = field.hasSelectionRange ? field.selectionLocation : 0;
    context.selectionLength = field.hasSelectionRange ? field.selectionLength : 0;
    context.isEditable = field.isEditable;
    context.isTextInputRole = field.isTextInputRole;
    context.role = field.role.isEmpty() ? QStringLiteral("unknown") : field.role;
    context.elementDescription = field.description;
    return context;
}

QCoro::Task<std::optional<TextFieldContext>> ContextReader::readFocusedTextField() {
    QPointer<ContextReader> guard(this);
    const Target target = frontmost();
    // The future is named before it is awaited: g++ 12 destroys a lambda temporary twice when
    // it sits inside a co_await expression.
    QFuture<FieldReadOutcome> reading = QtConcurrent::run([pid = target.pid] {
        FieldReadOutcome result;
        result.read = AtspiClient::shared().readFocusedField(pid);
        const AtspiFieldInfo& field = result.read.field;
        // A field that shows no text and no selection but takes input (a terminal, a canvas
        // editor) may still have a selection its toolkit does not export: ask PRIMARY, which
        // belongs to the application that made the selection. Never a copy chord.
        if (result.read.status == AtspiFocusRead::Status::Ok && field.selectedText.isEmpty() && field.value.isEmpty() &&
            field.isEditable)
            result.copied = DesktopBackend::current().readSelection(field.pid, kPrimaryTimeout);
        return result;
    });
    const FieldReadOutcome outcome = co_await reading;
    if (!guard) co_return std::nullopt;

    switch (outcome.read.status) {
    case AtspiFocusRead::Status::NotTrusted:
        VLOG_WARNING(lcContextReader) << "Accessibility not trusted";
        co_return std::nullopt;
    case AtspiFocusRead::Status::NoApplication:
        VLOG_WARNING(lcContextReader) << "No frontmost application";
        co_return std::nullopt;
    case AtspiFocusRead::Status::NoFocusedElement:
        VLOG_WARNING(lcContextReader)
            << QStringLiteral("Could not get focused element (error: %1)").arg(outcome.read.errorCode);
        co_return std::nullopt;
    case AtspiFocusRead::Status::PasswordField:
        VLOG_INFO(lcContextReader) << "Focused element is a password field; not read";
        co_return std::nullopt;
    case AtspiFocusRead::Status::Ok: break;
    }

    TextFieldContext context = makeTextFieldContext(outcome.read.field);
    VLOG_INFO(lcContextReader) << QStringLiteral("Read context — before:%1chars after:%2chars editable:%3")
                                      .arg(TextOffsets::graphemeCount(context.beforeText))
                                      .arg(TextOffsets::graphemeCount(context.afterText))
                                      .arg(boolText(context.isEditable));
    if (outcome.copied && !outcome.copied->isEmpty()) {
        VLOG_INFO(lcContextReader) << QStringLiteral("Got selected text via PRIMARY selection fallback (%1 chars)")
                                          .arg(TextOffsets::graphemeCount(*outcome.copied));
        context.selectedText = TextOffsets::firstGraphemes(*outcome.copied, kSelectedLimit);
    }
    co_return context;
}

QStringList ContextReader::parseContextWords(const TextFieldContext& field) const {
    static const QRegularExpression whitespace(QStringLiteral("\\s+"));
    const QString joined = field.beforeText + QLatin1Char(' ') + field.afterText;
    const QStringList words = distinctInOrder(joined.split(whitespace, Qt::SkipEmptyParts));
    return words.mid(0, maxContextWords);
}

QStringList ContextReader::filterForProperNouns(const QStringList& words) {
    QStringList kept;
    for (const QString& word : words) {
        if (chromeWords.contains(word)) continue;
        const QList<uint> chars = codePoints(word);
        if (chars.size() <= 2) continue;
        bool allNumeric = true;
        bool hasUpper = false, hasLower = false, hasDigit = false, hasLetter = false;
        for (uint c : chars) {
            const bool digit = QChar::isDigit(char32_t(c));
            if (!(digit || c == '.' || c == ',')) allNumeric = false;
            hasUpper = hasUpper || QChar::isUpper(char32_t(c));
            hasLower = hasLower || QChar::isLower(char32_t(c));
            hasDigit = hasDigit || digit;
            hasLetter = hasLetter || QChar::isLetter(char32_t(c));
        }
        if (allNumeric) continue;
        const bool startsWithLetter = QChar::isLetter(char32_t(chars.first()));
        const bool keep = QChar::isUpper(char32_t(chars.first())) || (hasUpper && hasLower) ||
                          word.contains(QLatin1Char('_')) || (word.contains(QLatin1Char('-')) && startsWithLetter) ||
                          (hasDigit && hasLetter) || (word.contains(QLatin1Char('.')) && startsWithLetter);
        if (keep) kept.append(word);
    }
    return kept;
}

QStringList ContextReader::windowWordsFromTexts(const QStringList& texts) {
    static const QRegularExpression whitespace(QStringLiteral("\\s+"));
    QStringList pieces;
    for (const QString& text : texts) {
        for (const QString& piece : text.split(whitespace, Qt::SkipEmptyParts)) {
            const int length = TextOffsets::graphemeCount(piece);
            if (length >= 2 && length <= 60) pieces.append(piece);
        }
    }
    return filterForProperNouns(distinctInOrder(pieces));
}

bool ContextReader::enableManualAccessibility(std::int32_t pid) {
    if (AtspiClient::shared().enableAccessibility()) {
        VLOG_INFO(lcContextReader) << QStringLiteral("Enabled org.a11y.Status.IsEnabled for PID %1").arg(pid);
        return true;
    }
    VLOG_WARNING(lcContextReader) << QStringLiteral("Failed to enable org.a11y.Status.IsEnabled (error: %1)").arg(1);
    return false;
}

QCoro::Task<QStringList> ContextReader::readActiveWindowText() {
    QPointer<ContextReader> guard(this);
    const Target target = frontmost();
    const bool wantsSwitch =
        target.pid > 0 && !m_manualAccessibilityEnabledPIDs.contains(std::int32_t(target.pid)) &&
        (electronBundleIDs.contains(target.bundleId) || target.bundleId.contains(QLatin1String("electron")));

    QFuture<WindowReadOutcome> walking = QtConcurrent::run([target, wantsSwitch] {
        WindowReadOutcome result;
        if (wantsSwitch && AtspiClient::shared().isTrusted())
            result.enabledManualAccessibility = enableManualAccessibility(std::int32_t(target.pid));
        const Clock::TimePoint start = Clock::current().monotonicNow();
        result.walk = AtspiClient::shared().walkFocusedWindow(target.pid);
        result.words = windowWordsFromTexts(result.walk.texts);
        result.elapsedMs = Clock::current().millisecondsSince(start);
        return result;
    });
    const WindowReadOutcome outcome = co_await walking;
    if (!guard) co_return QStringList();
    if (outcome.enabledManualAccessibility) m_manualAccessibilityEnabledPIDs.insert(std::int32_t(target.pid));
    if (!outcome.walk.trusted || !outcome.walk.applicationFound) co_return QStringList();
    if (!outcome.walk.windowFound) {
        VLOG_WARNING(lcContextReader) << "Could not get focused window for AT-SPI tree walk";
        co_return QStringList();
    }
    VLOG_DEBUG(lcContextReader) << QStringLiteral("AT-SPI tree walk — %1 elements, %2 texts, %3 proper nouns in %4ms%5")
                                       .arg(outcome.walk.visitCount)
                                       .arg(outcome.walk.texts.size())
                                       .arg(outcome.words.size())
                                       .arg(QString::asprintf("%.0f", outcome.elapsedMs))
                                       .arg(outcome.walk.timedOut ? QStringLiteral(" [TIMEOUT]") : QString());
    co_return outcome.words.mid(0, maxWindowWords);
}

void ContextReader::observeTextChanges(std::int32_t pid, std::chrono::milliseconds duration,
                                       std::function<void(const QString&)> onChange) {
    if (pid <= 0 || duration.count() <= 0) return;
    QPointer<ContextReader> guard(this);
    auto deliver = [guard, onChange = std::move(onChange)](const QString& text) {
        runOnMain([guard, onChange, text] {
            if (guard && onChange) onChange(text);
        });
    };
    auto ended = [duration] {
        VLOG_INFO(lcContextReader)
            << QStringLiteral("Stopped observing text changes after %1s").arg(secondsText(toSeconds(duration)));
    };
    // Setting up the watch talks to the target; never on the main thread.
    (void)QtConcurrent::run([pid, duration, deliver = std::move(deliver), ended = std::move(ended)]() mutable {
        AtspiClient::shared().observeTextChanges(pid, duration, std::move(deliver), std::move(ended));
    });
}
