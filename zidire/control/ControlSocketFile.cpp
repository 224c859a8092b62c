#include "ControlSocketFile.h"

#include "RelayContract.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace zidire {

namespace {

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

mode_t socketMode(SocketAccess access) {
    return access == SocketAccess::anyLocalUser ? 0666 : 0600;
}
mode_t directoryMode(SocketAccess access) {
    return access == SocketAccess::anyLocalUser ? 0755 : 0700;
}

// A directory that already exists is left as it is: it may be shared (/tmp) and is not ours to
// change.
void createDirectory(const QString& directory, mode_t mode) {
    if (QFileInfo(directory).isDir())
        return;
    QDir().mkpath(QFileInfo(directory).absolutePath());
    const QByteArray path = QFile::encodeName(directory);
    if (::mkdir(path.constData(), mode) != 0 && errno != EEXIST)
        throw ControlSocketError(
            QStringLiteral("can't create the control socket's directory %1: %2")
                .arg(directory, errnoText(errno)));
    // mkdir's mode is masked by the umask.
    ::chmod(path.constData(), mode);
}

sockaddr_un socketAddress(const QString& path) {
    const std::optional<sockaddr_un> address = RelayContract::socketAddress(path);
    if (!address)
        throw ControlSocketError(
            QStringLiteral("the control socket path %1 is longer than %2 bytes")
                .arg(path)
                .arg(RelayContract::maxSocketPathBytes));
    return *address;
}

enum class Probe { nobody, stale, answering };

Probe probe(const sockaddr_un& address, const QString& path) {
    const FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket.isValid())
        throw ControlSocketError(
            QStringLiteral("can't create a Unix socket: %1").arg(errnoText(errno)));
    const int result =
        ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int error = errno;
    if (result == 0 || error == EAGAIN || error == EINPROGRESS) // EAGAIN: its backlog is full
        return Probe::answering;
    if (error == ECONNREFUSED)
        return Probe::stale;
    if (error == ENOENT)
        return Probe::nobody;
    throw ControlSocketError(
        QStringLiteral("can't check the control socket %1: %2").arg(path, errnoText(error)));
}

void clearPath(const sockaddr_un& address, const QString& path) {
    struct stat info {};
    if (::lstat(address.sun_path, &info) != 0)
        return;
    if (!S_ISSOCK(info.st_mode))
        throw ControlSocketError(
            QStringLiteral("%1 exists and isn't a socket; not replacing it").arg(path));
    switch (probe(address, path)) {
    case Probe::answering:
        throw ControlSocketError(
            QStringLiteral("another zidire is already running: its control socket %1 answers")
                .arg(path));
    case Probe::stale:
        ::unlink(address.sun_path);
        break;
    case Probe::nobody:
        break;
    }
}

} // namespace

ControlSocketFile::ControlSocketFile(QString path, SocketAccess access)
    : m_path(std::move(path)) {
    const sockaddr_un address = socketAddress(m_path);
    createDirectory(QFileInfo(m_path).absolutePath(), directoryMode(access));
    clearPath(address, m_path);

    m_socket.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!m_socket.isValid())
        throw ControlSocketError(
            QStringLiteral("can't create a Unix socket: %1").arg(errnoText(errno)));

    // bind() creates the file with the umask's permissions; narrow them for the moment between
    // bind and chmod.
    const mode_t previousMask = ::umask(0777 & ~socketMode(access));
    const int bound =
        ::bind(m_socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bindError = errno;
    ::umask(previousMask);
    struct stat info {};
    if (bound != 0 || ::chmod(address.sun_path, socketMode(access)) != 0 ||
        ::listen(m_socket.get(), SOMAXCONN) != 0 || ::stat(address.sun_path, &info) != 0) {
        const int error = bound != 0 ? bindError : errno;
        m_socket.reset();
        if (bound == 0)
            ::unlink(address.sun_path);
        throw ControlSocketError(QStringLiteral("can't listen on the control socket %1: %2")
                                     .arg(m_path, errnoText(error)));
    }
    m_device = info.st_dev;
    m_inode = info.st_ino;
}

ControlSocketFile::~ControlSocketFile() {
    m_socket.reset();
    const QByteArray path = QFile::encodeName(m_path);
    struct stat info {};
    if (::lstat(path.constData(), &info) == 0 && info.st_dev == m_device && info.st_ino == m_inode)
        ::unlink(path.constData());
}

} // namespace zidire
