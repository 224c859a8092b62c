#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

// A provider's token endpoint for tests: an HTTP/1.1 server on 127.0.0.1 that records every
// request and answers each with the reply the test has set, or drops the connection unanswered.
class FakeTokenEndpoint : public QObject {
    Q_OBJECT

public:
    struct Request {
        QByteArray method;
        QByteArray target;
        QMap<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };

    struct Reply {
        int status = 200;
        QByteArray contentType = "application/json";
        QByteArray body = {};
        bool dropConnection = false;
    };

    // Listens at once; throws std::runtime_error when it cannot.
    FakeTokenEndpoint();

    // Where the token requests go: "http://127.0.0.1:<port>/token".
    QUrl url() const;
    void setReply(const Reply& reply) { m_reply = reply; }
    const QList<Request>& requests() const { return m_requests; }

private:
    void accept();
    // Answers once the request, body included, has arrived.
    void handleData(QTcpSocket* connection, QByteArray& received);

    QTcpServer m_listener;
    Reply m_reply;
    QList<Request> m_requests;
};
