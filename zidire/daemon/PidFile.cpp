#include "PidFile.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace zidire {

namespace {

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

PidFile::PidFile(QString path)
    : m_path(std::move(path)) {
    const QByteArray nativePath = QFile::encodeName(m_path);
    m_fd = ::open(nativePath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0)
        throw PidFileError(QStringLiteral("can't open %1: %2").arg(m_path, errnoText(errno)));
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        char holder[32] = {};
        const ssize_t n = ::pread(m_fd, holder, sizeof holder - 1, 0);
        ::close(m_fd);
        if (error == EWOULDBLOCK)
            throw PidFileError(
                QStringLiteral("another zidire (pid %1) is already running with this state: %2")
                    .arg(QString::fromLatin1(QByteArray(holder, std::max<ssize_t>(n, 0)).trimmed()),
                         m_path));
        throw PidFileError(QStringLiteral("can't lock %1: %2").arg(m_path, errnoText(error)));
    }
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(m_fd, 0) != 0 ||
        ::pwrite(m_fd, pid.constData(), size_t(pid.size()), 0) != pid.size()) {
        const int error = errno;
        ::close(m_fd);
        throw PidFileError(QStringLiteral("can't write %1: %2").arg(m_path, errnoText(error)));
    }
}

PidFile::~PidFile() {
    // Removed while still locked, so no other zidire can have taken it over in between.
    ::unlink(QFile::encodeName(m_path).constData());
    ::close(m_fd);
}

} // namespace zidire
