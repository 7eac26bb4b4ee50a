#include "Foundation/Logger.h"
#include "Foundation/BoundedLogFile.h"

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

namespace {
Q_LOGGING_CATEGORY(lcLoggerTest, "vantrose.LoggerTest")
Q_LOGGING_CATEGORY(lcProgram, "vantrose")
Q_LOGGING_CATEGORY(lcNotOurs, "vantroseish.Other")

QString readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll());
}

void writeBytes(const QString& path, qint64 size) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(QByteArray(size, 'x'));
}
}  // namespace

TEST(LoggerTest, LineFormatShowsLocalTimeFileNameAndLine) {
    const QDateTime t(QDate(2026, 3, 4), QTime(5, 6, 7, 89));
    EXPECT_EQ(Logger::formatLine(t, "/a/b/c/Pipeline.cpp", 42, "Pipeline: started"),
              "[2026-03-04 05:06:07.089] [Pipeline.cpp:42] Pipeline: started\n");
}

TEST(LoggerTest, FirstLineCreatesFileAndLaterLinesAppend) {
    const QString path = Logger::shared().logFilePath();
    Logger::flush();  // lines of earlier cases in this process land before the file goes
    QFile::remove(path);
    Logger::log("first");
    Logger::log("second\ncontinued");
    Logger::flush();
    const QStringList lines = readAll(path).split('\n');
    ASSERT_EQ(lines.size(), 4);  // two entries, one spanning two lines, then the trailing empty piece
    EXPECT_TRUE(lines[0].endsWith("] first"));
    EXPECT_TRUE(lines[0].contains("[LoggerTest.cpp:"));
    EXPECT_TRUE(lines[1].endsWith("] second"));
    EXPECT_EQ(lines[2], "continued");
}

TEST(LoggerTest, RotationHappensOnlyAboveOneMebibyte) {
    Logger& logger = Logger::shared();
    struct Case {
        qint64 size;
        bool rotates;
    };
    for (const Case c : {Case{1024 * 1024, false}, Case{1024 * 1024 + 1, true}}) {
        SCOPED_TRACE(c.size);
        Logger::flush();
        QFile::remove(logger.oldLogFilePath());
        writeBytes(logger.oldLogFilePath(), 3);  // an older generation that a rotation replaces
        writeBytes(logger.logFilePath(), c.size);
        Logger::rotateIfNeeded();
        EXPECT_EQ(QFile(logger.logFilePath()).exists(), !c.rotates);
        EXPECT_EQ(QFile(logger.oldLogFilePath()).size(), c.rotates ? c.size : 3);
        Logger::log("after rotation");
        Logger::flush();
        if (c.rotates) {
            EXPECT_TRUE(readAll(logger.logFilePath()).endsWith("] after rotation\n"));
        }
    }
}

TEST(LoggerTest, RotationWithoutLogFileDoesNothing) {
    Logger& logger = Logger::shared();
    Logger::flush();
    QFile::remove(logger.logFilePath());
    QFile::remove(logger.oldLogFilePath());
    Logger::rotateIfNeeded();
    EXPECT_FALSE(QFile(logger.oldLogFilePath()).exists());
}

TEST(LoggerTest, LinesFromManyThreadsStayWhole) {
    const QString path = Logger::shared().logFilePath();
    Logger::flush();
    QFile::remove(path);
    constexpr int kThreads = 4, kLines = 200;
    QList<QThread*> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads << QThread::create([t] {
            for (int i = 0; i < kLines; ++i) Logger::log(QString("thread %1 line %2 end").arg(t).arg(i));
        });
        threads.last()->start();
    }
    for (QThread* th : threads) {
        th->wait();
        delete th;
    }
    Logger::flush();
    QStringList lines = readAll(path).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), kThreads * kLines);
    for (const QString& line : lines) EXPECT_TRUE(line.endsWith(" end")) << line.toStdString();
}

namespace {

constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// The file's mode bits (owner, group, others), as `ls -l` shows them.
QFileDevice::Permissions mode(const QString& path) {
    return QFile::permissions(path) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
}

}  // namespace

// The logs hold what the user dictated: only the user may read them, and they stay small.
TEST(BoundedLogFileTest, OnlyTheOwnerReadsTheLogsAndTheyStayBounded) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("main.log"), old = dir.filePath("main.old.log");
    // Both left readable by everyone, as an earlier version wrote them.
    writeBytes(path, 10);
    writeBytes(old, 5);
    for (const QString& p : {path, old}) ASSERT_TRUE(QFile::setPermissions(p, kOwnerOnly | QFileDevice::ReadOther));

    BoundedLogFile log(path, old, 100);
    ASSERT_TRUE(log.append(QByteArray(80, 'a')));
    EXPECT_EQ(mode(path), kOwnerOnly);
    EXPECT_EQ(mode(old), kOwnerOnly);
    EXPECT_EQ(QFile(path).size(), 90);

    struct Step {
        qint64 bytes;
        qint64 current;   // the file's size afterwards
        qint64 previous;  // the old copy's size afterwards
    };
    const Step steps[] = {
        {10, 100, 5},   // exactly at the limit: kept
        {1, 1, 100},    // one byte more: the file moves aside first
        {150, 150, 1},  // a write longer than the limit goes whole into a file of its own
        {5, 5, 150},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.bytes);
        ASSERT_TRUE(log.append(QByteArray(s.bytes, 'b')));
        EXPECT_EQ(QFile(path).size(), s.current);
        EXPECT_EQ(QFile(old).size(), s.previous);
        EXPECT_EQ(mode(path), kOwnerOnly);
    }
    writeBytes(path, 101);
    log.rotateIfLarger();  // at launch
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_EQ(QFile(old).size(), 101);
    ASSERT_TRUE(log.append("fresh\n"));
    EXPECT_EQ(mode(path), kOwnerOnly);
}

TEST(LoggerTest, TheTextLogIsTheOwnersAlone) {
    Logger::log(QStringLiteral("Test: a line"));
    Logger::flush();
    EXPECT_EQ(mode(Logger::shared().logFilePath()), kOwnerOnly);
}

// A component's category names its line's prefix; QT_LOGGING_RULES-style filters silence a level;
// categories that are not the program's stay out of main.log.
TEST(LoggerTest, CategoriesWriteTheirPrefixAndFollowTheFilterRules) {
    const QString path = Logger::shared().logFilePath();
    Logger::flush();
    QFile::remove(path);
    QLoggingCategory::setFilterRules(QStringLiteral("vantrose.LoggerTest.debug=false"));
    VLOG_INFO(lcLoggerTest) << "Started " << 3 << " streams";
    VLOG_DEBUG(lcLoggerTest) << "filtered out";
    VLOG_WARNING(lcProgram) << "=== plain ===";
    VLOG_INFO(lcNotOurs) << "elsewhere";
    QLoggingCategory::setFilterRules(QString());
    Logger::flush();
    const QStringList lines = readAll(path).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << readAll(path).toStdString();
    EXPECT_TRUE(lines[0].endsWith("] LoggerTest: Started 3 streams"));
    EXPECT_TRUE(lines[0].contains("[LoggerTest.cpp:"));
    EXPECT_TRUE(lines[1].endsWith("] === plain ==="));
}

namespace {
QtMessageHandler g_handlerBefore = nullptr;

// Logs while Qt runs it, as the shut-down that a toolkit warning starts does.
void loggingHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message == QLatin1String("toolkit warning")) {
        VLOG_WARNING(lcLoggerTest) << "logged from a message handler";
        return;
    }
    if (g_handlerBefore) g_handlerBefore(type, context, message);
}
}  // namespace

TEST(LoggerTest, LinesLoggedWhileAMessageHandlerRunsReachTheFile) {
    const QString path = Logger::shared().logFilePath();
    Logger::flush();
    QFile::remove(path);
    g_handlerBefore = qInstallMessageHandler(loggingHandler);
    qWarning("toolkit warning");
    qInstallMessageHandler(g_handlerBefore);
    Logger::flush();
    EXPECT_TRUE(readAll(path).endsWith("] LoggerTest: logged from a message handler\n")) << readAll(path).toStdString();
}
