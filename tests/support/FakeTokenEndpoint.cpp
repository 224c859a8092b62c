#include "FakeTokenEndpoint.h"

#include <QRegularExpression>
#include <QTcpSocket>

#include <stdexcept>

FakeTokenEndpoint::FakeTokenEndpoint() {
    if (!m_listener.listen(QHostAddress::LocalHost))
        throw std::runtime_error(m_listener.errorString().toStdString());
    QObject::connect(&m_listener, &QTcpServer::newConnection, &m_listener, [this] {
        while (QTcpSocket* connection = m_listener.nextPendingConnection()) {
            QObject::connect(connection, &QTcpSocket::readyRead, connection,
                             [this, connection] { answerOnceComplete(connection); });
            QObject::connect(connection, &QTcpSocket::disconnected, connection,
                             &QObject::deleteLater);
        }
    });
}

QUrl FakeTokenEndpoint::url() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1/token").arg(m_listener.serverPort()));
}

void FakeTokenEndpoint::answerOnceComplete(QTcpSocket* connection) {
    // The request stays in the socket's buffer until its body has arrived in full.
    const QByteArray received = connection->peek(connection->bytesAvailable());
    const qsizetype headEnd = received.indexOf("\r\n\r\n");
    static const QRegularExpression lengthHeader("\r\ncontent-length: *(\\d+)",
                                                 QRegularExpression::CaseInsensitiveOption);
    const QByteArray head = received.left(headEnd);
    const qsizetype bodyLength = lengthHeader.match(QLatin1String(head)).captured(1).toLongLong();
    if (headEnd < 0 || received.size() < headEnd + 4 + bodyLength)
        return;
    connection->readAll();
    m_requests.append({head, received.mid(headEnd + 4)});
    if (m_reply.dropConnection)
        return connection->abort();
    connection->write("HTTP/1.1 " + QByteArray::number(m_reply.status) +
                      " Fake\r\nContent-Type: " + m_reply.contentType +
                      "\r\nContent-Length: " + QByteArray::number(m_reply.body.size()) +
                      "\r\nConnection: close\r\n\r\n" + m_reply.body);
    connection->disconnectFromHost();
}
