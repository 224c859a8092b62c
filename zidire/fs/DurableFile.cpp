#include "DurableFile.h"

#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zidire {

namespace {

QString errnoText() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

DurableFileWriter::DurableFileWriter(QString tempPath, mode_t mode)
    : m_tempPath(std::move(tempPath)) {
    // Always a new file: whatever has the name already (a link planted there, or what a crash
    // left) is neither followed nor written into. What is there is removed, once; if something
    // takes the name again at once, the write fails rather than go anywhere else.
    const QByteArray temp = QFile::encodeName(m_tempPath);
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    m_fd = ::open(temp.constData(), flags, mode);
    if (m_fd < 0 && errno == EEXIST && ::unlink(temp.constData()) == 0)
        m_fd = ::open(temp.constData(), flags, mode);
    if (m_fd < 0)
        fail("create");
    // The mode given to open() is masked by the umask; secrets must not depend on it.
    if (::fchmod(m_fd, mode) != 0) {
        // Thrown from the constructor, so the destructor won't clean up.
        const int error = errno;
        ::close(m_fd);
        ::unlink(temp.constData());
        errno = error;
        fail("set the permissions of");
    }
}

DurableFileWriter::~DurableFileWriter() {
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_committed)
        ::unlink(QFile::encodeName(m_tempPath).constData());
}

void DurableFileWriter::fail(const char* what) const {
    throw DurableFileError(
        QStringLiteral("couldn't %1 %2: %3").arg(QLatin1String(what), m_tempPath, errnoText()));
}

void DurableFileWriter::write(const char* data, qint64 size) {
    while (size > 0) {
        const ssize_t n = ::write(m_fd, data, static_cast<size_t>(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("write");
        }
        data += n;
        size -= n;
    }
}

void DurableFileWriter::commit(const QString& finalPath) {
    if (::fsync(m_fd) != 0)
        fail("flush");
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        fail("close");
    if (::rename(QFile::encodeName(m_tempPath).constData(),
                 QFile::encodeName(finalPath).constData()) != 0)
        fail("rename");
    m_committed = true;
    syncDirectory(QFileInfo(finalPath).absolutePath());
}

void writeFileDurably(const QString& path, const QByteArray& data, mode_t mode) {
    DurableFileWriter writer(path + QStringLiteral(".tmp"), mode);
    writer.write(data);
    writer.commit(path);
}

void syncDirectory(const QString& directory) {
    const int fd =
        ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw DurableFileError(
            QStringLiteral("couldn't open the directory %1: %2").arg(directory, errnoText()));
    const bool synced = ::fsync(fd) == 0;
    const QString error = synced ? QString() : errnoText();
    ::close(fd);
    if (!synced)
        throw DurableFileError(
            QStringLiteral("couldn't flush the directory %1: %2").arg(directory, error));
}

} // namespace zidire
