#pragma once

// zidire's log: one line per event in a file (with a rotated predecessor), optionally mirrored to
// standard error, and the tail that "GetLog" answers with. Secrets are kept out by the code that
// writes a line, never searched for in it: masking every occurrence of a secret in text a client
// chose would tell the client which part of its text matched.

#include <QFile>
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
    // A message longer than `maxMessageCharacters` is cut and ends in "…", so one event cannot
    // push every other out of the tail.
    void write(Level level, const QString& message);
    static constexpr qsizetype maxMessageCharacters = 2048;

    // The last `maxBytes` bytes of the log, starting at a line boundary.
    QString tail(qint64 maxBytes = 64 * 1024) const;

    QString filePath() const { return m_file.fileName(); }

private:
    void rotateIfNeeded();

    QFile m_file;
    bool m_mirror;
    qint64 m_rotateBytes;
};

} // namespace zidire
