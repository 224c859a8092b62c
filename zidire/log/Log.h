#pragma once

// zidire's log: one line per event in a file (with a rotated predecessor), optionally mirrored to
// standard error, and the tail that "GetLog" answers with. Every registered secret is masked
// before a line is written, so a secret that slips into a message never reaches the disk.

#include <QFile>
#include <QSet>
#include <QString>

namespace zidire {

class Log {
public:
    enum class Level { info, warning, error };

    // Rotates the file to "<path>.1" once it grows past `rotateBytes`.
    Log(QString filePath, bool mirrorToStandardError, qint64 rotateBytes = 4 * 1024 * 1024);

    void info(const QString& message) { write(Level::info, message); }
    void warning(const QString& message) { write(Level::warning, message); }
    void error(const QString& message) { write(Level::error, message); }
    void write(Level level, const QString& message);

    // Masks every occurrence of `secret` in later lines. Empty texts are ignored.
    void addSecret(const QString& secret);
    // For secrets that are replaced over time (access tokens), so the set doesn't grow forever.
    void removeSecret(const QString& secret) { m_secrets.remove(secret); }

    // The last `maxBytes` bytes of the log, starting at a line boundary.
    QString tail(qint64 maxBytes = 64 * 1024) const;

    QString filePath() const { return m_file.fileName(); }

private:
    QString redacted(QString message) const;
    void rotateIfNeeded();

    QFile m_file;
    bool m_mirror;
    qint64 m_rotateBytes;
    QSet<QString> m_secrets;
};

} // namespace zidire
