#include "AwaitTask.h"
#include "FakeBrowser.h"
#include "FakeTokenEndpoint.h"
#include "NetworkError.h"
#include "OAuthFlow.h"
#include "OAuthFlowError.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

namespace {

using Reply = FakeTokenEndpoint::Reply;
const QString redirected = "code=4%2F0A%2Bb%20c~%C3%A9&state={state}";

QByteArray base64Url(const QByteArray& bytes) {
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}
QByteArray idToken(const QByteArray& payload) {
    return "eyJhbGciOiJSUzI1NiJ9." + base64Url(payload) + ".c2ln";
}

// "refresh:<token> email:<address or none>", or the failure's text.
QString outcomeOf(QCoro::Task<OAuthSignInResult>& signIn) {
    try {
        const OAuthSignInResult result = awaitTask(signIn);
        return "refresh:" + result.refreshToken + " email:" + result.email.value_or("none");
    } catch (const OAuthFlowError& error) {
        return error.description();
    } catch (const NetworkError&) {
        return "network error";
    }
}

void addRow(const char* name, const char* provider, const Reply& reply, const QString& outcome,
            const QString& redirect = redirected) {
    QTest::newRow(name) << QString(provider) << reply << outcome << redirect;
}

} // namespace

class OAuthFlowTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void signsInThroughTheBrowser_data() {
        QTest::addColumn<QString>("provider");
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("redirect"); // empty: the user never finishes
        const Reply good{.body = "{\"refresh_token\":\"1.rt\",\"id_token\":\"" +
                                 idToken(R"({"email":"a@b.org"})") + "\"}"};
        const QString providerError = "the provider returned an error: ";
        const QString noRefreshToken = OAuthFlowError::noRefreshToken().description();
        addRow("Microsoft", "m365", good, "refresh:1.rt email:a@b.org");
        addRow("Google", "gmail", {.body = R"({"refresh_token":"1.rt"})"},
               "refresh:1.rt email:none");
        addRow("error described", "m365",
               {400, "application/json", R"({"error":"e","error_description":"d"})"},
               providerError + "d");
        addRow("error alone", "m365", {400, "application/json", R"({"error":"e"})"},
               providerError + "e");
        addRow("HTML", "m365", {502, "text/html", "<p>"},
               "could not exchange the authorization code: <p>");
        addRow("no refresh token", "m365", {.body = R"({"access_token":"at"})"}, noRefreshToken);
        addRow("empty refresh token", "gmail", {.body = R"({"refresh_token":""})"}, noRefreshToken);
        addRow("dropped connection", "m365", {.dropConnection = true}, "network error");
        addRow("consent declined", "m365", good, providerError + "access_denied",
               "error=access_denied&state={state}");
        addRow("time-out", "m365", good, "timed out waiting for the browser sign-in", "");
    }
    void signsInThroughTheBrowser() {
        QFETCH(QString, provider);
        QFETCH(Reply, reply);
        QFETCH(QString, outcome);
        QFETCH(QString, redirect);
        FakeTokenEndpoint endpoint;
        endpoint.setReply(reply);
        OAuthProviderApp app =
            *OAuthProviderApp::forProvider(provider, {"ms-id", "g-id", "s+c&t="});
        app.tokenURL = endpoint.url();
        auto browser = std::make_shared<FakeBrowser>();
        browser->redirectQuery = redirect;
        auto signIn =
            OAuthFlow{std::chrono::milliseconds(redirect.isEmpty() ? 50 : 10000), browser}.run(app);
        QCOMPARE(outcomeOf(signIn), outcome);
        QTRY_COMPARE(browser->page.isEmpty(), redirect.isEmpty()); // answered although it ended
        QTcpSocket listener;
        listener.connectToHost(QHostAddress::LocalHost, browser->listenerPort());
        QVERIFY(!listener.waitForConnected(5000));

        // The authorization request, item by item and in order.
        const bool google = provider == "gmail";
        const QUrlQuery authorization(browser->opened);
        QStringList names;
        for (const auto& [name, value] : authorization.queryItems())
            names.append(name);
        QCOMPARE(names, QStringList({"client_id", "response_type", "redirect_uri", "scope", "state",
                                     "code_challenge", "code_challenge_method"}) +
                            (google ? QStringList{"access_type", "prompt"} : QStringList()));
        QCOMPARE(authorization.queryItemValue("scope", QUrl::FullyEncoded),
                 QString(app.scope).replace(' ', "%20"));
        QVERIFY(QRegularExpression("^[0-9a-f]{32}$")
                    .match(authorization.queryItemValue("state"))
                    .hasMatch());
        QCOMPARE(endpoint.requests().isEmpty(), redirect != redirected);
        if (redirect != redirected)
            return;

        // The token request: one form with the code, the redirect URI and the challenge's verifier.
        const auto [head, form] = endpoint.requests()[0];
        QVERIFY(head.startsWith("POST /token ") &&
                head.contains("Content-Type: application/x-www-form-urlencoded"));
        const QByteArray verifier =
            QUrlQuery(QString(form)).queryItemValue("code_verifier").toLatin1();
        QVERIFY(QRegularExpression("^[0-9a-f]{64}$").match(QString(verifier)).hasMatch());
        QCOMPARE(base64Url(QCryptographicHash::hash(verifier, QCryptographicHash::Sha256)),
                 authorization.queryItemValue("code_challenge").toLatin1());
        QCOMPARE(form, QByteArray(google ? "client_id=g-id" : "client_id=ms-id") +
                           "&grant_type=authorization_code&code=4%2F0A%2Bb%20c~%C3%A9&redirect_uri="
                           "http%3A%2F%2Flocalhost%3A" +
                           QByteArray::number(browser->listenerPort()) + "&code_verifier=" +
                           verifier + (google ? "&client_secret=s%2Bc%26t%3D" : ""));
    }

    void readsTheAddressFromTheIDToken_data() {
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<QString>("email");
        QTest::newRow("preferred_username first")
            << idToken(R"({"upn":"u@x","email":"e@x","preferred_username":"p@x"})") << "p@x";
        QTest::newRow("empty claim skipped")
            << idToken(R"({"preferred_username":"","email":"e@x"})") << "e@x";
        // Payloads encoded to 2 and 3 modulo 4 characters, the second with URL-safe digits.
        QTest::newRow("two pad characters")
            << idToken(R"({"email":"scan@example.com"})") << "scan@example.com";
        QTest::newRow("one pad character")
            << idToken(R"({"email":"dev>?@example.com"})") << "dev>?@example.com";
        QTest::newRow("not JSON") << idToken("scan@example.com") << QString();
    }
    void readsTheAddressFromTheIDToken() {
        QFETCH(QByteArray, token);
        QFETCH(QString, email);
        QCOMPARE(emailFromIDToken(QString::fromLatin1(token)).value_or(QString()), email);
    }
};

QTEST_GUILESS_MAIN(OAuthFlowTest)
#include "tst_OAuthFlow.moc"
