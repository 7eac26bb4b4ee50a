// What another application's accessibility tree can make the client read: huge fields, long
// names, long address bars. The fixture's fields hold text just past each cap.
#include "Platform/Atspi/AtspiClient.h"
#include "Platform/Atspi/AtspiTextLimits.h"

#include "support/AtspiFixtureProcess.h"
#include "support/TestEnvironment.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

using namespace AtspiTextLimits;

namespace {

// The text atspi_fixture --fill N puts in its field.
QString fill(int count) {
    QString text(count, QChar());
    for (int c = 0; c < count; ++c) text[c] = QChar(u'a' + c % 26);
    return text;
}

QStringList hugeFieldArguments(int count, int selectionStart, int selectionLength) {
    return {QStringLiteral("--fill"), QString::number(count), QStringLiteral("--select"),
            QString::number(selectionStart), QString::number(selectionLength)};
}

}  // namespace

TEST(AtspiLimitsDesktop, HugeFieldIsReadAsAWindowAroundTheCaret) {
    struct Case {
        const char* name;
        int count, selectionStart, selectionLength;
        int windowStart, windowLength;
    };
    const Case cases[] = {
        {"at the cap: whole", kWholeText, 150000, 0, 0, kWholeText},
        {"one over: around the caret", kWholeText + 1, 150000, 0, 150000 - kCaretContext, 2 * kCaretContext},
        {"all selected: the selection's start", kWholeText + 1, 0, kWholeText + 1, 0, kSelection + kCaretContext},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AtspiFixtureProcess fixture(hugeFieldArguments(c.count, c.selectionStart, c.selectionLength));
        ASSERT_TRUE(fixture.waitUntilReady());
        AtspiFocusRead read;
        ASSERT_TRUE(waitUntil(
            [&] {
                read = AtspiClient::shared().readFocusedField(fixture.pid());
                return read.status == AtspiFocusRead::Status::Ok && read.field.hasSelectionRange &&
                       read.field.selectionLocation == c.selectionStart &&
                       read.field.selectionLength == c.selectionLength;
            },
            std::chrono::seconds(30)))
            << int(read.status) << " " << read.field.role.toStdString() << " " << read.field.value.size() << " "
            << read.field.selectionLocation << " " << read.field.selectionLength;
        const QString expected = fill(c.count).mid(c.windowStart, c.windowLength);
        EXPECT_EQ(read.field.value.size(), expected.size());
        EXPECT_TRUE(read.field.value == expected);
        EXPECT_EQ(read.field.selectionStart, c.selectionStart - c.windowStart);
        EXPECT_EQ(read.field.selectedText,
                  read.field.value.mid(read.field.selectionStart, read.field.selectionEnd - read.field.selectionStart));
    }
}

TEST(AtspiLimitsDesktop, WatchOnAHugeFieldDeliversTheWindowAroundTheCaret) {
    const int caret = 100000;
    AtspiFixtureProcess fixture(hugeFieldArguments(kWholeText + 1, caret, 0));
    ASSERT_TRUE(fixture.waitUntilReady());
    ASSERT_TRUE(waitUntil(
        [&] {
            const AtspiFocusRead read = AtspiClient::shared().readFocusedField(fixture.pid());
            return read.status == AtspiFocusRead::Status::Ok && read.field.selectionLocation == caret;
        },
        std::chrono::seconds(30)));

    std::mutex mutex;
    QStringList seen;
    std::atomic<bool> ended{false};
    ASSERT_TRUE(AtspiClient::shared().observeTextChanges(
        fixture.pid(), std::chrono::seconds(5),
        [&](const QString& text) {
            std::lock_guard lock(mutex);
            seen << text;
        },
        [&] { ended = true; }));
    QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("type"), QStringLiteral("Q")});
    ASSERT_TRUE(waitUntil(
        [&] {
            std::lock_guard lock(mutex);
            return !seen.isEmpty() && seen.last().contains(QLatin1Char('Q'));
        },
        std::chrono::seconds(20)));
    {
        std::lock_guard lock(mutex);
        for (const QString& text : seen) EXPECT_LE(text.size(), 2 * kCaretContext + 1);
        // The letter sits where it was typed, in the window around the caret.
        const QString around = fill(caret + 3).mid(caret - 3, 3) + QLatin1Char('Q') + fill(caret + 3).mid(caret, 3);
        EXPECT_TRUE(seen.last().contains(around));
    }
    ASSERT_TRUE(waitUntil([&] { return ended.load(); }, std::chrono::seconds(30)));
}

TEST(AtspiLimitsDesktop, LongNamesAreCutAndTheWalkKeepsItsTextBudget) {
    const QString label = QStringLiteral("Zephyr") + QString(3 * kLabel, QLatin1Char('x'));
    AtspiFixtureProcess fixture({QStringLiteral("--label"), label, QStringLiteral("--label"),
                                 QStringLiteral("Owner: Marguerite"), QStringLiteral("--text"),
                                 QStringLiteral("draft")});
    ASSERT_TRUE(fixture.waitUntilReady());
    AtspiWindowWalk walk;
    ASSERT_TRUE(waitUntil(
        [&] {
            walk = AtspiClient::shared().walkFocusedWindow(fixture.pid());
            return walk.texts.join(' ').contains(QLatin1String("Marguerite"));
        },
        std::chrono::seconds(20)));
    bool sawLabel = false;
    for (const QString& text : walk.texts) {
        EXPECT_LE(text.size(), kLabel);
        sawLabel = sawLabel || text.startsWith(QLatin1String("Zephyrxxx"));
    }
    EXPECT_TRUE(sawLabel);

    AtspiWalkLimits tight;
    tight.maxTextCharacters = 10;
    const AtspiWindowWalk small = AtspiClient::shared().walkFocusedWindow(fixture.pid(), tight);
    EXPECT_LE(small.texts.join(QString()).size(), 10);
    EXPECT_FALSE(small.texts.isEmpty());
}

TEST(AtspiLimitsDesktop, AddressBarLongerThanAnyAddressIsNotTaken) {
    struct Case {
        int length;
        bool taken;
    };
    for (const Case c : {Case{kAddress, true}, Case{kAddress + 1, false}}) {
        SCOPED_TRACE(c.length);
        AtspiFixtureProcess fixture({QStringLiteral("--field-name"), QStringLiteral("Address and search bar"),
                                     QStringLiteral("--fill"), QString::number(c.length)});
        ASSERT_TRUE(fixture.waitUntilReady());
        // The field is readable before its absence as an address means anything.
        ASSERT_TRUE(waitUntil(
            [&] {
                const AtspiFocusRead read = AtspiClient::shared().readFocusedField(fixture.pid());
                return read.status == AtspiFocusRead::Status::Ok && read.field.value.size() == c.length;
            },
            std::chrono::seconds(20)));
        const std::optional<QString> address = AtspiClient::shared().findAddressBarText(fixture.pid(), 8, 20);
        EXPECT_EQ(address.has_value(), c.taken);
        if (address) {
            EXPECT_EQ(address->size(), c.length);
        }
    }
}
