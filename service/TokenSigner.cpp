#include "TokenSigner.h"

#include <QFile>
#include <QJsonDocument>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

#include <stdexcept>

namespace {

constexpr qsizetype kSecretBytes = 32;
constexpr auto kB64 = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

QByteArray b64(const QByteArray& bytes) { return bytes.toBase64(kB64); }

// Strict: only the one spelling sign() writes is accepted. The decoder alone also takes padding
// and ignores the unused low bits of the last character, so one token would have several
// spellings that all verify.
std::optional<QByteArray> unb64(const QByteArray& text) {
    auto decoded =
        QByteArray::fromBase64Encoding(text, QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || b64(*decoded) != text) return std::nullopt;
    return *decoded;
}

// Compares in time that does not depend on where the inputs differ.
bool sameBytes(const QByteArray& a, const QByteArray& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

const QByteArray kHeader = b64(R"({"alg":"HS256","typ":"JWT"})");

}  // namespace

TokenSigner TokenSigner::fromSecretFile(const QString& path) {
    QFile file(path);
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly)) throw std::runtime_error("cannot read the token secret file");
        const QByteArray secret = QByteArray::fromHex(file.readAll().trimmed());
        if (secret.size() < kSecretBytes) throw std::runtime_error("the token secret file holds too short a secret");
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        return TokenSigner(secret);
    }
    QByteArray secret(kSecretBytes, '\0');
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(secret.data()), kSecretBytes / 4);
    // Created 0600 before anything is written into it.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
        !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner) || file.write(secret.toHex()) != kSecretBytes * 2)
        throw std::runtime_error("cannot write the token secret file");
    return TokenSigner(secret);
}

QString TokenSigner::sign(const QJsonObject& claims) const {
    const QByteArray body = kHeader + '.' + b64(QJsonDocument(claims).toJson(QJsonDocument::Compact));
    const QByteArray mac = QMessageAuthenticationCode::hash(body, m_secret, QCryptographicHash::Sha256);
    return QString::fromLatin1(body + '.' + b64(mac));
}

std::optional<QJsonObject> TokenSigner::verify(const QString& token) const {
    if (token.size() > 4096) return std::nullopt;
    const QByteArray bytes = token.toLatin1();
    const QList<QByteArray> parts = bytes.split('.');
    if (parts.size() != 3 || parts[0] != kHeader) return std::nullopt;
    const auto mac = unb64(parts[2]);
    const QByteArray expected =
        QMessageAuthenticationCode::hash(parts[0] + '.' + parts[1], m_secret, QCryptographicHash::Sha256);
    if (!mac || !sameBytes(*mac, expected)) return std::nullopt;
    const auto payload = unb64(parts[1]);
    if (!payload) return std::nullopt;
    const QJsonDocument doc = QJsonDocument::fromJson(*payload);
    if (!doc.isObject()) return std::nullopt;
    return doc.object();
}
