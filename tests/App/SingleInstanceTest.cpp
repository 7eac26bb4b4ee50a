#include "App/SingleInstance.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtConcurrent/QtConcurrent>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

class SingleInstanceTest : public ::testing::Test {
protected:
    QString socketPath() const { return dir.path() + "/instance"; }

    // The second process's side runs on another thread: the running instance answers on this one.
    bool sendFromAnotherThread(const QString& message) {
        QFuture<bool> sent =
            QtConcurrent::run([path = socketPath(), message] { return SingleInstance::sendMessage(path, message); });
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

// The socket's folder: in a shared /tmp anyone may have made it first.
enum class FolderKind { OtherUsers, SymbolicLink, OwnButOpen, OtherFolderOpen, OtherFolderReadable };

struct FolderCase {
    const char* name;
    FolderKind kind;
    bool accepted;
};

void PrintTo(const FolderCase& c, std::ostream* os) { *os << c.name; }

class SingleInstanceFolderTest : public ::testing::TestWithParam<FolderCase> {
protected:
    QTemporaryDir dir;
};

TEST_P(SingleInstanceFolderTest, OnlyAPrivateFolderOfThisUserHoldsTheSocket) {
    const FolderCase c = GetParam();
    const bool ours = c.kind != FolderKind::OtherFolderOpen && c.kind != FolderKind::OtherFolderReadable;
    const QString folder = dir.path() + (ours ? "/vantrose-1000" : "/chosen");
    const QString own = dir.path() + "/own";
    ASSERT_TRUE(QDir().mkdir(own));
    switch (c.kind) {
    case FolderKind::OtherUsers:
        ASSERT_TRUE(QDir().mkdir(folder));
        if (::chown(QFile::encodeName(folder).constData(), 65534, 65534) != 0)
            GTEST_SKIP() << "giving a folder to another user needs root";
        ::chmod(QFile::encodeName(folder).constData(), 0777);
        break;
    case FolderKind::SymbolicLink: ASSERT_TRUE(QFile::link(own, folder)); break;
    case FolderKind::OwnButOpen:
    case FolderKind::OtherFolderOpen:
        ASSERT_TRUE(QDir().mkdir(folder));
        ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0777), 0);
        break;
    case FolderKind::OtherFolderReadable:
        ASSERT_TRUE(QDir().mkdir(folder));
        ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0755), 0);
        break;
    }
    const auto modeBefore = QFileInfo(folder).permissions();
    SingleInstance instance(folder + "/vantrose-instance");
    EXPECT_EQ(instance.listen(), c.accepted) << instance.errorString().toStdString();
    EXPECT_EQ(instance.folderRefused(), !c.accepted);
    // A folder the program did not make for its socket keeps its modes, whatever happens.
    if (!ours) {
        EXPECT_EQ(QFileInfo(folder).permissions(), modeBefore);
    }
    if (c.accepted && ours) {
        EXPECT_EQ(QFileInfo(folder).permissions() & (QFile::ReadOther | QFile::WriteOther | QFile::ExeOther |
                                                     QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup),
                  QFileDevice::Permissions());
    } else if (!c.accepted) {
        EXPECT_FALSE(QFileInfo::exists(folder + "/vantrose-instance"));
        EXPECT_FALSE(QFileInfo::exists(own + "/vantrose-instance"));
    }
}

INSTANTIATE_TEST_SUITE_P(Folders, SingleInstanceFolderTest,
                         ::testing::Values(FolderCase{"OwnedByAnotherUser", FolderKind::OtherUsers, false},
                                           FolderCase{"SymbolicLink", FolderKind::SymbolicLink, false},
                                           FolderCase{"OwnButOpenToOthers", FolderKind::OwnButOpen, true},
                                           FolderCase{"ChosenFolderOthersMayWrite", FolderKind::OtherFolderOpen, false},
                                           FolderCase{"ChosenFolderOthersMayRead", FolderKind::OtherFolderReadable,
                                                      true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
