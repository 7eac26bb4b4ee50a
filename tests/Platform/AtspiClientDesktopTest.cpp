#include "Platform/Linux/AtspiClient.h"

#include "support/AtspiFixtureProcess.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

namespace {

// Polls the focused field of `pid` until it reads as `expected`.
AtspiFocusRead readWhenValue(qint64 pid, const QString& expected) {
    AtspiFocusRead read;
    waitUntil([&] {
        read = AtspiClient::shared().readFocusedField(pid);
        return read.status == AtspiFocusRead::Status::Ok && read.field.value == expected;
    }, std::chrono::seconds(10));
    return read;
}

}  // namespace

TEST(AtspiClientDesktop, IsTrustedOnTheTestDesktop) { EXPECT_TRUE(AtspiClient::shared().isTrusted()); }

TEST(AtspiClientDesktop, ReadsQtFieldWithEmojiAsCharacterOffsets) {
    const QString text = QStringLiteral("héllo 😀 wörld");
    const int caret = text.indexOf(QStringLiteral(" wörld"));  // UTF-16 index after the emoji
    AtspiFixtureProcess fixture({QStringLiteral("--text"), text, QStringLiteral("--cursor"), QString::number(caret)});
    ASSERT_TRUE(fixture.waitUntilReady());
    const AtspiFocusRead read = readWhenValue(fixture.pid(), text);
    ASSERT_EQ(read.status, AtspiFocusRead::Status::Ok);
    EXPECT_EQ(read.field.pid, fixture.pid());
    EXPECT_TRUE(read.field.isEditable);
    EXPECT_TRUE(read.field.isTextInputRole);
    EXPECT_EQ(read.field.selectionStart, caret);
    EXPECT_EQ(read.field.selectionEnd, caret);
    EXPECT_EQ(read.field.selectionLocation, 7);  // h é l l o ␠ 😀
    EXPECT_EQ(text.left(read.field.selectionStart), QStringLiteral("héllo 😀"));
}
