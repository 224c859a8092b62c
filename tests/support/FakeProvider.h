#pragma once

// A mail provider for tests: the OAuth token endpoint, Microsoft Graph's sendMail and the Gmail
// API's send in one HTTP/1.1 server on 127.0.0.1. It records every request and answers each with
// the next reply the test queued for that endpoint, else the endpoint's usual success.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QTcpServer>
#include <QUrlQuery>

#include <deque>

class QTcpSocket;

class FakeProvider : public QObject {
    Q_OBJECT

public:
    enum class Endpoint { token, graph, gmail };

    struct Request {
        QByteArray method;
        QByteArray target;                    // path and query
        QMap<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;

        QByteArray path() const { return target.split('?').constFirst(); }
        // A form-encoded body's fields.
        QUrlQuery form() const;
    };

    struct Reply {
        enum class Action {
            answer,
            drop, // closes the connection once the whole request has arrived
            hold, // never answers
        };

        int status = 200;
        QByteArray body{};
        QByteArray contentType = "application/json";
        QList<std::pair<QByteArray, QByteArray>> headers{};
        Action action = Action::answer;
    };

    // Listens at once; throws std::runtime_error when it cannot.
    FakeProvider();
    ~FakeProvider() override;

    // "http://127.0.0.1:<port>": the base of Microsoft's sign-in host, Graph and Gmail alike.
    QString baseUrl() const;
    // Google's token endpoint is a full URL of its own.
    QString googleTokenUrl() const { return baseUrl() + QStringLiteral("/google/token"); }

    void queueReply(Endpoint endpoint, const Reply& reply);
    const QList<Request>& requests(Endpoint endpoint) const { return m_requests[index(endpoint)]; }
    qsizetype requestCount(Endpoint endpoint) const { return requests(endpoint).size(); }

    // The token endpoint's success, handing out `accessToken`.
    static Reply tokenReply(const QByteArray& accessToken, int expiresIn = 3600,
                            const QByteArray& refreshToken = {});
    static Reply oauthError(int status, const QByteArray& error);
    // Graph's and Google's error body.
    static Reply apiError(int status, const QByteArray& message);

Q_SIGNALS:
    // After the request is recorded, before it is answered.
    void received(FakeProvider::Endpoint endpoint);

private:
    static int index(Endpoint endpoint) { return static_cast<int>(endpoint); }
    void accept();
    void readFrom(QTcpSocket* socket);
    void handle(QTcpSocket* socket, const Request& request);
    Reply nextReply(Endpoint endpoint);

    QTcpServer m_listener;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    std::deque<Reply> m_queued[3];
    QList<Request> m_requests[3];
    int m_tokensIssued = 0;
};
