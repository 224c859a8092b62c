#include "FreeSpace.h"

#include <QFile>

#include <sys/statvfs.h>

namespace zidire {

FreeSpace::FreeSpace(QString directory, std::chrono::milliseconds maxAge)
    : m_directory(std::move(directory))
    , m_maxAge(maxAge) {}

std::optional<qint64> FreeSpace::bytesAvailable() {
    const Clock::time_point now = Clock::now();
    if (m_readAt && now - *m_readAt < m_maxAge && m_storedSinceReading < rereadAfterBytes)
        return m_available;
    struct statvfs info {};
    if (::statvfs(QFile::encodeName(m_directory).constData(), &info) == 0)
        m_available = qint64(info.f_bavail) * qint64(info.f_frsize);
    else
        m_available.reset();
    m_readAt = now;
    m_storedSinceReading = 0;
    return m_available;
}

} // namespace zidire
