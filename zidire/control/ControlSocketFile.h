#pragma once

// The control socket's file: created with the permissions of the mode, never taken over from a
// running zidire, and removed again on shutdown (unless someone else's socket has replaced it).

#include "FileDescriptor.h"

#include <QString>

#include <stdexcept>
#include <sys/types.h>

namespace zidire {

enum class SocketAccess {
    anyLocalUser, // system mode: socket 0666 in a 0755 directory
    ownerOnly,    // local mode: socket 0600 in a 0700 directory
};

class ControlSocketError : public std::runtime_error {
public:
    explicit ControlSocketError(const QString& message)
        : std::runtime_error(message.toStdString()) {}
};

class ControlSocketFile {
public:
    // Binds and listens on `path`, creating its directory when missing. Refuses when a server
    // answers there or the path holds something other than a socket; a stale socket is replaced.
    ControlSocketFile(QString path, SocketAccess access);
    ~ControlSocketFile();
    ControlSocketFile(const ControlSocketFile&) = delete;
    ControlSocketFile& operator=(const ControlSocketFile&) = delete;

    int descriptor() const { return m_socket.get(); }
    QString path() const { return m_path; }

private:
    QString m_path;
    FileDescriptor m_socket;
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

} // namespace zidire
