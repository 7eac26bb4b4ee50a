#pragma once

#include <QByteArray>
#include <QString>

// An append-only log file that only its owner can read (mode 0600: it holds what the user
// dictated), kept to a bounded size: before a write would take it past `limitBytes` it is moved
// to `oldPath` (replacing the copy there), so the two together stay near twice the limit. No
// handle is kept between writes. Not thread-safe: each log writes from its own serial queue.
class BoundedLogFile {
public:
    BoundedLogFile(QString path, QString oldPath, qint64 limitBytes);

    // Appends the bytes; false when the file cannot be written (the bytes are lost).
    bool append(const QByteArray& bytes);
    // Moves the file aside now when it is larger than the limit.
    void rotateIfLarger();

    const QString& path() const { return m_path; }
    const QString& oldPath() const { return m_oldPath; }
    qint64 limitBytes() const { return m_limit; }

private:
    void rotate();
    // Files written by earlier versions of the program were readable by everyone.
    void makePrivate();

    QString m_path;
    QString m_oldPath;
    qint64 m_limit;
    bool m_madePrivate = false;
};
