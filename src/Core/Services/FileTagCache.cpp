#include "Core/Services/FileTagCache.h"

#include "Core/LogCategories.h"
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"

#include <QRegularExpression>

#include <algorithm>
#include <vector>

namespace {

double absoluteNow() { return Clock::current().now().toMSecsSinceEpoch() / 1000.0; }

// Markers editors add to a title for unsaved work; removed before matching.
const char* const kEditorMarkers[] = {"• Modified", "— Modified", "— Unsaved", " [Modified]", " [Unsaved]"};

const std::optional<QRegularExpression>& fileNameRegex() {
    static const std::optional<QRegularExpression> regex = []() -> std::optional<QRegularExpression> {
        QRegularExpression re(QStringLiteral("(?<![\\w./-])([\\w ._/-]+?\\.(?:") +
                                  FileTagCache::supportedExtensions().join('|') + QStringLiteral("))(?![\\w./-])"),
                              QRegularExpression::CaseInsensitiveOption |
                                  QRegularExpression::UseUnicodePropertiesOption);
        if (!re.isValid()) return std::nullopt;
        re.optimize();
        return re;
    }();
    return regex;
}

}  // namespace

FileTagCache& FileTagCache::shared() {
    static FileTagCache instance;
    return instance;
}

const QSet<QString>& FileTagCache::vsCodeLikeBundleIDs() {
    // Desktop-file ids and WM_CLASS classes under which these editors appear on Linux:
    // Cursor, Visual Studio Code (deb/rpm and Flatpak), its Insiders build, Windsurf,
    // Google Antigravity and Zed.
    static const QSet<QString> ids{
        QStringLiteral("cursor"),
        QStringLiteral("Cursor"),
        QStringLiteral("code"),
        QStringLiteral("Code"),
        QStringLiteral("com.visualstudio.code"),
        QStringLiteral("code-insiders"),
        QStringLiteral("Code - Insiders"),
        QStringLiteral("windsurf"),
        QStringLiteral("Windsurf"),
        QStringLiteral("antigravity"),
        QStringLiteral("Antigravity"),
        QStringLiteral("dev.zed.Zed"),
        QStringLiteral("zed"),
    };
    return ids;
}

const QStringList& FileTagCache::supportedExtensions() {
    static const QStringList extensions =
        QStringLiteral(
            "swift m mm h hpp c cc cpp cs py rb go rs java kt scala js jsx ts tsx mjs cjs json jsonc yml "
            "yaml toml ini cfg conf plist md rst adoc txt log sql html htm css scss less sh zsh bash fish "
            "ps1 bat proto graphql gql dockerfile gradle sln csproj vbproj xcodeproj xcworkspace lock mod sum")
            .split(' ');
    return extensions;
}

const QSet<QString>& FileTagCache::specialFilenames() {
    static const QSet<QString> names{
        QStringLiteral("Makefile"), QStringLiteral("Dockerfile"),    QStringLiteral("LICENSE"),
        QStringLiteral("License"),  QStringLiteral("COPYING"),       QStringLiteral("Readme"),
        QStringLiteral("README"),   QStringLiteral("Gemfile"),       QStringLiteral("Procfile"),
        QStringLiteral("Podfile"),  QStringLiteral("Package.swift"), QStringLiteral("Cargo.toml"),
        QStringLiteral("go.mod"),   QStringLiteral("package.json"),
    };
    return names;
}

QStringList FileTagCache::extractFileNames(const QStringList& texts) {
    QSet<QString> found;
    const auto& regex = fileNameRegex();
    for (QString text : texts) {
        for (const char* marker : kEditorMarkers) text.remove(QString::fromUtf8(marker));
        text = text.trimmed();

        if (regex) {
            auto it = regex->globalMatch(text);
            while (it.hasNext()) {
                QString name = it.next().captured(1);
                const qsizetype slash = name.lastIndexOf('/');
                if (slash >= 0) name = name.mid(slash + 1);
                while (name.startsWith('/')) name.remove(0, 1);
                while (name.endsWith('/')) name.chop(1);
                // The pattern admits blanks inside names, so a match can begin with the blank
                // after a comma; a name never starts or ends with one.
                name = name.trimmed();
                if (!name.isEmpty()) found.insert(name);
            }
        }

        QString piece;
        auto flush = [&] {
            const QString trimmed = piece.trimmed();
            if (specialFilenames().contains(trimmed)) found.insert(trimmed);
            piece.clear();
        };
        for (QChar c : text) {
            if (c.isSpace() || c.isPunct())
                flush();
            else
                piece += c;
        }
        flush();
    }
    return QStringList(found.begin(), found.end());
}

void FileTagCache::evictOverLimit(QHash<QString, CacheEntry>& entries, int max) {
    if (entries.size() <= max) return;
    std::vector<std::pair<double, QString>> byAge;
    byAge.reserve(entries.size());
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) byAge.emplace_back(it->lastAccessed, it.key());
    std::sort(byAge.begin(), byAge.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    const qsizetype excess = entries.size() - max;
    for (qsizetype i = 0; i < excess; ++i) entries.remove(byAge[size_t(i)].second);
}

void FileTagCache::dropExpired(double now) {
    const double cutoff = now - ttlSeconds;
    m_fileNames.removeIf([cutoff](const auto& it) { return !(it.value().lastAccessed > cutoff); });
}

void FileTagCache::extractAndCache(const QStringList& axTexts, const std::optional<QString>& bundleId) {
    if (!bundleId || !vsCodeLikeBundleIDs().contains(*bundleId)) return;
    const QStringList names = extractFileNames(axTexts);
    if (names.isEmpty()) return;

    std::lock_guard lock(m_lock);
    const double now = absoluteNow();
    for (const QString& name : names) m_fileNames.insert(name.toLower(), CacheEntry{name, now});
    dropExpired(now);
    evictOverLimit(m_fileNames, maxEntries);
    VLOG_INFO(lcFileTagCache)
        << QStringLiteral("Cached %1 file names (total: %2)").arg(names.size()).arg(m_fileNames.size());
}

QStringList FileTagCache::allFileNames() {
    std::lock_guard lock(m_lock);
    dropExpired(absoluteNow());
    QStringList out;
    out.reserve(m_fileNames.size());
    for (const CacheEntry& entry : std::as_const(m_fileNames)) out << entry.value;
    return out;
}
