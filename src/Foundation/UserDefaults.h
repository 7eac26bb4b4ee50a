#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <memory>
#include <mutex>

class QTemporaryFile;

// The user-defaults store: one INI file shared by every service. It holds tokens,
// so the file is created with mode 0600. Safe to use from any thread. Values encoded as a QVariant
// ("@Variant(...)") are taken out of the file before it is read (the old feature-flag map becomes
// its section); the file as it was is kept beside it.
class UserDefaults {
public:
    static UserDefaults& shared();

    QVariant value(const QString& key, const QVariant& fallback = {}) const;
    QString string(const QString& key) const;  // empty when absent
    bool contains(const QString& key) const;
    // Every key of one section ("[name]" in the file) with its value; empty when there is none.
    QVariantMap section(const QString& name) const;
    void setValue(const QString& key, const QVariant& value);
    void remove(const QString& key);
    void sync();

    // Tests: re-open the store at the current XDG location (after changing the environment).
    static void reloadForTesting();

    ~UserDefaults();

private:
    explicit UserDefaults(const QString& path);
    mutable std::mutex m_mutex;
    std::unique_ptr<QTemporaryFile> m_scratch;  // when the file itself could not be made safe to read
    std::unique_ptr<QSettings> m_settings;
    QString m_path;
};
