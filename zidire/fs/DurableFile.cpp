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

// Gives the file without a name open as `fd` the name `path`. Through /proc, as linking the
// descriptor itself (AT_EMPTY_PATH) takes a privilege only root has; that is the way left where
// /proc is not mounted.
bool linkUnnamed(int fd, const QByteArray& path) {
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, path.constData(), AT_SYMLINK_FOLLOW) == 0)
        return true;
    return ::linkat(fd, "", AT_FDCWD, path.constData(), AT_EMPTY_PATH) == 0;
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

DurableFileWriter::DurableFileWriter(Unnamed, QString directory)
    : m_directory(std::move(directory)) {}

std::unique_ptr<DurableFileWriter> DurableFileWriter::unnamed(const QString& directory,
                                                              mode_t mode) {
    // Owned before the file is open, so that whatever fails after, the descriptor is closed.
    std::unique_ptr<DurableFileWriter> file(new DurableFileWriter(Unnamed{}, directory));
    file->m_fd =
        ::open(QFile::encodeName(directory).constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    // EISDIR: a kernel without O_TMPFILE; EOPNOTSUPP: a file system without it.
    if (file->m_fd < 0 && (errno == EISDIR || errno == EOPNOTSUPP))
        return nullptr;
    if (file->m_fd < 0)
        file->fail("create");
    if (::fchmod(file->m_fd, mode) != 0)
        file->fail("set the permissions of");
    return file;
}

DurableFileWriter::~DurableFileWriter() {
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_committed && !m_tempPath.isEmpty())
        ::unlink(QFile::encodeName(m_tempPath).constData());
}

void DurableFileWriter::fail(const char* what) const {
    const QString file =
        m_tempPath.isEmpty() ? QStringLiteral("a new file in %1").arg(m_directory) : m_tempPath;
    throw DurableFileError(
        QStringLiteral("couldn't %1 %2: %3").arg(QLatin1String(what), file, errnoText()));
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
    const QByteArray final = QFile::encodeName(finalPath);
    if (::fsync(m_fd) != 0)
        fail("flush");
    if (m_tempPath.isEmpty() && !linkUnnamed(m_fd, final))
        fail("name");
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        fail("close");
    if (!m_tempPath.isEmpty() &&
        ::rename(QFile::encodeName(m_tempPath).constData(), final.constData()) != 0)
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
