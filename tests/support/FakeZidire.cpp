#include "FakeZidire.h"

#include "ControlCodec.h"
#include "JsonObjectFramer.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

FakeZidire::FakeZidire(const QString& socketPath)
    : m_socketPath(socketPath.isEmpty() ? m_dir.filePath(QStringLiteral("control.sock"))
                                        : socketPath) {
    if (!m_dir.isValid() || ::pipe(m_wakePipe) != 0)
        throw std::runtime_error("FakeZidire: no temporary directory or pipe");
    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = m_socketPath.toUtf8();
    if (path.size() >= static_cast<qsizetype>(sizeof address.sun_path))
        throw std::runtime_error("FakeZidire: temporary path too long for a socket");
    std::copy(path.begin(), path.end(), address.sun_path);
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listenFd, 128) != 0)
        throw std::runtime_error("FakeZidire: cannot listen");
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

FakeZidire::~FakeZidire() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    const char wake = 'x';
    [[maybe_unused]] const auto written = ::write(m_wakePipe[1], &wake, 1);
    m_acceptThread.join();
    for (std::thread& thread : m_connectionThreads)
        thread.join();
    ::close(m_listenFd);
    ::close(m_wakePipe[0]);
    ::close(m_wakePipe[1]);
}

void FakeZidire::setReply(const QString& command, Reply reply) {
    std::lock_guard lock(m_mutex);
    m_replies.insert(command, std::move(reply));
}

void FakeZidire::setDefaultReply(Reply reply) {
    std::lock_guard lock(m_mutex);
    m_defaultReply = std::move(reply);
}

QStringList FakeZidire::commands() const {
    QStringList commands;
    for (const QByteArray& request : requests())
        commands.append(QJsonDocument::fromJson(request).object().value("command").toString());
    return commands;
}

bool FakeZidire::pause(std::chrono::milliseconds duration) const {
    std::unique_lock lock(m_mutex);
    return !m_changed.wait_for(lock, duration, [&] { return m_stopping; });
}

FakeZidire::Reply FakeZidire::replyFor(const QByteArray& request) const {
    const QString command = QJsonDocument::fromJson(request).object().value("command").toString();
    std::lock_guard lock(m_mutex);
    return m_replies.value(command, m_defaultReply);
}

void FakeZidire::acceptLoop() {
    pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents != 0)
            return;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard lock(m_mutex);
        m_connectionThreads.emplace_back([this, fd] { serve(fd); });
    }
}

void FakeZidire::serve(int fd) {
    {
        std::lock_guard lock(m_mutex);
        m_mostActive = std::max(m_mostActive, ++m_active);
    }

    QByteArray request;
    JsonObjectFramer framer;
    char buffer[4096];
    while (framer.state() == JsonObjectFramer::State::incomplete) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        request.append(buffer, n);
        framer.feed(buffer, n);
    }
    {
        std::lock_guard lock(m_mutex);
        m_requests.append(request);
        m_requestTimes.append(std::chrono::steady_clock::now());
    }

    const Reply reply = replyFor(request);
    if (pause(reply.delay)) {
        switch (reply.mode) {
        case Mode::answer:
            ::send(fd, reply.bytes.constData(), static_cast<size_t>(reply.bytes.size()),
                   MSG_NOSIGNAL);
            break;
        case Mode::answerInPieces:
            for (qsizetype at = 0; at < reply.bytes.size(); at += reply.pieceSize) {
                const qsizetype n = std::min<qsizetype>(reply.pieceSize, reply.bytes.size() - at);
                ::send(fd, reply.bytes.constData() + at, static_cast<size_t>(n), MSG_NOSIGNAL);
                if (!pause(std::chrono::milliseconds(1)))
                    break;
            }
            break;
        case Mode::closeWithoutAnswer:
            break;
        case Mode::neverAnswer:
            pause(std::chrono::hours(1));
            break;
        }
    }
    ::close(fd);
    {
        std::lock_guard lock(m_mutex);
        --m_active;
        ++m_served;
    }
}

ControlStatus sampleStatus(qint64 spoolDepth) {
    return {.version = "test",
            .provider = "m365",
            .fromAddress = "scans@example.com",
            .authenticated = true,
            .deviceUsername = "copier",
            .devicePasswordStored = true,
            .spoolDepth = spoolDepth,
            .uptimeSeconds = 1.5,
            .listeners = {{"0.0.0.0:2525", "none", std::nullopt}}};
}

QByteArray statusReplyJson(qint64 spoolDepth) {
    return encodeControlResponse({.ok = true, .status = sampleStatus(spoolDepth)});
}
