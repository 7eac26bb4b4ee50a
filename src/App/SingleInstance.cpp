#include "App/SingleInstance.h"

#include "App/LogCategories.h"
#include "Foundation/Logger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QUrl>

#include <sys/stat.h>
#include <unistd.h>

const QString SingleInstance::showHubMessage = QStringLiteral("show-hub");

namespace {
constexpr char kAck = '\n';
const QString kURLPrefix = QStringLiteral("url ");
}  // namespace

SingleInstance::SingleInstance(QString socketPath, QObject* parent)
    : QObject(parent),
      m_path(socketPath.isEmpty() ? defaultSocketPath() : std::move(socketPath)) {}

SingleInstance::~SingleInstance() {
    if (m_server) m_server->close();  // removes the socket file
}

QString SingleInstance::defaultSocketPath() {
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty()) dir = QDir::tempPath() + QStringLiteral("/vantrose-%1").arg(::getuid());
    // Created private; an existing one is checked by listen(), never trusted here.
    ::mkdir(QFile::encodeName(dir).constData(), 0700);
    return dir + QStringLiteral("/vantrose-instance");
}

QString SingleInstance::messageForArguments(const QStringList& arguments) {
    for (const QString& arg : arguments) {
        if (arg.startsWith(QLatin1Char('-'))) continue;  // options are the toolkit's
        return kURLPrefix + arg;
    }
    return showHubMessage;
}

QString SingleInstance::privateFolderProblem(const QString& folder) {
    const QByteArray path = QFile::encodeName(folder);
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0) return QStringLiteral("the folder %1 does not exist").arg(folder);
    if (S_ISLNK(info.st_mode)) return QStringLiteral("the folder %1 is a symbolic link").arg(folder);
    if (!S_ISDIR(info.st_mode)) return QStringLiteral("%1 is not a folder").arg(folder);
    // Whoever owns the folder can replace the socket and read what a second process sends,
    // sign-in codes included.
    if (info.st_uid != ::getuid()) return QStringLiteral("the folder %1 belongs to another user").arg(folder);
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) == 0) return {};
    // Only the folder made for the socket is closed to others; any other folder (the user's own
    // choice, a shared one, "/" when a path came out empty) keeps its modes, and is refused when
    // others may write into it and so replace the socket.
    if (!QFileInfo(folder).fileName().startsWith(QLatin1String("vantrose-"))) {
        if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
            return QStringLiteral("the folder %1 is open to other users").arg(folder);
        return {};
    }
    if (::chmod(path.constData(), 0700) != 0) return QStringLiteral("the folder %1 cannot be made private").arg(folder);
    return {};
}

bool SingleInstance::listen() {
    if (m_server) return true;
    m_folderRefused = false;
    if (const QString problem = privateFolderProblem(QFileInfo(m_path).path()); !problem.isEmpty()) {
        m_folderRefused = true;
        m_error = problem;
        return false;
    }
    {
        QLocalSocket probe;
        probe.connectToServer(m_path);
        if (probe.waitForConnected(500)) {
            m_error = QStringLiteral("another instance is running");
            return false;
        }
    }
    // Nobody answers: whatever is left at the path belongs to a process that is gone.
    QLocalServer::removeServer(m_path);
    auto* server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(m_path)) {
        m_error = server->errorString();
        delete server;
        return false;
    }
    m_server = server;
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnection);
    return true;
}

void SingleInstance::acceptConnection() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        if (socket->bytesAvailable() > 0) readFrom(socket);
    }
}

void SingleInstance::readFrom(QLocalSocket* socket) {
    if (socket->bytesAvailable() > kMaxMessageBytes + 1 && !socket->canReadLine()) {
        VLOG_WARNING(lcSingleInstance) << "Dropped an over-long request";
        socket->abort();
        return;
    }
    if (!socket->canReadLine()) return;
    const QByteArray line = socket->readLine(kMaxMessageBytes + 2).trimmed();
    socket->write(QByteArray(1, kAck));
    socket->flush();
    socket->disconnectFromServer();
    const QString message = QString::fromUtf8(line);
    if (line.size() > kMaxMessageBytes || message.contains(QChar::ReplacementCharacter)) {
        VLOG_WARNING(lcSingleInstance) << "Dropped a malformed request";
        return;
    }
    if (message != showHubMessage && !message.startsWith(kURLPrefix)) {
        VLOG_WARNING(lcSingleInstance) << "Dropped an unknown request";
        return;
    }
    Q_EMIT messageReceived(message);
}

bool SingleInstance::sendMessage(const QString& socketPath, const QString& message, std::chrono::milliseconds timeout) {
    const QByteArray bytes = message.toUtf8();
    if (bytes.size() > kMaxMessageBytes || bytes.contains('\n')) return false;
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    const int ms = int(timeout.count());
    if (!socket.waitForConnected(ms)) return false;
    socket.write(bytes + '\n');
    if (!socket.waitForBytesWritten(ms)) return false;
    while (socket.bytesAvailable() < 1)
        if (!socket.waitForReadyRead(ms)) return false;
    return socket.read(1) == QByteArray(1, kAck);
}
