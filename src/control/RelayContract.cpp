#include "RelayContract.h"

#include <QFile>

#include <cstring>
#include <sys/socket.h>

std::optional<sockaddr_un> RelayContract::socketAddress(const QString& path) {
    const QByteArray bytes = QFile::encodeName(path);
    if (bytes.size() > maxSocketPathBytes)
        return std::nullopt;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, bytes.constData(), size_t(bytes.size()));
    return address;
}
