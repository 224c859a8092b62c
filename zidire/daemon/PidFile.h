#pragma once

// zidire's pid in its state directory, locked for as long as it runs. The lock keeps a second
// zidire away from the same settings and spool (its start-up would take the first one's messages
// in progress for crash leftovers); the pid lets the local service backend stop it.

#include <QString>

#include <stdexcept>

namespace zidire {

class PidFileError : public std::runtime_error {
public:
    explicit PidFileError(const QString& message)
        : std::runtime_error(message.toStdString()) {}
};

class PidFile {
public:
    // Throws PidFileError when another process holds the file, or it can't be written.
    explicit PidFile(QString path);
    ~PidFile();
    PidFile(const PidFile&) = delete;
    PidFile& operator=(const PidFile&) = delete;

private:
    QString m_path;
    int m_fd = -1;
};

} // namespace zidire
