#include "AwaitTask.h"
#include "LoopbackCallbackServer.h"
#include "NetworkError.h"
#include "OAuthFlowError.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

namespace {

QByteArray get(const QByteArray& target) {
    return "GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n";
}

// Sends `request` over real TCP and returns all the server wrote before it closed.
QByteArray exchange(quint16 port, const QByteArray& request) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return "<not connected>";
    QSignalSpy closed(&socket, &QTcpSocket::disconnected);
    request.isEmpty() ? socket.disconnectFromHost() : void(socket.write(request));
    return closed.isEmpty() && !closed.wait(5000) ? "<still open>" : socket.readAll();
}

QByteArray page(const QByteArray& status, const QByteArray& body) {
    return "HTTP/1.1 " + status +
           "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}
const QByteArray signedIn =
    page("200 OK", "Signed in. You can close this tab and return to Moxtrel.");
QByteArray failedPage(const QByteArray& error) {
    return page("200 OK", "Sign-in failed: " + error + ". You can close this tab.");
}

// "code:" + the code, or the failure's text; empty while the wait goes on.
QString outcome(QCoro::Task<QString>& wait) {
    if (!QTest::qWaitFor([&] { return wait.isReady(); }, 5000))
        return {};
    try {
        return "code:" + awaitTask(wait);
    } catch (const OAuthFlowError& error) {
        return error.description();
    } catch (const CancellationError&) {
        return "canceled";
    }
}

bool accepts(const QHostAddress& address, quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(address, port);
    return socket.waitForConnected(5000);
}

} // namespace

class LoopbackCallbackServerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void answersEachRequest_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<QString>("outcome"); // empty: nothing delivered, the wait goes on
        const QByteArray mismatch = page("400 Bad Request", "State mismatch.");
        const QString mismatched = OAuthFlowError::stateMismatch().description();
        QTest::newRow("favicon") << get("/favicon.ico") << page("404 Not Found", "Not found.")
                                 << "";
        QTest::newRow("code") << get("/?code=4%2F0A%2Bx+y&state=s1") << signedIn << "code:4/0A+x+y";
        QTest::newRow("empty code") << get("/?code=&state=s1") << signedIn << "code:";
        QTest::newRow("code without =")
            << get("/?code&state=s1") << page("400 Bad Request", "Missing authorization code.")
            << OAuthFlowError::missingCode().description();
        QTest::newRow("error beats code")
            << get("/?error=access_denied&code=abc&state=s1") << failedPage("access_denied")
            << OAuthFlowError::providerError("access_denied").description();
        // Content-Length counts the UTF-8 bytes, not the characters.
        QTest::newRow("non-ASCII error")
            << get("/?error=%C3%A9chec%20%E2%80%94")
            << failedPage("\xC3\xA9"
                          "chec \xE2\x80\x94")
            << OAuthFlowError::providerError(QStringLiteral("échec —")).description();
        QTest::newRow("other state") << get("/?code=abc&state=S1") << mismatch << mismatched;
        QTest::newRow("no state") << get("/?code=abc") << mismatch << mismatched;
        // Malformed requests are closed unanswered.
        QTest::newRow("no target") << QByteArray("GET\r\n\r\n") << QByteArray() << "";
        QTest::newRow("not UTF-8") << get("/?code=\xff&state=s1") << QByteArray() << "";
    }
    void answersEachRequest() {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, response);
        QFETCH(QString, outcome);
        LoopbackCallbackServer server("s1");
        const quint16 port = server.start();
        QCOMPARE(exchange(port, request), response);
        auto wait = server.waitForCode(); // after the redirect: its outcome was kept
        if (outcome.isEmpty()) {
            QVERIFY(!wait.isReady());
            exchange(port, get("/?code=later&state=s1"));
            outcome = "code:later";
        }
        QCOMPARE(::outcome(wait), outcome);
    }

    void keepsTheFirstUnclaimedOutcome() {
        LoopbackCallbackServer server("s1");
        const quint16 port = server.start();
        CancellationSource cancellation;
        auto cancelled = server.waitForCode(cancellation.token());
        cancellation.cancel();
        QCOMPARE(outcome(cancelled), "canceled");
        // Every redirect is answered; only the first that nobody awaited is kept.
        QCOMPARE(exchange(port, get("/?code=first&state=s1")), signedIn);
        QCOMPARE(exchange(port, get("/?error=late")), failedPage("late"));
        auto cancelledAtOnce = server.waitForCode(cancellation.token());
        QCOMPARE(outcome(cancelledAtOnce), "canceled");
        auto first = server.waitForCode();
        QCOMPARE(outcome(first), "code:first");
        exchange(port, get("/?error=third"));
        auto third = server.waitForCode();
        QCOMPARE(outcome(third), OAuthFlowError::providerError("third").description());
    }

    void listensOnlyOn127001() {
        LoopbackCallbackServer server("s1");
        const quint16 port = server.start();
        QVERIFY(accepts(QHostAddress::LocalHost, port));
        QVERIFY(!accepts(QHostAddress("127.0.0.2"), port));
        QVERIFY(!accepts(QHostAddress::LocalHostIPv6, port));
        server.stop();
        QVERIFY(!accepts(QHostAddress::LocalHost, port));
    }
};

QTEST_GUILESS_MAIN(LoopbackCallbackServerTest)
#include "tst_LoopbackCallbackServer.moc"
