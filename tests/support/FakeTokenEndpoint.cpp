#include "FakeTokenEndpoint.h"

#include <QTcpSocket>

#include <memory>
#include <optional>
#include <stdexcept>

namespace {

// The request, once the head and as many body bytes as Content-Length says have arrived.
std::optional<FakeTokenEndpoint::Request> completeRequest(const QByteArray& received) {
    const qsizetype headEnd = received.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return std::nullopt;
    const QList<QByteArray> lines = received.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    FakeTokenEndpoint::Request request;
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                   lines[i].mid(colon + 1).trimmed());
    }
    const qsizetype bodyLength = request.headers.value("content-length", "0").toLongLong();
    request.body = received.mid(headEnd + 4);
    if (request.body.size() < bodyLength)
        return std::nullopt;
    return request;
}

} // namespace

FakeTokenEndpoint::FakeTokenEndpoint() {
    if (!m_listener.listen(QHostAddress(QHostAddress::LocalHost), 0))
        throw std::runtime_error(m_listener.errorString().toStdString());
    connect(&m_listener, &QTcpServer::newConnection, this, &FakeTokenEndpoint::accept);
}

QUrl FakeTokenEndpoint::url() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1/token").arg(m_listener.serverPort()));
}

void FakeTokenEndpoint::accept() {
    while (QTcpSocket* connection = m_listener.nextPendingConnection()) {
        auto received = std::make_shared<QByteArray>();
        connect(connection, &QTcpSocket::readyRead, this, [this, connection, received] {
            received->append(connection->readAll());
            handleData(connection, *received);
        });
        connect(connection, &QTcpSocket::disconnected, connection, &QObject::deleteLater);
    }
}

void FakeTokenEndpoint::handleData(QTcpSocket* connection, QByteArray& received) {
    const auto request = completeRequest(received);
    if (!request)
        return;
    received.clear();
    m_requests.append(*request);
    if (m_reply.dropConnection) {
        connection->abort();
        return;
    }
    connection->write("HTTP/1.1 " + QByteArray::number(m_reply.status) +
                      " Fake\r\nContent-Type: " + m_reply.contentType +
                      "\r\nContent-Length: " + QByteArray::number(m_reply.body.size()) +
                      "\r\nConnection: close\r\n\r\n" + m_reply.body);
    connection->disconnectFromHost();
}
