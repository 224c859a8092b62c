#include "ControlClient.h"

#include "FileDescriptor.h"
#include "RelayContract.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QString systemErrorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

void applyTimeLimit(int fd, double seconds) {
    // Whole seconds only: the fraction is dropped, as the socket options are documented to do.
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(seconds);
    limit.tv_usec = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

void connectTo(int fd, const QString& socketPath) {
    const std::optional<sockaddr_un> address = RelayContract::socketAddress(socketPath);
    if (!address)
        throw ControlClientError::pathTooLong();
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) == 0)
        return;
    const int error = errno;
    switch (error) {
    case EPERM:
    case EACCES:
        throw ControlClientError::permissionDenied();
    case ENOENT:
    case ECONNREFUSED:
        throw ControlClientError::notRunning();
    default:
        throw ControlClientError::connectFailed(systemErrorText(error));
    }
}

QByteArray readToEnd(int fd) {
    QByteArray response;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0)
            return response;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw ControlClientError::ioFailed(systemErrorText(errno));
        }
        response.append(buffer, n);
    }
}

} // namespace

ControlResponse ControlClient::send(const ControlRequest& request,
                                    std::optional<double> timeLimit) const {
    const FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM, 0));
    if (socket.get() < 0)
        throw ControlClientError::socketCreateFailed();
    applyTimeLimit(socket.get(), timeLimit.value_or(m_timeout));
    connectTo(socket.get(), m_socketPath);

    const QByteArray bytes = encodeControlRequest(request);
    // One write, nothing after the closing brace: zidire finds the end of the object itself.
    // MSG_NOSIGNAL: a peer that has gone away is an I/O error, not a reason to kill the app.
    const ssize_t written =
        ::send(socket.get(), bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL);
    if (written != bytes.size())
        throw ControlClientError::ioFailed(systemErrorText(errno));

    const QByteArray response = readToEnd(socket.get());
    if (response.isEmpty())
        throw ControlClientError::emptyResponse();
    return decodeControlResponse(response);
}

ControlResponse ControlClient::exchange(const ControlRequest& request, const char* fallback,
                                        std::optional<double> timeLimit) const {
    ControlResponse response = send(request, timeLimit);
    if (!response.ok)
        throw ControlClientError::serverError(response.error.value_or(QString::fromUtf8(fallback)));
    return response;
}

ControlStatus ControlClient::status() const {
    constexpr char fallback[] = "zidire returned no status";
    ControlResponse response = exchange({.command = ControlCommand::getStatus}, fallback);
    if (!response.status)
        throw ControlClientError::serverError(response.error.value_or(QString::fromUtf8(fallback)));
    return std::move(*response.status);
}

void ControlClient::updateSender(const QString& provider, const QString& fromAddress) const {
    exchange({.command = ControlCommand::setConfig, .sender = SenderUpdate{provider, fromAddress}},
             "zidire rejected the update");
}

void ControlClient::setDeviceUser(const QString& username, const QString& password) const {
    exchange(
        {.command = ControlCommand::setConfig, .deviceUser = DeviceUserUpdate{username, password}},
        "zidire rejected the device account");
}

void ControlClient::setListenHost(const QString& host) const {
    exchange({.command = ControlCommand::setConfig, .listenHost = host},
             "zidire rejected the listen address");
}

void ControlClient::updateOAuthClient(const OAuthUpdate& update) const {
    exchange({.command = ControlCommand::setConfig, .oauth = update},
             "zidire rejected the OAuth client update");
}

void ControlClient::setCredentials(const QString& provider, const QString& refreshToken,
                                   const std::optional<QString>& email) const {
    exchange({.command = ControlCommand::setCredentials,
              .provider = provider,
              .email = email,
              .refreshToken = refreshToken},
             "zidire rejected the credentials");
}

void ControlClient::testSend(const QString& to) const {
    exchange({.command = ControlCommand::testSend, .to = to}, "zidire rejected the test send",
             testSendTimeLimit);
}

void ControlClient::retryNow() const {
    exchange({.command = ControlCommand::retryNow}, "zidire couldn't retry the queue");
}

QString ControlClient::fetchLog() const {
    constexpr char fallback[] = "zidire returned no log";
    ControlResponse response = exchange({.command = ControlCommand::getLog}, fallback);
    if (!response.logTail)
        throw ControlClientError::serverError(response.error.value_or(QString::fromUtf8(fallback)));
    return std::move(*response.logTail);
}
