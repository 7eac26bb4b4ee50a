#include "support/LoopbackTranscribeEndpoint.h"

#include "support/LoopbackVendorServer.h"

#include "Foundation/StringShield.h"

#include <QJsonArray>

namespace {

std::uint32_t u32(const QByteArray& b, int at) {
    return static_cast<std::uint8_t>(b[at]) | static_cast<std::uint8_t>(b[at + 1]) << 8 |
           static_cast<std::uint8_t>(b[at + 2]) << 16 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[at + 3])) << 24;
}

std::uint16_t u16(const QByteArray& b, int at) {
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(b[at]) | static_cast<std::uint8_t>(b[at + 1]) << 8);
}

// Why `wav` is not what the server accepts, or empty.
QString wavProblem(const QByteArray& wav) {
    if (wav.size() < 44) return QStringLiteral("audio shorter than a WAV header");
    if (wav.left(4) != "RIFF" || wav.mid(8, 4) != "WAVE" || wav.mid(12, 4) != "fmt " || wav.mid(36, 4) != "data")
        return QStringLiteral("not a RIFF/WAVE file");
    if (u16(wav, 20) != 1 || u16(wav, 22) != 1 || u32(wav, 24) != 16000 || u16(wav, 34) != 16)
        return QStringLiteral("audio must be 16 kHz mono 16-bit PCM");
    if (u32(wav, 40) != static_cast<std::uint32_t>(wav.size() - 44) || u32(wav, 4) != u32(wav, 40) + 36)
        return QStringLiteral("WAV sizes do not match the data");
    return {};
}

}  // namespace

std::vector<std::int16_t> LoopbackTranscribeEndpoint::Upload::samples() const {
    std::vector<std::int16_t> out;
    for (int at = 44; at + 1 < wav.size(); at += 2) out.push_back(static_cast<std::int16_t>(u16(wav, at)));
    return out;
}

QString LoopbackTranscribeEndpoint::path() { return StringShield::pathTranscribe(); }

QJsonObject LoopbackTranscribeEndpoint::defaultReply() {
    return QJsonObject{{"status", "OK"},
                       {"asr_text", "hello world"},
                       {"llm_text", "Hello world."},
                       {"asr_provider", "loop"},
                       {"llm_provider", "loop-fmt"},
                       {"asr_time", 40},
                       {"llm_time", 30},
                       {"total_time", 75}};
}

LoopbackTranscribeEndpoint::LoopbackTranscribeEndpoint(LoopbackVendorServer& server) {
    server.route("POST", path(), [this](const RecordedRequest& req) {
        Upload upload;
        upload.body = req.json();
        const QJsonValue audio = upload.body.value("audio");
        if (upload.body.isEmpty()) {
            upload.problem = QStringLiteral("body is not a JSON object");
        } else if (!audio.isString()) {
            upload.problem = QStringLiteral("missing audio");
        } else {
            auto decoded =
                QByteArray::fromBase64Encoding(audio.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
            if (!decoded)
                upload.problem = QStringLiteral("audio is not Base64");
            else {
                upload.wav = *decoded;
                upload.problem = wavProblem(upload.wav);
            }
        }
        m_uploads.append(upload);
        if (!upload.problem.isEmpty()) return LoopbackReply::error(400, upload.problem);
        return LoopbackReply::json(m_reply, m_status);
    });
}
