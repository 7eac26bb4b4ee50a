#include "Foundation/UserDefaults.h"

#include "Foundation/AppPaths.h"
#include "Foundation/Clock.h"
#include "Foundation/LogCategories.h"
#include "Foundation/Logger.h"

#include <QDateTime>
#include <QFile>
#include <QStringList>
#include <QTemporaryFile>

#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::mutex g_instanceMutex;
std::unique_ptr<UserDefaults> g_instance;

constexpr auto kFeatureFlagsKey = "vantrose_feature_flags";

void ensurePrivateFile(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    // Create it 0600 before QSettings ever writes it, and tighten an existing one.
    int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
    ::chmod(native.constData(), 0600);
}

bool writePrivateFile(const QString& path, const QByteArray& bytes, int extraFlags) {
    const QByteArray native = QFile::encodeName(path);
    int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | extraFlags, 0600);
    if (fd < 0) return false;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n <= 0) break;
        done += n;
    }
    const bool ok = done == bytes.size() && ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// QSettings turns an INI value that reads "@Variant(...)" or "@DateTime(...)" into a QVariant with
// QDataStream, which trusts the sizes inside: a forged count makes it reserve tens of gigabytes and
// abort. The program writes neither form (the only one it ever read is the feature-flag map of
// older versions), so such values are taken out of the file before QSettings sees it.
//
// The INI text as QSettings unescapes it: quotes dropped, backslash escapes decoded, an escaped line
// break dropped. Whitespace is dropped as well, so a search in it finds every place where QSettings
// could see one of the two prefixes, and some where it could not (harmless: those lines go too).
int hexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

struct Unescaped {
    QString text;
    std::vector<qsizetype> source;  // offset in the raw text of each character of `text`
};

Unescaped unescapeLoosely(const QString& raw) {
    Unescaped out;
    out.text.reserve(raw.size());
    out.source.reserve(size_t(raw.size()));
    auto emit = [&](char16_t c, qsizetype from) {
        out.text.append(QChar(c));
        out.source.push_back(from);
    };
    const qsizetype n = raw.size();
    qsizetype i = 0;
    while (i < n) {
        const char16_t c = raw.at(i).unicode();
        const qsizetype start = i++;
        if (c == u'"' || c == u' ' || c == u'\t' || c == u'\n' || c == u'\r') continue;
        if (c != u'\\') {
            emit(c, start);
            continue;
        }
        if (i >= n) break;
        const char16_t e = raw.at(i++).unicode();
        switch (e) {
        case u'a': emit(7, start); break;
        case u'b': emit(8, start); break;
        case u'f': emit(12, start); break;
        case u'n': emit(10, start); break;
        case u'r': emit(13, start); break;
        case u't': emit(9, start); break;
        case u'v': emit(11, start); break;
        case u'\n':
        case u'\r':
            // A continued line; the other half of a CR LF pair goes with it.
            if (i < n && (raw.at(i) == u'\n' || raw.at(i) == u'\r') && raw.at(i).unicode() != e) ++i;
            break;
        case u'x': {
            quint32 value = 0;
            bool any = false;
            for (int digit; i < n && (digit = hexDigit(raw.at(i).unicode())) >= 0; ++i) {
                value = (value << 4) + quint32(digit);
                any = true;
            }
            if (any) emit(char16_t(value & 0xFFFF), start);
            break;
        }
        default:
            if (e >= u'0' && e <= u'7') {
                quint32 value = e - u'0';
                while (i < n && raw.at(i) >= u'0' && raw.at(i) <= u'7')
                    value = (value << 3) + (raw.at(i++).unicode() - u'0');
                emit(char16_t(value & 0xFFFF), start);
            } else {
                emit(e, start);  // \" \' \? \\ and anything else: the character itself
            }
        }
    }
    return out;
}

// The exact bytes of a value QSettings wrote for a QVariant ("@Variant(" ... ")", quoted when it
// holds a comma): escapes decoded, the quotes taken off. Nothing when it is anything else.
std::optional<QByteArray> variantPayload(const QString& rawValue) {
    QString text;
    bool quoted = false;
    const qsizetype n = rawValue.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = rawValue.at(i);
        if (c == u'"') {
            quoted = !quoted;
        } else if (c == u',' && !quoted) {
            return std::nullopt;  // QSettings would read a list
        } else if (c == u'\\') {
            if (++i >= n) return std::nullopt;
            const QChar e = rawValue.at(i);
            if (e == u'x') {
                quint32 value = 0;
                int digits = 0;
                while (i + 1 < n && hexDigit(rawValue.at(i + 1).unicode()) >= 0) {
                    value = (value << 4) + quint32(hexDigit(rawValue.at(++i).unicode()));
                    if (++digits > 4) return std::nullopt;
                }
                if (digits == 0) return std::nullopt;
                text.append(QChar(char16_t(value)));
            } else if (e >= u'0' && e <= u'7') {
                quint32 value = e.unicode() - u'0';
                int digits = 1;
                while (i + 1 < n && rawValue.at(i + 1) >= u'0' && rawValue.at(i + 1) <= u'7') {
                    value = (value << 3) + (rawValue.at(++i).unicode() - u'0');
                    if (++digits > 6) return std::nullopt;
                }
                text.append(QChar(char16_t(value)));
            } else {
                static const QString simple = QStringLiteral("abfnrtv");
                static const char16_t codes[] = {7, 8, 12, 10, 13, 9, 11};
                const qsizetype at = simple.indexOf(e);
                text.append(at >= 0 ? QChar(codes[at]) : e);
            }
        } else {
            text.append(c);
        }
    }
    if (quoted) return std::nullopt;
    text = text.trimmed();
    const QString prefix = QStringLiteral("@Variant(");
    if (!text.startsWith(prefix) || !text.endsWith(u')')) return std::nullopt;
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = prefix.size(); i < text.size() - 1; ++i) {
        if (text.at(i).unicode() > 0xFF) return std::nullopt;
        bytes.append(char(text.at(i).unicode()));
    }
    return bytes;
}

// A map or hash of text to true/false, as QDataStream (format of Qt 4.0, which QSettings uses)
// writes it; every size checked against the bytes there are. Nothing for any other value.
std::optional<QMap<QString, bool>> decodeFlagMap(const QByteArray& bytes) {
    qsizetype at = 0;
    auto u32 = [&]() -> std::optional<quint32> {
        if (bytes.size() - at < 4) return std::nullopt;
        const auto* p = reinterpret_cast<const uchar*>(bytes.constData() + at);
        at += 4;
        return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
    };
    const auto type = u32();
    if (!type || (*type != QMetaType::QVariantMap && *type != QMetaType::QVariantHash)) return std::nullopt;
    const auto count = u32();
    // Each entry takes at least 9 bytes: the key's size, the value's type and the value.
    if (!count || *count > quint32((bytes.size() - at) / 9)) return std::nullopt;
    QMap<QString, bool> flags;
    for (quint32 entry = 0; entry < *count; ++entry) {
        const auto keyBytes = u32();
        if (!keyBytes || *keyBytes % 2 != 0 || *keyBytes > quint32(bytes.size() - at)) return std::nullopt;
        QString key;
        for (quint32 k = 0; k < *keyBytes; k += 2)
            key.append(QChar(char16_t((uchar(bytes.at(at + k)) << 8) | uchar(bytes.at(at + k + 1)))));
        at += *keyBytes;
        const auto valueType = u32();
        if (!valueType || *valueType != QMetaType::Bool || at >= bytes.size()) return std::nullopt;
        const char value = bytes.at(at++);
        if (value != 0 && value != 1) return std::nullopt;
        if (key.isEmpty() || key.contains(u'/') || key.contains(u'\\')) return std::nullopt;
        flags.insert(key, value == 1);
    }
    if (at != bytes.size()) return std::nullopt;
    return flags;
}

struct Cleaned {
    QByteArray text;
    bool changed = false;
    QStringList dropped;                             // keys whose values could not be kept
    std::optional<QMap<QString, bool>> legacyFlags;  // the old feature-flag map, decoded
};

// The physical lines of the file with the ones that carry an encoded QVariant taken out; the old
// feature-flag map is decoded on the way. Runs again on its own result, as taking a line out can
// join its neighbours; gives up (an empty file) when that does not settle.
Cleaned withoutEncodedVariants(const QByteArray& original) {
    Cleaned result;
    result.text = original;
    static const QString markers[] = {QStringLiteral("@Variant("), QStringLiteral("@DateTime(")};
    for (int round = 0; round < 16; ++round) {
        const QString raw = QString::fromUtf8(result.text);
        const Unescaped loose = unescapeLoosely(raw);
        std::vector<std::pair<qsizetype, qsizetype>> hits;  // raw offsets, first and last character
        for (const QString& marker : markers)
            for (qsizetype from = 0; (from = loose.text.indexOf(marker, from)) >= 0; ++from)
                hits.emplace_back(loose.source[size_t(from)], loose.source[size_t(from + marker.size() - 1)]);
        if (hits.empty()) return result;
        result.changed = true;

        // Physical lines (by raw offset) and the section each belongs to.
        QStringList lines = raw.split(u'\n');
        std::vector<bool> drop(size_t(lines.size()), false);
        std::vector<qsizetype> lineStart;
        qsizetype offset = 0;
        for (const QString& line : lines) {
            lineStart.push_back(offset);
            offset += line.size() + 1;
        }
        auto lineOf = [&](qsizetype rawOffset) {
            return qsizetype(std::upper_bound(lineStart.begin(), lineStart.end(), rawOffset) - lineStart.begin()) - 1;
        };
        for (const auto& [first, last] : hits)
            for (qsizetype l = lineOf(first); l <= lineOf(last); ++l) drop[size_t(l)] = true;

        QString section;
        for (qsizetype l = 0; l < lines.size(); ++l) {
            const QString trimmed = lines[l].trimmed();
            if (!drop[size_t(l)]) {
                if (trimmed.startsWith(u'[') && trimmed.endsWith(u']')) section = trimmed.mid(1, trimmed.size() - 2);
                continue;
            }
            const bool continuesDropped = l > 0 && drop[size_t(l - 1)] && lines[l - 1].endsWith(u'\\');
            if (continuesDropped) continue;  // the rest of a value already named
            const qsizetype equals = lines[l].indexOf(u'=');
            const QString key = equals < 0 ? trimmed : lines[l].left(equals).trimmed();
            const bool generalSection = section.isEmpty() || section == QLatin1String("General");
            if (generalSection && key == QLatin1String(kFeatureFlagsKey) && !result.legacyFlags) {
                if (!lines[l].endsWith(u'\\')) {
                    if (auto payload = variantPayload(lines[l].mid(equals + 1))) {
                        if (auto flags = decodeFlagMap(*payload)) {
                            result.legacyFlags = std::move(flags);
                            continue;
                        }
                    }
                }
            }
            result.dropped.append(section.isEmpty() || section == QLatin1String("General") ? key
                                                                                           : section + u'/' + key);
        }
        QStringList kept;
        for (qsizetype l = 0; l < lines.size(); ++l)
            if (!drop[size_t(l)]) kept.append(lines[l]);
        result.text = kept.join(u'\n').toUtf8();
    }
    result.text.clear();
    result.dropped.append(QStringLiteral("(the whole file)"));
    return result;
}
}  // namespace

UserDefaults& UserDefaults::shared() {
    std::lock_guard lock(g_instanceMutex);
    if (!g_instance) g_instance.reset(new UserDefaults(AppPaths::userDefaultsFile()));
    return *g_instance;
}

void UserDefaults::reloadForTesting() {
    std::lock_guard lock(g_instanceMutex);
    g_instance.reset(new UserDefaults(AppPaths::userDefaultsFile()));
}

UserDefaults::UserDefaults(const QString& path) : m_path(path) {
    ensurePrivateFile(path);
    QString settingsPath = path;
    std::optional<QMap<QString, bool>> legacyFlags;
    if (QFile file(path); file.open(QIODevice::ReadOnly)) {
        const QByteArray original = file.readAll();
        file.close();
        Cleaned cleaned = withoutEncodedVariants(original);
        if (cleaned.changed) {
            legacyFlags = std::move(cleaned.legacyFlags);
            bool saved = true;
            if (!cleaned.dropped.isEmpty()) {
                // The file as it was, beside it, before anything in it is replaced.
                const QString stamp = Clock::current().now().toUTC().toString(QStringLiteral("yyyyMMdd-HHmmss"));
                QString backup;
                saved = false;
                for (int n = 0; n < 100 && !saved; ++n) {
                    backup =
                        path + QStringLiteral(".unreadable-") + stamp + (n ? QStringLiteral("-%1").arg(n) : QString());
                    saved = writePrivateFile(backup, original, O_EXCL);
                }
                VLOG_WARNING(lcUserDefaults)
                    << QStringLiteral("Dropped values that cannot be read safely (%1) from %2; %3")
                           .arg(cleaned.dropped.join(QStringLiteral(", ")), path,
                                saved ? QStringLiteral("the file as it was is saved as ") + backup
                                      : QStringLiteral("could not save a copy of the file as it was"));
            }
            const QString temp = path + QStringLiteral(".cleaning");
            const bool replaced =
                saved && writePrivateFile(temp, cleaned.text, O_TRUNC) &&
                ::rename(QFile::encodeName(temp).constData(), QFile::encodeName(path).constData()) == 0;
            if (!replaced) {
                ::unlink(QFile::encodeName(temp).constData());
                // QSettings must not read that file: this run works on a private copy without the
                // dropped values, and the file stays as it is.
                m_scratch = std::make_unique<QTemporaryFile>();
                if (m_scratch->open()) {
                    m_scratch->write(cleaned.text);
                    m_scratch->close();
                }
                settingsPath = m_scratch->fileName();
                VLOG_WARNING(lcUserDefaults)
                    << QStringLiteral("Could not rewrite %1; using a private copy for this run").arg(path);
            }
        }
    }
    m_settings = std::make_unique<QSettings>(settingsPath, QSettings::IniFormat);
    if (legacyFlags && !legacyFlags->isEmpty()) {
        // The old map becomes the section the program reads first, unless the section is there.
        m_settings->beginGroup(QLatin1String(kFeatureFlagsKey));
        if (m_settings->childKeys().isEmpty())
            for (auto it = legacyFlags->cbegin(); it != legacyFlags->cend(); ++it)
                m_settings->setValue(it.key(), it.value());
        m_settings->endGroup();
        m_settings->sync();
        ::chmod(QFile::encodeName(settingsPath).constData(), 0600);
    }
}

UserDefaults::~UserDefaults() = default;

QVariant UserDefaults::value(const QString& key, const QVariant& fallback) const {
    std::lock_guard lock(m_mutex);
    return m_settings->value(key, fallback);
}

QString UserDefaults::string(const QString& key) const { return value(key).toString(); }

bool UserDefaults::contains(const QString& key) const {
    std::lock_guard lock(m_mutex);
    return m_settings->contains(key);
}

QVariantMap UserDefaults::section(const QString& name) const {
    std::lock_guard lock(m_mutex);
    QVariantMap values;
    m_settings->beginGroup(name);
    for (const QString& key : m_settings->childKeys()) values.insert(key, m_settings->value(key));
    m_settings->endGroup();
    return values;
}

void UserDefaults::setValue(const QString& key, const QVariant& value) {
    std::lock_guard lock(m_mutex);
    m_settings->setValue(key, value);
    m_settings->sync();
    ::chmod(QFile::encodeName(m_path).constData(), 0600);  // QSettings replaces the file on sync
}

void UserDefaults::remove(const QString& key) {
    std::lock_guard lock(m_mutex);
    m_settings->remove(key);
    m_settings->sync();
    ::chmod(QFile::encodeName(m_path).constData(), 0600);
}

void UserDefaults::sync() {
    std::lock_guard lock(m_mutex);
    m_settings->sync();
}
