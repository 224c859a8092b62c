#include "ControlConnection.h"

#include "ControlCodec.h"
#include "ControlRequestRules.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace zidire {

namespace {

// The framer stops at the first byte that can't start an object; one that can ('{') means the
// object was refused for its nesting instead.
QString unframeableProblem(const QByteArray& received) {
    const QByteArray start = received.trimmed();
    if (start.startsWith('{'))
        return QStringLiteral("couldn't read the request: nested too deeply");
    return QStringLiteral("couldn't read the request: not a JSON object");
}

// Bytes read and dropped per wake-up while draining, so a client that keeps sending can't hold
// the event loop.
constexpr int maxDrainReadsPerWakeUp = 16;

} // namespace

ControlConnection::ControlConnection(int socket, const ControlServer::Handler& handler,
                                     const ControlLimits& limits, QObject* parent)
    : QObject(parent)
    , m_socket(socket)
    , m_handler(handler)
    , m_limits(limits) {}

ControlConnection::~ControlConnection() {
    if (m_readNotifier)
        m_readNotifier->setEnabled(false);
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    if (m_socket >= 0)
        ::close(m_socket);
}

void ControlConnection::start(const Admission& admission) {
    if (!admission) {
        readAvailable();
        return;
    }
    m_phase = Phase::admitting;
    armDeadline();
    QPointer<ControlConnection> self(this);
    admission([self](const std::optional<QString>& refusal) {
        if (self && self->m_phase == Phase::admitting)
            self->admissionDecided(refusal);
    });
}

void ControlConnection::admissionDecided(const std::optional<QString>& refusal) {
    if (m_deadline)
        m_deadline->stop();
    if (refusal) {
        // Whatever the client sends is read and dropped, so that it can take the answer.
        refuse(*refusal, true);
        return;
    }
    m_phase = Phase::reading;
    readAvailable();
}

void ControlConnection::readAvailable() {
    char chunk[16 * 1024];
    for (;;) {
        // Never more than one byte past the limit: that byte is enough to know it was exceeded.
        const qsizetype room = m_limits.maxRequestBytes + 1 - m_request.size();
        const ssize_t n = ::read(m_socket, chunk, size_t(std::min<qsizetype>(sizeof chunk, room)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                waitForReadable();
            else
                finish();
            return;
        }
        if (n == 0) {
            if (m_request.trimmed().isEmpty())
                finish();
            else
                refuse(QStringLiteral("the request ended before its JSON object was complete"),
                       false);
            return;
        }
        m_request.append(chunk, n);
        switch (m_framer.feed(chunk, n)) {
        case JsonObjectFramer::State::complete:
            if (m_framer.endOffset() <= m_limits.maxRequestBytes) {
                dispatch(m_request.left(m_framer.endOffset()));
                return;
            }
            break;
        case JsonObjectFramer::State::invalid:
            refuse(unframeableProblem(m_request), true);
            return;
        case JsonObjectFramer::State::incomplete:
            if (m_request.size() <= m_limits.maxRequestBytes)
                continue;
            break;
        }
        refuse(QStringLiteral("the request is longer than %1 bytes").arg(m_limits.maxRequestBytes),
               true);
        return;
    }
}

void ControlConnection::dispatch(const QByteArray& object) {
    ControlRequestReading reading = readControlRequest(object);
    if (!reading.request) {
        refuse(reading.problem, false);
        return;
    }
    m_phase = Phase::handling;
    if (m_readNotifier)
        m_readNotifier->setEnabled(false);
    if (m_deadline)
        m_deadline->stop();
    QPointer<ControlConnection> self(this);
    m_handler(*reading.request, [self](const ControlResponse& response) {
        if (self && self->m_phase == Phase::handling)
            self->answer(response);
    });
}

void ControlConnection::refuse(const QString& problem, bool clientMayStillSend) {
    m_lingerUntilEndOfStream = clientMayStillSend;
    answer(ControlResponse{.ok = false, .error = problem});
}

void ControlConnection::answer(const ControlResponse& response) {
    m_phase = Phase::writing;
    if (m_readNotifier)
        m_readNotifier->setEnabled(false);
    if (m_deadline)
        m_deadline->stop(); // the client gets a fresh interval to take the answer
    m_answer = encodeControlResponse(response);
    m_answerWritten = 0;
    writePending();
}

void ControlConnection::writePending() {
    while (m_answerWritten < m_answer.size()) {
        const ssize_t n = ::send(m_socket, m_answer.constData() + m_answerWritten,
                                 size_t(m_answer.size() - m_answerWritten), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                waitForWritable();
            else
                finish();
            return;
        }
        m_answerWritten += n;
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    m_phase = Phase::draining;
    if (m_lingerUntilEndOfStream)
        ::shutdown(m_socket, SHUT_WR); // the client sees the end of the answer before ours
    drain();
}

// Closing a Unix socket with unread bytes in it resets the connection, and the client could
// lose the answer to that reset; so whatever the client sent beyond its request is read first.
void ControlConnection::drain() {
    char scratch[16 * 1024];
    for (int reads = 0; reads < maxDrainReadsPerWakeUp; ++reads) {
        const ssize_t n = ::read(m_socket, scratch, sizeof scratch);
        if (n > 0)
            continue;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && m_lingerUntilEndOfStream)
            break;
        finish();
        return;
    }
    waitForReadable();
}

void ControlConnection::timedOut() {
    if (m_phase == Phase::admitting) {
        refuse(QStringLiteral("couldn't tell within %1 seconds whether this user may configure "
                              "the relay")
                   .arg(std::chrono::duration<double>(m_limits.clientTimeout).count()),
               true);
        return;
    }
    if (m_phase == Phase::reading) {
        refuse(QStringLiteral("no complete request within %1 seconds")
                   .arg(std::chrono::duration<double>(m_limits.clientTimeout).count()),
               false);
        return;
    }
    finish();
}

void ControlConnection::finish() {
    if (m_phase == Phase::done)
        return;
    m_phase = Phase::done;
    if (m_readNotifier)
        m_readNotifier->setEnabled(false);
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    if (m_deadline)
        m_deadline->stop();
    ::close(m_socket);
    m_socket = -1;
    if (m_finished)
        m_finished(this);
}

void ControlConnection::waitForReadable() {
    if (!m_readNotifier) {
        m_readNotifier = new QSocketNotifier(m_socket, QSocketNotifier::Read, this);
        connect(m_readNotifier, &QSocketNotifier::activated, this, [this] {
            if (m_phase == Phase::reading)
                readAvailable();
            else if (m_phase == Phase::draining)
                drain();
        });
    }
    m_readNotifier->setEnabled(true);
    armDeadline();
}

void ControlConnection::waitForWritable() {
    if (!m_writeNotifier) {
        m_writeNotifier = new QSocketNotifier(m_socket, QSocketNotifier::Write, this);
        connect(m_writeNotifier, &QSocketNotifier::activated, this, [this] { writePending(); });
    }
    m_writeNotifier->setEnabled(true);
    armDeadline();
}

void ControlConnection::armDeadline() {
    if (!m_deadline) {
        m_deadline = new QTimer(this);
        m_deadline->setSingleShot(true);
        connect(m_deadline, &QTimer::timeout, this, [this] { timedOut(); });
    }
    if (!m_deadline->isActive())
        m_deadline->start(m_limits.clientTimeout);
}

} // namespace zidire
