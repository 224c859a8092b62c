#include "FakeProvider.h"

#include <QTcpSocket>

#include <optional>
#include <stdexcept>

namespace {

// Takes one complete request off the front of `buffer`, or nothing while it is incomplete.
std::optional<FakeProvider::Request> takeRequest(QByteArray& buffer) {
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return std::nullopt;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    FakeProvider::Request request;
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                   lines[i].mid(colon + 1).trimmed());
    }
    const qsizetype bodyLength = request.headers.value("content-length", "0").toLongLong();
    if (buffer.size() < headEnd + 4 + bodyLength)
        return std::nullopt;
    request.body = buffer.mid(headEnd + 4, bodyLength);
    buffer.remove(0, headEnd + 4 + bodyLength);
    return request;
}

std::optional<FakeProvider::Endpoint> endpointOf(const QByteArray& path) {
    if (path.endsWith("/token"))
        return FakeProvider::Endpoint::token;
    if (path.endsWith("/sendMail"))
        return FakeProvider::Endpoint::graph;
    if (path.endsWith("/messages/send"))
        return FakeProvider::Endpoint::gmail;
    return std::nullopt;
}

QByteArray serialized(const FakeProvider::Reply& reply) {
    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + " Fake\r\n";
    if (!reply.body.isEmpty())
        head += "Content-Type: " + reply.contentType + "\r\n";
    for (const auto& [name, value] : reply.headers)
        head += name + ": " + value + "\r\n";
    return head + "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n\r\n" +
           reply.body;
}

} // namespace

QUrlQuery FakeProvider::Request::form() const {
    // QUrlQuery leaves "+" alone; in a form body it stands for a space.
    return QUrlQuery(QString::fromUtf8(QByteArray(body).replace('+', ' ')));
}

FakeProvider::FakeProvider() {
    if (!m_listener.listen(QHostAddress(QHostAddress::LocalHost), 0))
        throw std::runtime_error(m_listener.errorString().toStdString());
    connect(&m_listener, &QTcpServer::newConnection, this, &FakeProvider::accept);
}

FakeProvider::~FakeProvider() = default;

QString FakeProvider::baseUrl() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(m_listener.serverPort());
}

void FakeProvider::queueReply(Endpoint endpoint, const Reply& reply) {
    m_queued[index(endpoint)].push_back(reply);
}

FakeProvider::Reply FakeProvider::tokenReply(const QByteArray& accessToken, int expiresIn,
                                             const QByteArray& refreshToken) {
    QByteArray body = R"({"token_type":"Bearer","access_token":")" + accessToken +
                      R"(","expires_in":)" + QByteArray::number(expiresIn);
    if (!refreshToken.isEmpty())
        body += R"(,"refresh_token":")" + refreshToken + '"';
    return {.body = body + '}'};
}

FakeProvider::Reply FakeProvider::oauthError(int status, const QByteArray& error) {
    return {.status = status,
            .body = R"({"error":")" + error + R"(","error_description":"AADSTS70000: )" + error +
                    R"( from the fake"})"};
}

FakeProvider::Reply FakeProvider::apiError(int status, const QByteArray& message) {
    return {.status = status,
            .body = R"({"error":{"code":"Fake)" + QByteArray::number(status) + R"(","message":")" +
                    message + R"("}})"};
}

void FakeProvider::accept() {
    while (QTcpSocket* socket = m_listener.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

void FakeProvider::readFrom(QTcpSocket* socket) {
    QByteArray& buffer = m_buffers[socket];
    buffer += socket->readAll();
    while (const std::optional<Request> request = takeRequest(buffer)) {
        handle(socket, *request);
        if (socket->state() != QAbstractSocket::ConnectedState)
            return;
    }
}

void FakeProvider::handle(QTcpSocket* socket, const Request& request) {
    const std::optional<Endpoint> endpoint = endpointOf(request.path());
    if (!endpoint) {
        socket->write(serialized({.status = 404, .body = "no such endpoint"}));
        return;
    }
    m_requests[index(*endpoint)].append(request);
    Q_EMIT received(*endpoint);
    const Reply reply = nextReply(*endpoint);
    if (reply.action == Reply::Action::drop)
        socket->abort();
    else if (reply.action == Reply::Action::answer)
        socket->write(serialized(reply));
}

FakeProvider::Reply FakeProvider::nextReply(Endpoint endpoint) {
    std::deque<Reply>& queued = m_queued[index(endpoint)];
    if (!queued.empty()) {
        Reply reply = queued.front();
        queued.pop_front();
        return reply;
    }
    switch (endpoint) {
    case Endpoint::token:
        return tokenReply("access-" + QByteArray::number(++m_tokensIssued));
    case Endpoint::graph:
        return {.status = 202};
    case Endpoint::gmail:
        return {.body = R"({"id":"fake-id","threadId":"fake-thread","labelIds":["SENT"]})"};
    }
    return {};
}
