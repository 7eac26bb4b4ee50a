#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

// Access tokens: JWTs signed with HMAC-SHA-256. The secret is made at the service's first start
// and kept in a file only its user can read.
class TokenSigner {
public:
    explicit TokenSigner(QByteArray secret) : m_secret(std::move(secret)) {}

    // Reads the secret at `path`, making a new random one (mode 0600) when the file is absent.
    // Throws std::runtime_error when the file cannot be read or written, or holds too short a secret.
    static TokenSigner fromSecretFile(const QString& path);

    QString sign(const QJsonObject& claims) const;
    // The claims of a token this signer made, or nothing when it is malformed or its signature is
    // wrong. Expiry is the caller's to check.
    std::optional<QJsonObject> verify(const QString& token) const;

private:
    QByteArray m_secret;
};
