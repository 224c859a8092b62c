#include "RawControlConnection.h"

#include <QDeadlineTimer>
#include <QFile>

#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

RawControlConnection::RawControlConnection(const QString& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(socketPath);
    std::memcpy(address.sun_path, path.constData(),
                std::min(size_t(path.size()), sizeof address.sun_path - 1));
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

RawControlConnection::~RawControlConnection() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool RawControlConnection::send(const QByteArray& bytes) {
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            ::send(m_fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

bool RawControlConnection::answersWithin(int timeoutMs) {
    pollfd readable{m_fd, POLLIN, 0};
    return ::poll(&readable, 1, timeoutMs) > 0;
}

QByteArray RawControlConnection::readToEnd(int timeoutMs) {
    QByteArray bytes;
    const QDeadlineTimer deadline(timeoutMs);
    char buffer[4096];
    while (answersWithin(int(deadline.remainingTime()))) {
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n <= 0)
            return bytes;
        bytes.append(buffer, n);
    }
    return {};
}
