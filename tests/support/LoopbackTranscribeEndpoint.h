#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

class LoopbackVendorServer;

// The batch transcription endpoint of the loopback vendor server. It checks each upload the way
// the real server would (a JSON object whose "audio" is Base64 of a 16 kHz mono 16-bit WAV),
// answers a malformed one with 400, and otherwise gives the configured reply. HTTP-level faults
// (status codes, malformed bodies, delays, drops) are scripted on the vendor server's route.
class LoopbackTranscribeEndpoint {
public:
    struct Upload {
        QJsonObject body;
        QByteArray wav;   // the decoded "audio"
        QString problem;  // why the upload was refused; empty when it was accepted
        std::vector<std::int16_t> samples() const;
    };

    explicit LoopbackTranscribeEndpoint(LoopbackVendorServer& server);

    static QString path();
    // The reply to every well-formed upload (default: status "OK", "hello world" formatted as
    // "Hello world.", with timings).
    void setReply(const QJsonObject& reply, int status = 200) {
        m_reply = reply;
        m_status = status;
    }
    static QJsonObject defaultReply();

    QList<Upload> uploads() const { return m_uploads; }

private:
    QJsonObject m_reply = defaultReply();
    int m_status = 200;
    QList<Upload> m_uploads;
};
