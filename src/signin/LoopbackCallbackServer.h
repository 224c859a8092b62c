#pragma once

#include "Cancellation.h"
#include "OneShotWaiter.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QTcpServer>

#include <exception>
#include <optional>

class QTcpSocket;

// Receives the browser's redirect at the end of one OAuth authorization: a one-shot HTTP/1.1
// listener on 127.0.0.1 at a port the system picks. It answers each request with a short
// plain-text page and hands the first outcome (an authorization code, or a failure) to
// `waitForCode`. Everything it does happens on the thread it lives on.
//
// A local process may connect too: whatever it sends is either answered as a redirect or closed
// unanswered, and only a redirect carrying `expectedState` can deliver a code.
class LoopbackCallbackServer : public QObject {
    Q_OBJECT

public:
    static constexpr qint64 maxRequestBytes = 16384;

    explicit LoopbackCallbackServer(QString expectedState, QObject* parent = nullptr);
    // Closes the listener and the connections not yet answered; answers already on their way
    // are still delivered. A wait still suspended ends with CancellationError.
    ~LoopbackCallbackServer() override;

    // Starts listening and returns the port. Throws NetworkError when the listener fails; the
    // same failure then becomes the outcome of the wait.
    quint16 start();

    // Yields the code of the first redirect that carried one, or throws the first failure:
    // OAuthFlowError (providerError, stateMismatch, missingCode), NetworkError when the listener
    // failed, CancellationError when `cancellation` is requested. An outcome that arrives while
    // nobody waits is kept for the next wait; only the first such outcome is kept.
    QCoro::Task<QString> waitForCode(CancellationToken cancellation = {});

private:
    void acceptConnections();
    void handleRequest(QTcpSocket* connection);
    void deliverCode(const QString& code);
    void deliverFailure(std::exception_ptr failure);
    // The waiter that the next outcome settles: the current wait, else a new pending outcome;
    // none when an outcome is pending already.
    std::optional<OneShotWaiter<QString>> waiterForNextOutcome();

    QString m_expectedState;
    QTcpServer m_listener;
    std::optional<OneShotWaiter<QString>> m_codeWaiter;
    std::optional<OneShotWaiter<QString>> m_pendingOutcome;
};
