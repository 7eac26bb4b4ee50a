// The evdev reader on its own thread, fed struct input_event records through pipes and FIFOs:
// these machines have no /dev/input.
#include "Platform/Linux/EvdevKeyReader.h"

#include "Models/Hotkey.h"
#include "support/KeyEventLog.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/input.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using Type = KeySourceEvent::Type;

QByteArray key(uint16_t code, int32_t value) {
    input_event events[2] = {};
    events[0].type = EV_KEY;
    events[0].code = code;
    events[0].value = value;
    events[1].type = EV_SYN;  // SYN_REPORT
    return QByteArray(reinterpret_cast<const char*>(events), sizeof events);
}

void writeAll(int fd, const QByteArray& bytes) {
    ASSERT_EQ(::write(fd, bytes.constData(), size_t(bytes.size())), bytes.size());
}

std::vector<std::string> described(const KeyEventLog& log) {
    std::vector<std::string> out;
    for (const KeySourceEvent& e : log.events()) {
        const char* type = e.type == Type::KeyDown ? "down" : e.type == Type::KeyUp ? "up" : "flags";
        out.push_back(std::string(type) + ":" + std::to_string(e.keyCode) + (e.isRepeat ? ":repeat" : ""));
    }
    return out;
}

bool waitForEvents(const KeyEventLog& log, const std::vector<std::string>& expected) {
    return waitUntil([&] { return described(log) == expected; });
}

EvdevKeyReader::Options everyNodeAKeyboard(const QString& folder) {
    return {folder, [](int) { return true; }};
}

TEST(EvdevKeyReaderTest, ReadsPressRepeatAndReleaseFromAnyDescriptor) {
    QTemporaryDir folder;
    EvdevKeyReader reader(everyNodeAKeyboard(folder.path()));
    KeyEventLog log;
    ASSERT_TRUE(reader.start(log.handler()));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_TRUE(reader.addDevice(fds[0], "pipe"));
    writeAll(fds[1], key(KEY_RIGHTALT, 1) + key(KEY_A, 1) + key(KEY_A, 2) + key(KEY_A, 0) + key(KEY_RIGHTALT, 0));
    EXPECT_TRUE(waitForEvents(log, {"flags:61", "down:0", "down:0:repeat", "up:0", "flags:61"}));
    EXPECT_TRUE(waitUntil([&] { return reader.keyboardCount() == 1; }));
    ::close(fds[1]);
    EXPECT_TRUE(waitUntil([&] { return reader.keyboardCount() == 0; }));
}

TEST(EvdevKeyReaderTest, AKeyboardThatGoesAwayMidPressReleasesWhatItHeld) {
    QTemporaryDir folder;
    EvdevKeyReader reader(everyNodeAKeyboard(folder.path()));
    KeyEventLog log;
    ASSERT_TRUE(reader.start(log.handler()));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_TRUE(reader.addDevice(fds[0], "pipe"));
    // A press, then half a record and the end of the stream.
    writeAll(fds[1], key(KEY_RIGHTALT, 1) + key(KEY_F5, 1) + key(KEY_G, 1).left(7));
    ::close(fds[1]);
    EXPECT_TRUE(waitForEvents(log, {"flags:61", "down:96", "up:96", "flags:61"}));
    EXPECT_EQ(log.events().back().flags, 0u);
}

TEST(EvdevKeyReaderTest, FollowsKeyboardsAsTheyComeAndGo) {
    QTemporaryDir folder;
    EvdevKeyReader reader(everyNodeAKeyboard(folder.path()));
    int changes = 0;
    QObject::connect(&reader, &EvdevKeyReader::keyboardsChanged, [&](int) { ++changes; });
    KeyEventLog log;
    ASSERT_TRUE(reader.start(log.handler()));

    const QByteArray node = QFile::encodeName(folder.filePath("event7"));
    ASSERT_EQ(mkfifo(node.constData(), 0600), 0);
    ASSERT_TRUE(waitUntil([&] { return reader.keyboardCount() == 1; }));
    const int writer = ::open(node.constData(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    writeAll(writer, key(KEY_RIGHTALT, 1));
    ASSERT_TRUE(waitForEvents(log, {"flags:61"}));

    ASSERT_EQ(::unlink(node.constData()), 0);  // unplugged while Right Alt is down
    EXPECT_TRUE(waitForEvents(log, {"flags:61", "flags:61"}));
    EXPECT_TRUE(waitUntil([&] { return reader.keyboardCount() == 0 && changes == 2; })) << changes;
    ::close(writer);
}

TEST(EvdevKeyReaderTest, OnlyKeyboardEventNodesAreFollowed) {
    QTemporaryDir folder;
    for (const char* name : {"event1", "event2", "mouse0"})
        ASSERT_EQ(mkfifo(QFile::encodeName(folder.filePath(name)).constData(), 0600), 0);
    int asked = 0;
    EvdevKeyReader::Options options{folder.path(), [&asked](int) { return ++asked == 1; }};  // the first only
    EXPECT_EQ(EvdevKeyReader::probe(options).keyboards, 1);
    asked = 0;
    EvdevKeyReader reader(options);
    KeyEventLog log;
    ASSERT_TRUE(reader.start(log.handler()));
    EXPECT_TRUE(waitUntil([&] { return reader.keyboardCount() == 1; }));
    EXPECT_EQ(asked, 2);  // mouse0 was never opened
}

TEST(EvdevKeyReaderTest, AFolderThatCannotBeWatchedIsReported) {
    const QString missing = QDir::temp().filePath("vantrose-no-such-input-folder");
    EvdevKeyReader reader(everyNodeAKeyboard(missing));
    KeyEventLog log;
    EXPECT_FALSE(reader.start(log.handler()));
    EXPECT_TRUE(reader.lastError().contains(missing));
    const EvdevAvailability availability = EvdevKeyReader::probe({missing, {}});
    EXPECT_FALSE(availability.folderExists);
    EXPECT_EQ(availability.keyboards, 0);
}

}  // namespace
