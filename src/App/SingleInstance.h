#pragma once

#include <QObject>
#include <QString>

#include <chrono>

class QLocalServer;
class QLocalSocket;

// One running program per user. The first process listens on a local socket that only its user
// may open; a later process hands its request to it and exits. A request is one line of UTF-8:
// "show-hub" or "url " followed by the sign-in callback URL.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxMessageBytes = 8192;
    static const QString showHubMessage;  // "show-hub"

    // `socketPath` empty: "vantrose-instance" in the user's runtime folder.
    explicit SingleInstance(QString socketPath = {}, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Becomes the running instance when no other answers on the socket. A socket file left by a
    // process that died is removed first. False when another instance runs or listening failed.
    // The socket's folder must be a real folder of this user (a shared /tmp holds folders of
    // anyone): otherwise nothing is opened there and folderRefused() tells so.
    bool listen();
    bool folderRefused() const { return m_folderRefused; }
    QString errorString() const { return m_error; }
    QString socketPath() const { return m_path; }

    // Second process: delivers one request to the running instance. True when it was written
    // and the running instance acknowledged it within `timeout`.
    static bool sendMessage(const QString& socketPath, const QString& message,
                            std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

    // The request a process started with these arguments (argv without the program) hands over.
    static QString messageForArguments(const QStringList& arguments);
    static QString defaultSocketPath();
    // Why `folder` cannot hold the socket (empty when it can): missing, not a folder, a symbolic
    // link, owned by another user, or open to others' writes. The "vantrose-*" folder made for the
    // socket is closed to others instead; no other folder's modes are changed.
    static QString privateFolderProblem(const QString& folder);

Q_SIGNALS:
    // A request from another process (main thread). Over-long or malformed requests are dropped.
    void messageReceived(const QString& message);

private:
    void acceptConnection();
    void readFrom(QLocalSocket* socket);

    QString m_path;
    QString m_error;
    bool m_folderRefused = false;
    QLocalServer* m_server = nullptr;
};
