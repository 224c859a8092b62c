#pragma once

#include <QList>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

// A provider's token endpoint for tests: an HTTP/1.1 server on 127.0.0.1 that records every
// request and answers each with the reply the test has set, or drops the connection unanswered.
class FakeTokenEndpoint {
public:
    struct Request {
        QByteArray head; // request line and headers
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

    // "http://127.0.0.1:<port>/token"
    QUrl url() const;
    void setReply(const Reply& reply) { m_reply = reply; }
    const QList<Request>& requests() const { return m_requests; }

private:
    void answerOnceComplete(QTcpSocket* connection);

    QTcpServer m_listener;
    Reply m_reply;
    QList<Request> m_requests;
};
