#pragma once

// The free space of the file system that holds a directory, for the check before each message.
// Reading it costs a system call; it is read again only when the last reading is older than
// `maxAge` or when enough has been stored since that it may be out of date.

#include <QString>

#include <chrono>
#include <optional>

namespace zidire {

class FreeSpace {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr qint64 rereadAfterBytes = 1024 * 1024;

    explicit FreeSpace(QString directory,
                       std::chrono::milliseconds maxAge = std::chrono::milliseconds(250));

    // Bytes an unprivileged process may still write there; nothing when it can't be read.
    std::optional<qint64> bytesAvailable();
    // `bytes` more have been stored since the last reading.
    void stored(qint64 bytes) { m_storedSinceReading += bytes; }

private:
    QString m_directory;
    std::chrono::milliseconds m_maxAge;
    std::optional<Clock::time_point> m_readAt;
    std::optional<qint64> m_available;
    qint64 m_storedSinceReading = 0;
};

} // namespace zidire
