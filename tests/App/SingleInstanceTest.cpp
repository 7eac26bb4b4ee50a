#include "App/SingleInstance.h"

#include "support/TestEnvironment.h"

#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtConcurrent/QtConcurrent>

#include <gtest/gtest.h>

namespace {

class SingleInstanceTest : public ::testing::Test {
protected:
    QString socketPath() const { return dir.path() + "/instance"; }

    // The second process's side runs on another thread: the running instance answers on this one.
    bool sendFromAnotherThread(const QString& message) {
        QFuture<bool> sent = QtConcurrent::run([path = socketPath(), message] {
            return SingleInstance::sendMessage(path, message);
        });
        if (!waitUntil([&] { return sent.isFinished(); })) return false;
        return sent.result();
    }

    QTemporaryDir dir;
};

TEST_F(SingleInstanceTest, TheRunningInstanceReceivesTheSecondProcessRequest) {
    SingleInstance running(socketPath());
    ASSERT_TRUE(running.listen()) << running.errorString().toStdString();
    QSignalSpy received(&running, &SingleInstance::messageReceived);
    const QString url = "url vantrose://auth/callback?code=abc&state=def";
    EXPECT_TRUE(sendFromAnotherThread(url));
    ASSERT_TRUE(waitUntil([&] { return received.count() == 1; }));
    EXPECT_EQ(received.at(0).at(0).toString(), url);
    EXPECT_TRUE(sendFromAnotherThread(SingleInstance::showHubMessage));
    ASSERT_TRUE(waitUntil([&] { return received.count() == 2; }));
}

TEST_F(SingleInstanceTest, ASecondListenerStandsDownAndTheSocketIsTheUsersOnly) {
    SingleInstance running(socketPath());
    ASSERT_TRUE(running.listen());
    SingleInstance second(socketPath());
    EXPECT_FALSE(second.listen());
    const QFile::Permissions perms = QFileInfo(socketPath()).permissions();
    EXPECT_FALSE(perms & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther));
}

TEST_F(SingleInstanceTest, AFileLeftByADeadInstanceDoesNotBlockTheNextStart) {
    {
        QFile stale(socketPath());
        ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    }
    SingleInstance running(socketPath());
    EXPECT_TRUE(running.listen()) << running.errorString().toStdString();
    QSignalSpy received(&running, &SingleInstance::messageReceived);
    EXPECT_TRUE(sendFromAnotherThread(SingleInstance::showHubMessage));
    EXPECT_TRUE(waitUntil([&] { return received.count() == 1; }));
}

TEST_F(SingleInstanceTest, MalformedRequestsAreDroppedWithoutHarm) {
    SingleInstance running(socketPath());
    ASSERT_TRUE(running.listen());
    QSignalSpy received(&running, &SingleInstance::messageReceived);
    // Over-long, unknown, not UTF-8: none is delivered; the sender is refused or acknowledged.
    for (const QByteArray& raw : {QByteArray(SingleInstance::kMaxMessageBytes + 100, 'a') + '\n',
                                  QByteArray("open-the-pod-bay-doors\n"), QByteArray("url \xff\xfe\n")}) {
        QFuture<void> sent = QtConcurrent::run([path = socketPath(), raw] {
            QLocalSocket socket;
            socket.connectToServer(path);
            if (!socket.waitForConnected(2000)) return;
            socket.write(raw);
            socket.waitForBytesWritten(2000);
            socket.waitForReadyRead(2000);
        });
        ASSERT_TRUE(waitUntil([&] { return sent.isFinished(); }));
    }
    EXPECT_TRUE(sendFromAnotherThread(SingleInstance::showHubMessage));
    ASSERT_TRUE(waitUntil([&] { return received.count() >= 1; }));
    EXPECT_EQ(received.count(), 1);
    EXPECT_EQ(received.at(0).at(0).toString(), SingleInstance::showHubMessage);
    EXPECT_FALSE(SingleInstance::sendMessage(socketPath(), "url with\nnewline"));
}

TEST(SingleInstanceArguments, TheFirstNonOptionArgumentIsHandedOverAsAURL) {
    EXPECT_EQ(SingleInstance::messageForArguments({}), SingleInstance::showHubMessage);
    EXPECT_EQ(SingleInstance::messageForArguments({"--verbose"}), SingleInstance::showHubMessage);
    EXPECT_EQ(SingleInstance::messageForArguments({"vantrose://auth/callback?code=1"}),
              "url vantrose://auth/callback?code=1");
}

TEST(SingleInstanceArguments, NoRunningInstanceMeansTheRequestIsNotDelivered) {
    QTemporaryDir dir;
    EXPECT_FALSE(SingleInstance::sendMessage(dir.path() + "/nobody", SingleInstance::showHubMessage,
                                             std::chrono::milliseconds(300)));
}

}  // namespace
