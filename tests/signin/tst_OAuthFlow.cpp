#include "AwaitTask.h"
#include "FakeBrowser.h"
#include "FakeProvider.h"
#include "LoopbackCallbackServer.h"
#include "NetworkError.h"
#include "OAuthFlow.h"
#include "OAuthFlowError.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

namespace {

using Reply = FakeProvider::Reply;
const QString redirected = "code=4%2F0A%2Bb%20c~%C3%A9&state={state}";
const QString providerError = "the provider returned an error: ";

QByteArray base64Url(const QByteArray& bytes) {
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

// "code:<code>" for a wait, "refresh:<token> email:<address or none>" for a sign-in, or the
// failure's text.
template <class Result> QString outcomeOf(QCoro::Task<Result>& task) {
    try {
        const Result result = awaitTask(task);
        if constexpr (std::is_same_v<Result, QString>)
            return "code:" + result;
        else
            return "refresh:" + result.refreshToken + " email:" + result.email.value_or("none");
    } catch (const NetworkError&) {
        return "network error";
    } catch (const std::exception& error) {
        return error.what();
    }
}

void addRow(const char* name, const char* provider, const Reply& reply, const QString& outcome,
            const QString& redirect = redirected, bool slept = false) {
    QTest::newRow(name) << QString(provider) << reply << outcome << redirect << slept;
}

// A sign-in whose ID token carries `claims`.
void addTokenRow(const char* name, const QByteArray& claims, const char* email) {
    const QByteArray idToken = "eyJhbGciOiJSUzI1NiJ9." + base64Url(claims) + ".c2ln";
    addRow(name, "m365", {.body = R"({"refresh_token":"1.rt","id_token":")" + idToken + "\"}"},
           QString("refresh:1.rt email:") + email);
}

// The loopback listener on its own, as a browser or another local process reaches it.
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
    socket.write(request);
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

} // namespace

class OAuthFlowTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void signsInThroughTheBrowser_data() {
        QTest::addColumn<QString>("providerKey");
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("redirect"); // empty: the user never finishes
        QTest::addColumn<bool>("slept");       // the machine, through the whole time limit
        addTokenRow("preferred_username first",
                    R"({"upn":"u@x","email":"e@x","preferred_username":"p@x"})", "p@x");
        addTokenRow("empty claim skipped", R"({"preferred_username":"","email":"e@x"})", "e@x");
        // Unpadded, with the URL-safe digits "-" and "_".
        addTokenRow("URL-safe digits", R"({"email":"dev>?@example.com"})", "dev>?@example.com");
        addRow("Google", "gmail", {.body = R"({"refresh_token":"1.rt"})"},
               "refresh:1.rt email:none");
        const QString noRefreshToken = OAuthFlowError::noRefreshToken().description();
        addRow("error described", "m365",
               {.status = 400, .body = R"({"error":"e","error_description":"d"})"},
               providerError + "d");
        addRow("error alone", "m365", {.status = 400, .body = R"({"error":"e"})"},
               providerError + "e");
        addRow("HTML", "m365", {.status = 502, .body = "<p>", .contentType = "text/html"},
               "could not exchange the authorization code: <p>");
        addRow("no refresh token", "m365", {.body = R"({"access_token":"at"})"}, noRefreshToken);
        addRow("empty refresh token", "gmail", {.body = R"({"refresh_token":""})"}, noRefreshToken);
        addRow("dropped connection", "m365", {.action = Reply::Action::drop}, "network error");
        const QString timedOut = OAuthFlowError::timedOut().description();
        addRow("time-out", "m365", {}, timedOut, "");
        // Qt's timers stop while the machine sleeps; the time limit must not.
        addRow("asleep past the limit", "m365", {}, timedOut, "", true);
    }
    void signsInThroughTheBrowser() {
        QFETCH(QString, providerKey);
        QFETCH(Reply, reply);
        QFETCH(QString, outcome);
        QFETCH(QString, redirect);
        QFETCH(bool, slept);
        FakeProvider provider;
        // Twice: Qt sends a request once more when the connection drops before any answer.
        for (int i = 0; i < 2; ++i)
            provider.queueReply(FakeProvider::Endpoint::token, reply);
        OAuthProviderApp app =
            *OAuthProviderApp::forProvider(providerKey, {"ms-id", "g-id", "s+c&t="});
        app.tokenURL = provider.baseUrl() + "/token";
        auto browser = std::make_shared<FakeBrowser>();
        browser->redirectQuery = redirect;
        const auto asleep = std::make_shared<std::chrono::hours>(0);
        auto clock = [asleep] { return bootClockNow() + *asleep; };
        auto signIn =
            OAuthFlow{std::chrono::milliseconds(redirect.isEmpty() && !slept ? 50 : 300000),
                      browser, clock}
                .run(app);
        *asleep = std::chrono::hours(slept ? 1 : 0);
        QCOMPARE(outcomeOf(signIn), outcome);
        QTRY_COMPARE(browser->page.isEmpty(), redirect.isEmpty()); // answered although it ended
        QTcpSocket listener;
        listener.connectToHost(QHostAddress::LocalHost, browser->listenerPort());
        QVERIFY(!listener.waitForConnected(5000));

        // The authorization request, item by item and in order; state and challenge are random.
        const bool google = providerKey == "gmail";
        const QByteArray port = QByteArray::number(browser->listenerPort());
        const QString query = browser->opened.query(QUrl::FullyEncoded);
        static const QRegularExpression random("state=[0-9a-f]{32}&code_challenge=[\\w-]{43}&");
        QCOMPARE(QString(query).replace(random, "state=S&code_challenge=C&"),
                 QString(google ? "client_id=g-id" : "client_id=ms-id") +
                     "&response_type=code&redirect_uri=http://localhost:" + port +
                     "&scope=" + QString(app.scope).replace(' ', "%20") +
                     "&state=S&code_challenge=C&code_challenge_method=S256" +
                     (google ? "&access_type=offline&prompt=consent" : ""));
        const QList<FakeProvider::Request> requests =
            provider.requests(FakeProvider::Endpoint::token);
        QCOMPARE(requests.isEmpty(), redirect != redirected);
        if (redirect != redirected)
            return;

        // The token request: one form with the code, the redirect URI and the challenge's verifier.
        const QByteArray form = requests[0].body;
        QCOMPARE(requests[0].method + ' ' + requests[0].target, "POST /token");
        QCOMPARE(requests[0].headers.value("content-type"), "application/x-www-form-urlencoded");
        const QByteArray verifier =
            QUrlQuery(QString(form)).queryItemValue("code_verifier").toLatin1();
        QVERIFY(QRegularExpression("^[0-9a-f]{64}$").match(QString(verifier)).hasMatch());
        QCOMPARE(base64Url(QCryptographicHash::hash(verifier, QCryptographicHash::Sha256)),
                 QUrlQuery(browser->opened).queryItemValue("code_challenge").toLatin1());
        QCOMPARE(form, QByteArray(google ? "client_id=g-id" : "client_id=ms-id") +
                           "&grant_type=authorization_code&code=4%2F0A%2Bb%20c~%C3%A9&redirect_uri="
                           "http%3A%2F%2Flocalhost%3A" +
                           port + "&code_verifier=" + verifier +
                           (google ? "&client_secret=s%2Bc%26t%3D" : ""));
    }

    void answersEachRequest_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<QString>("outcome");
        const QByteArray mismatch = page("400 Bad Request", "State mismatch.");
        const QString mismatched = OAuthFlowError::stateMismatch().description();
        auto row = [](const char* name, const QByteArray& request, const QByteArray& response,
                      const QString& outcome) {
            QTest::newRow(name) << request << response << outcome;
        };
        // A request that delivers nothing leaves the outcome to the next redirect.
        const QString next = "code:next";
        row("favicon", get("/favicon.ico"), page("404 Not Found", "Not found."), next);
        row("code", get("/?code=4%2F0A%2Bx+y&state=s1"), signedIn, "code:4/0A+x+y");
        row("empty code", get("/?code=&state=s1"), signedIn, "code:");
        row("code without =", get("/?code&state=s1"),
            page("400 Bad Request", "Missing authorization code."),
            OAuthFlowError::missingCode().description());
        row("error beats code", get("/?error=access_denied&code=abc&state=s1"),
            failedPage("access_denied"), providerError + "access_denied");
        // Content-Length counts the UTF-8 bytes, not the characters.
        row("non-ASCII error", get("/?error=%C3%A9chec%20%E2%80%94"),
            failedPage("\xC3\xA9"
                       "chec \xE2\x80\x94"),
            providerError + QStringLiteral("échec —"));
        row("other state", get("/?code=abc&state=S1"), mismatch, mismatched);
        row("no state", get("/?code=abc"), mismatch, mismatched);
        // Malformed requests are closed unanswered.
        row("no target", "GET\r\n\r\n", "", next);
        row("not UTF-8", get("/?code=\xff&state=s1"), "", next);
    }
    void answersEachRequest() {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, response);
        QFETCH(QString, outcome);
        LoopbackCallbackServer server("s1");
        const quint16 port = server.start();
        QCOMPARE(exchange(port, request), response);
        // Every redirect is answered; only the first outcome that nobody awaited is kept.
        QCOMPARE(exchange(port, get("/?code=next&state=s1")), signedIn);
        auto wait = server.waitForCode();
        QCOMPARE(outcomeOf(wait), outcome);
        QTcpSocket elsewhere; // only 127.0.0.1 is listened on
        elsewhere.connectToHost(QHostAddress("127.0.0.2"), port);
        QVERIFY(!elsewhere.waitForConnected(5000));
    }
};

QTEST_GUILESS_MAIN(OAuthFlowTest)
#include "tst_OAuthFlow.moc"
