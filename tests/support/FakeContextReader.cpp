#include "support/FakeContextReader.h"

#include "Foundation/Clock.h"

#include <QRegularExpression>

TextFieldContext FakeContextReader::field(const QString& before, const QString& selected, const QString& after,
                                          bool editable) {
    TextFieldContext f;
    f.value = before + selected + after;
    f.beforeText = before;
    f.selectedText = selected;
    f.afterText = after;
    f.selectionLocation = static_cast<int>(before.size());
    f.selectionLength = static_cast<int>(selected.size());
    f.isEditable = editable;
    f.isTextInputRole = true;
    f.role = QStringLiteral("text");
    return f;
}

QCoro::Task<std::optional<TextFieldContext>> FakeContextReader::readFocusedTextField() {
    ++focusedFieldReads;
    const bool alive = co_await pause(readDelay);
    if (!alive) co_return std::nullopt;
    co_return std::optional<TextFieldContext>(focusedField);  // copy: g++ 12 moves from any co_return operand
}

QStringList FakeContextReader::parseContextWords(const TextFieldContext& field) const {
    if (contextWords) return *contextWords;
    static const QRegularExpression separators(QStringLiteral("[^\\w'-]+"));
    QStringList words =
        (field.beforeText + ' ' + field.selectedText + ' ' + field.afterText).split(separators, Qt::SkipEmptyParts);
    words.removeDuplicates();
    return words.mid(0, 200);
}

QCoro::Task<QStringList> FakeContextReader::readActiveWindowText() {
    ++windowReads;
    const bool alive = co_await pause(readDelay);
    if (!alive) co_return QStringList();
    co_return QStringList(windowWords);
}

void FakeContextReader::observeTextChanges(std::int32_t pid, std::chrono::milliseconds duration,
                                           std::function<void(const QString&)> onChange) {
    observations.append({pid, duration, Clock::current().monotonicNow(), std::move(onChange)});
}

int FakeContextReader::changeText(std::int32_t pid, const QString& text) {
    const Clock::TimePoint now = Clock::current().monotonicNow();
    int delivered = 0;
    for (const Observation& watch : observations) {
        if (watch.pid != pid || now - watch.startedAt >= watch.duration || !watch.onChange) continue;
        post([handler = watch.onChange, text] { handler(text); });
        ++delivered;
    }
    return delivered;
}
