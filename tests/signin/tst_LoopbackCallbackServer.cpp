#include "AwaitTask.h"
#include "LoopbackCallbackServer.h"
#include "NetworkError.h"
#include "OAuthFlowError.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <sys/resource.h>
#include <unistd.h>

namespace {

const QString expectedState = QStringLiteral("5f1c0e9a");

QByteArray get(const QByteArray& target) {
    return "GET " + target + " HTTP/1.1\r\nHost: localhost\r\nAccept: text/html\r\n\r\n";
}

// Sends `request` over real TCP and returns all the server wrote before it closed.
QByteArray exchange(quint16 port, const QByteArray& request) {
    QTcpSocket socket;
    QByteArray answer;
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { answer += socket.readAll(); });
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return "<not connected>";
    QSignalSpy closed(&socket, &QTcpSocket::disconnected);
    if (request.isEmpty())
        socket.disconnectFromHost();
    else
        socket.write(request);
    if (closed.isEmpty() && !closed.wait(5000))
        return "<still open>";
    return answer;
}

QByteArray page(const QByteArray& status, const QByteArray& body, int contentLength) {
    return "HTTP/1.1 " + status +
           "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
           QByteArray::number(contentLength) + "\r\nConnection: close\r\n\r\n" + body;
}

// "code:" + the code, or the failure's text; empty while the wait goes on.
QString outcome(QCoro::Task<QString>& wait) {
    if (!QTest::qWaitFor([&] { return wait.isReady(); }, 5000))
        return {};
    try {
        return QStringLiteral("code:") + awaitTask(wait);
    } catch (const OAuthFlowError& error) {
        return error.description();
    } catch (const NetworkError& error) {
        return QStringLiteral("network: ") + error.localizedDescription();
    } catch (const CancellationError&) {
        return QStringLiteral("canceled");
    }
}

bool accepts(const QHostAddress& address, quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(address, port);
    return socket.waitForConnected(5000);
}

// Lowers the descriptor limit so that no new socket can be opened, until destroyed.
class DescriptorsExhausted {
public:
    DescriptorsExhausted() {
        // UBSan opens a pipe the first time it checks the dynamic type of a class; let it meet
        // the listener's error type while it still can.
        NetworkError(QString()).localizedDescription();
        getrlimit(RLIMIT_NOFILE, &m_saved);
        const int lowestFree = ::dup(0);
        ::close(lowestFree);
        rlimit tight = m_saved;
        tight.rlim_cur = rlim_t(lowestFree);
        setrlimit(RLIMIT_NOFILE, &tight);
    }
    ~DescriptorsExhausted() { setrlimit(RLIMIT_NOFILE, &m_saved); }

private:
    rlimit m_saved{};
};

} // namespace

class LoopbackCallbackServerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void answersEachRedirect_data() {
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<QString>("outcome");

        const QByteArray notFound = page("404 Not Found", "Not found.", 10);
        const QByteArray signedIn =
            page("200 OK", "Signed in. You can close this tab and return to Moxtrel.", 56);
        const QByteArray stateMismatch = page("400 Bad Request", "State mismatch.", 15);
        const QByteArray missingCode = page("400 Bad Request", "Missing authorization code.", 27);
        const QString mismatch = OAuthFlowError::stateMismatch().description();
        const QString noCode = OAuthFlowError::missingCode().description();

        QTest::newRow("site icon") << QByteArray("/favicon.ico") << notFound << QString();
        QTest::newRow("code and state")
            << QByteArray("/?code=abc&state=5f1c0e9a") << signedIn << "code:abc";
        QTest::newRow("escaped code")
            << QByteArray("/?code=4%2F0A%2Bx+y&state=5f1c0e9a") << signedIn << "code:4/0A+x+y";
        QTest::newRow("empty code") << QByteArray("/?code=&state=5f1c0e9a") << signedIn << "code:";
        QTest::newRow("code without equals sign")
            << QByteArray("/?code&state=5f1c0e9a") << missingCode << noCode;
        QTest::newRow("error beats a valid code")
            << QByteArray("/?error=access_denied&code=abc&state=5f1c0e9a")
            << page("200 OK", "Sign-in failed: access_denied. You can close this tab.", 54)
            << OAuthFlowError::providerError("access_denied").description();
        QTest::newRow("non-ASCII error counts bytes")
            << QByteArray("/?error=%C3%A9chec%20%E2%80%94%20refus%C3%A9")
            << page("200 OK",
                    "Sign-in failed: \xC3\xA9"
                    "chec \xE2\x80\x94 refus\xC3\xA9. You can close this tab.",
                    59)
            << OAuthFlowError::providerError(QStringLiteral("échec — refusé")).description();
        QTest::newRow("state differs in one character")
            << QByteArray("/?code=abc&state=5f1c0e9A") << stateMismatch << mismatch;
        QTest::newRow("no state") << QByteArray("/?code=abc") << stateMismatch << mismatch;
    }
    void answersEachRedirect() {
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, response);
        QFETCH(QString, outcome);

        LoopbackCallbackServer server(expectedState);
        const quint16 port = server.start();
        QCOMPARE(exchange(port, get(target)), response);
        auto wait = server.waitForCode();
        if (outcome.isEmpty()) {
            // Nothing was delivered: the wait goes on until a proper redirect arrives.
            QVERIFY(!wait.isReady());
            exchange(port, get("/?code=later&state=5f1c0e9a"));
            QCOMPARE(::outcome(wait), QStringLiteral("code:later"));
        } else {
            QCOMPARE(::outcome(wait), outcome);
        }
    }

    void closesMalformedRequestsUnanswered_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::newRow("nothing sent") << QByteArray();
        QTest::newRow("not UTF-8") << get("/?code=\xff&state=5f1c0e9a");
        QTest::newRow("no target") << QByteArray("GET\r\n\r\n");
        QTest::newRow("bad escape in target") << get("/?code=%zz&state=5f1c0e9a");
    }
    void closesMalformedRequestsUnanswered() {
        QFETCH(QByteArray, request);
        LoopbackCallbackServer server(expectedState);
        const quint16 port = server.start();
        auto wait = server.waitForCode();
        QCOMPARE(exchange(port, request), QByteArray());
        QVERIFY(!wait.isReady());
        exchange(port, get("/?code=abc&state=5f1c0e9a"));
        QCOMPARE(outcome(wait), QStringLiteral("code:abc"));
    }

    void readsAtMostOneChunk() {
        LoopbackCallbackServer server(expectedState);
        const quint16 port = server.start();
        // The code and state lie beyond the first 16384 bytes, so they are never seen.
        const QByteArray padding(LoopbackCallbackServer::maxRequestBytes, 'p');
        QCOMPARE(exchange(port, get("/?pad=" + padding + "&code=abc&state=5f1c0e9a")),
                 page("404 Not Found", "Not found.", 10));
    }

    void keepsOnlyTheFirstUnclaimedOutcome() {
        LoopbackCallbackServer server(expectedState);
        const quint16 port = server.start();
        exchange(port, get("/?code=first&state=5f1c0e9a"));
        auto first = server.waitForCode();
        QCOMPARE(outcome(first), QStringLiteral("code:first"));

        // Later redirects are still answered; only the first of them is kept.
        QCOMPARE(exchange(port, get("/?error=late")),
                 page("200 OK", "Sign-in failed: late. You can close this tab.", 45));
        QCOMPARE(exchange(port, get("/?code=third&state=5f1c0e9a")),
                 page("200 OK", "Signed in. You can close this tab and return to Moxtrel.", 56));
        auto second = server.waitForCode();
        QCOMPARE(outcome(second), OAuthFlowError::providerError("late").description());
    }

    void cancellationEndsTheWaitOnly() {
        LoopbackCallbackServer server(expectedState);
        const quint16 port = server.start();
        CancellationSource cancellation;
        auto wait = server.waitForCode(cancellation.token());
        cancellation.cancel();
        QCOMPARE(outcome(wait), QStringLiteral("canceled"));

        exchange(port, get("/?code=abc&state=5f1c0e9a"));
        auto cancelledAtOnce = server.waitForCode(cancellation.token());
        QCOMPARE(outcome(cancelledAtOnce), QStringLiteral("canceled"));
        auto next = server.waitForCode();
        QCOMPARE(outcome(next), QStringLiteral("code:abc"));
    }

    void listensOnlyOn127001() {
        LoopbackCallbackServer server(expectedState);
        const quint16 port = server.start();
        QVERIFY(accepts(QHostAddress::LocalHost, port));
        QVERIFY(!accepts(QHostAddress(QStringLiteral("127.0.0.2")), port));
        QVERIFY(!accepts(QHostAddress::LocalHostIPv6, port));
        server.stop();
        QVERIFY(!accepts(QHostAddress::LocalHost, port));
    }

    void listenerFailureReachesStartAndWait() {
        LoopbackCallbackServer server(expectedState);
        QString startFailure;
        {
            const DescriptorsExhausted exhausted;
            try {
                server.start();
            } catch (const NetworkError& error) {
                startFailure = error.localizedDescription();
            }
        }
        QVERIFY(!startFailure.isEmpty());
        auto wait = server.waitForCode();
        QCOMPARE(outcome(wait), QStringLiteral("network: ") + startFailure);
    }

    void failureWhileListeningReachesTheWait() {
        LoopbackCallbackServer server(expectedState);
        const quint16 port = server.start();
        auto wait = server.waitForCode();
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(5000));
        {
            // The server cannot accept the connection that is waiting for it.
            const DescriptorsExhausted exhausted;
            QVERIFY(QTest::qWaitFor([&] { return wait.isReady(); }, 5000));
        }
        QVERIFY(outcome(wait).startsWith(QStringLiteral("network: ")));
    }
};

QTEST_GUILESS_MAIN(LoopbackCallbackServerTest)
#include "tst_LoopbackCallbackServer.moc"
