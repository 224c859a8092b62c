#include "LoopbackCallbackServer.h"

#include "NetworkError.h"
#include "OAuthFlowError.h"
#include "StrictUtf8.h"

#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QTcpSocket>
#include <QUrl>

namespace {

struct QueryItem {
    QString name;
    std::optional<QString> value; // none: the item had no "="
};

// The target of a request line ("GET /?code=…&state=… HTTP/1.1"), resolved against the
// loopback origin; none when the request has no target or the target is not a valid URL.
std::optional<QUrl> requestTarget(const QString& request) {
    const QStringList pieces = request.split(u' ', Qt::SkipEmptyParts);
    if (pieces.size() < 2)
        return std::nullopt;
    const QUrl url(QStringLiteral("http://localhost") + pieces[1], QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

QList<QueryItem> queryItems(const QUrl& url) {
    QList<QueryItem> items;
    if (!url.hasQuery())
        return items;
    const auto decoded = [](const QString& encoded) {
        return QUrl::fromPercentEncoding(encoded.toUtf8());
    };
    for (const QString& piece : url.query(QUrl::FullyEncoded).split(u'&')) {
        const qsizetype equals = piece.indexOf(u'=');
        if (equals < 0)
            items.append({decoded(piece), std::nullopt});
        else
            items.append({decoded(piece.left(equals)), decoded(piece.mid(equals + 1))});
    }
    return items;
}

// The value of the first item named `name`. An item without "=" counts as absent, like a
// missing one; "name=" is present with the empty value.
std::optional<QString> queryValue(const QList<QueryItem>& items, QStringView name) {
    for (const QueryItem& item : items) {
        if (item.name == name)
            return item.value;
    }
    return std::nullopt;
}

// The whole answer in one write; the connection closes once it has been sent. An answered
// connection no longer belongs to the server: the flow may end, and destroy the server, before
// the answer is out.
void respond(QTcpSocket* connection, const QByteArray& status, const QString& body) {
    connection->setParent(nullptr);
    const QByteArray content = body.toUtf8();
    connection->write(
        "HTTP/1.1 " + status + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
        QByteArray::number(content.size()) + "\r\nConnection: close\r\n\r\n" + content);
    connection->disconnectFromHost();
}

} // namespace

LoopbackCallbackServer::LoopbackCallbackServer(QString expectedState, QObject* parent)
    : QObject(parent)
    , m_expectedState(std::move(expectedState)) {
    connect(&m_listener, &QTcpServer::newConnection, this,
            &LoopbackCallbackServer::acceptConnections);
    connect(&m_listener, &QTcpServer::acceptError, this, [this] {
        deliverFailure(std::make_exception_ptr(NetworkError(m_listener.errorString())));
    });
}

LoopbackCallbackServer::~LoopbackCallbackServer() {
    if (m_codeWaiter)
        m_codeWaiter->fail(std::make_exception_ptr(CancellationError()));
}

quint16 LoopbackCallbackServer::start() {
    if (!m_listener.listen(QHostAddress(QHostAddress::LocalHost), 0)) {
        const NetworkError failure(m_listener.errorString());
        deliverFailure(std::make_exception_ptr(failure));
        throw failure;
    }
    return m_listener.serverPort();
}

QCoro::Task<QString> LoopbackCallbackServer::waitForCode(CancellationToken cancellation) {
    if (cancellation.isCancelled())
        throw CancellationError();
    if (m_pendingOutcome) {
        const OneShotWaiter<QString> pending = *std::exchange(m_pendingOutcome, std::nullopt);
        co_return co_await pending;
    }
    // One wait at a time: a newer wait takes over, the older one ends as cancelled.
    if (m_codeWaiter)
        m_codeWaiter->fail(std::make_exception_ptr(CancellationError()));
    const OneShotWaiter<QString> waiter;
    m_codeWaiter = waiter;
    const auto registration = cancellation.onCancel([self = QPointer(this), waiter] {
        if (self && self->m_codeWaiter == waiter)
            self->m_codeWaiter.reset();
        waiter.fail(std::make_exception_ptr(CancellationError()));
    });
    co_return co_await waiter;
}

void LoopbackCallbackServer::acceptConnections() {
    while (QTcpSocket* connection = m_listener.nextPendingConnection()) {
        // Qt buffers no more than the one read takes; the first chunk is the whole request.
        connection->setReadBufferSize(maxRequestBytes);
        connect(
            connection, &QTcpSocket::readyRead, this,
            [this, connection] { handleRequest(connection); }, Qt::SingleShotConnection);
        connect(connection, &QTcpSocket::disconnected, connection, &QObject::deleteLater);
    }
}

void LoopbackCallbackServer::handleRequest(QTcpSocket* connection) {
    const auto request = decodeStrictUtf8(connection->read(maxRequestBytes));
    const auto target = request ? requestTarget(*request) : std::nullopt;
    if (!target) {
        connection->abort();
        return;
    }
    const QList<QueryItem> items = queryItems(*target);
    const auto code = queryValue(items, u"code");
    const auto error = queryValue(items, u"error");
    const auto state = queryValue(items, u"state");

    if (!code && !error && !state) {
        respond(connection, "404 Not Found", QStringLiteral("Not found."));
    } else if (error) {
        respond(connection, "200 OK",
                QStringLiteral("Sign-in failed: ") + *error +
                    QStringLiteral(". You can close this tab."));
        deliverFailure(std::make_exception_ptr(OAuthFlowError::providerError(*error)));
    } else if (state != m_expectedState) {
        respond(connection, "400 Bad Request", QStringLiteral("State mismatch."));
        deliverFailure(std::make_exception_ptr(OAuthFlowError::stateMismatch()));
    } else if (!code) {
        respond(connection, "400 Bad Request", QStringLiteral("Missing authorization code."));
        deliverFailure(std::make_exception_ptr(OAuthFlowError::missingCode()));
    } else {
        respond(connection, "200 OK",
                QStringLiteral("Signed in. You can close this tab and return to Moxtrel."));
        deliverCode(*code);
    }
}

std::optional<OneShotWaiter<QString>> LoopbackCallbackServer::waiterForNextOutcome() {
    if (m_codeWaiter)
        return std::exchange(m_codeWaiter, std::nullopt);
    if (m_pendingOutcome)
        return std::nullopt;
    return m_pendingOutcome.emplace();
}

void LoopbackCallbackServer::deliverCode(const QString& code) {
    if (const auto waiter = waiterForNextOutcome())
        waiter->resolve(code);
}

void LoopbackCallbackServer::deliverFailure(std::exception_ptr failure) {
    if (const auto waiter = waiterForNextOutcome())
        waiter->fail(std::move(failure));
}
