#include "support/SpeechFixture.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <vector>

#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/wait.h>
#include <unistd.h>

namespace SpeechFixture {

namespace {

// A plain fork and exec rather than QProcess: Qt starts children in a way ThreadSanitizer cannot
// follow, which corrupts its view of the parent's locks in the threaded tests that use speech.
bool run(const QString& program, const QStringList& args) {
    const QString path = QStandardPaths::findExecutable(program);
    if (path.isEmpty()) return false;
    std::vector<QByteArray> storage;
    storage.push_back(QFile::encodeName(path));
    for (const QString& a : args) storage.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    argv.reserve(storage.size() + 1);
    for (QByteArray& b : storage) argv.push_back(b.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            ::dup2(devnull, STDIN_FILENO);
            ::dup2(devnull, STDOUT_FILENO);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

QStringList words(const QString& text) {
    static const QRegularExpression separators(QStringLiteral("[^a-z0-9']+"));
    return text.toLower().split(separators, Qt::SkipEmptyParts);
}

}  // namespace

bool toolsAvailable() {
    return !QStandardPaths::findExecutable(QStringLiteral("flite")).isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("sox")).isEmpty();
}

std::vector<float> speak(const QString& text, const QString& voice) {
    static std::mutex mutex;
    static std::map<QString, std::vector<float>> cache;
    static QTemporaryDir dir;
    std::lock_guard lock(mutex);
    const QString key = voice + QLatin1Char('|') + text;
    if (auto it = cache.find(key); it != cache.end()) return it->second;
    if (!dir.isValid()) qFatal("no temporary folder for spoken audio: %s", qPrintable(dir.errorString()));

    const QString base = dir.path() + QLatin1Char('/') +
                         QString::fromLatin1(QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex());
    const QString wav = base + QStringLiteral(".wav");
    const QString raw = base + QStringLiteral(".f32");
    std::vector<float> samples;
    if (run(QStringLiteral("flite"),
            {QStringLiteral("-voice"), voice, QStringLiteral("-t"), text, QStringLiteral("-o"), wav}) &&
        run(QStringLiteral("sox"),
            {wav, QStringLiteral("-r"), QStringLiteral("16000"), QStringLiteral("-c"), QStringLiteral("1"),
             QStringLiteral("-b"), QStringLiteral("32"), QStringLiteral("-e"), QStringLiteral("floating-point"),
             QStringLiteral("-t"), QStringLiteral("raw"), raw})) {
        QFile file(raw);
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray bytes = file.readAll();
            samples.resize(std::size_t(bytes.size()) / sizeof(float));
            std::memcpy(samples.data(), bytes.constData(), samples.size() * sizeof(float));
        }
    }
    cache[key] = samples;
    return samples;
}

std::vector<float> silence(double seconds) { return std::vector<float>(std::size_t(seconds * 16000), 0.0f); }

double wordErrorRate(const QString& reference, const QString& hypothesis) {
    const QStringList ref = words(reference);
    const QStringList hyp = words(hypothesis);
    if (ref.isEmpty()) return hyp.isEmpty() ? 0.0 : 1.0;
    // Levenshtein distance over words.
    std::vector<int> prev(std::size_t(hyp.size()) + 1), cur(prev.size());
    for (std::size_t j = 0; j < prev.size(); ++j) prev[j] = int(j);
    for (qsizetype i = 1; i <= ref.size(); ++i) {
        cur[0] = int(i);
        for (qsizetype j = 1; j <= hyp.size(); ++j) {
            const int substitution = prev[std::size_t(j - 1)] + (ref[i - 1] == hyp[j - 1] ? 0 : 1);
            cur[std::size_t(j)] = std::min({substitution, prev[std::size_t(j)] + 1, cur[std::size_t(j - 1)] + 1});
        }
        std::swap(prev, cur);
    }
    return double(prev[std::size_t(hyp.size())]) / double(ref.size());
}

QStringList sentences() {
    return {
        QStringLiteral("please send the report to the team before the meeting tomorrow"),
        QStringLiteral("the weather today is cold and windy with some rain in the evening"),
        QStringLiteral("i would like to book a table for two people at seven"),
        QStringLiteral("we need to buy milk bread and eggs from the store"),
    };
}

std::vector<float> longSpeech(double seconds, QString* transcript) {
    const QStringList lines = sentences();
    const QStringList voices{QStringLiteral("slt"), QStringLiteral("rms"), QStringLiteral("awb")};
    const std::vector<float> pause = silence(0.3);
    std::vector<float> out = pause;
    QStringList spoken;
    for (int i = 0; double(out.size()) < seconds * 16000; ++i) {
        const QString& line = lines[i % lines.size()];
        const std::vector<float> speech = speak(line, voices[(i / lines.size()) % voices.size()]);
        if (speech.empty()) return {};
        out.insert(out.end(), speech.begin(), speech.end());
        out.insert(out.end(), pause.begin(), pause.end());
        spoken << line;
    }
    if (transcript) *transcript = spoken.join(QLatin1Char(' '));
    return out;
}

}  // namespace SpeechFixture
