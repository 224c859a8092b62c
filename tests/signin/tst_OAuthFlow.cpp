#include "AwaitTask.h"
#include "FakeBrowser.h"
#include "FakeTokenEndpoint.h"
#include "NetworkError.h"
#include "OAuthFlow.h"
#include "OAuthFlowError.h"

#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>
#include <QUrlQuery>

namespace {

OAuthProviderApp appWithTokenURL(const QString& provider, const QUrl& tokenURL) {
    const ClientRegistrations registrations{"00000000-1111-2222-3333-444444444444",
                                            "123-abc.apps.googleusercontent.com", "GOCSPX-s+cr&t="};
    OAuthProviderApp app = *OAuthProviderApp::forProvider(provider, registrations);
    app.tokenURL = tokenURL;
    return app;
}

bool accepts(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(5000);
}

// "refresh:<token> email:<address or none>", or the failure's text.
QString outcomeOf(QCoro::Task<OAuthSignInResult>& signIn) {
    try {
        const OAuthSignInResult result = awaitTask(signIn);
        return QStringLiteral("refresh:%1 email:%2")
            .arg(result.refreshToken, result.email.value_or(QStringLiteral("none")));
    } catch (const OAuthFlowError& error) {
        return error.description();
    } catch (const NetworkError&) {
        return QStringLiteral("network error");
    } catch (const CancellationError&) {
        return QStringLiteral("canceled");
    }
}

QByteArray jwtWithPayload(const QByteArray& payload) {
    return "eyJhbGciOiJSUzI1NiJ9." +
           payload.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals) +
           ".c2ln";
}

} // namespace

class OAuthFlowTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void signsInThroughTheBrowser_data() {
        QTest::addColumn<QString>("provider");
        QTest::addColumn<QStringList>("extraItems");
        QTest::addColumn<QByteArray>("encodedScope");
        QTest::addColumn<bool>("sendsSecret");
        QTest::newRow("Microsoft 365")
            << "m365" << QStringList()
            << QByteArray("scope=https://graph.microsoft.com/Mail.Send.Shared%20offline_access"
                          "%20openid%20profile%20email&")
            << false;
        QTest::newRow("Google Workspace")
            << "gmail" << QStringList{"access_type", "prompt"}
            << QByteArray("scope=https://www.googleapis.com/auth/gmail.send&") << true;
    }
    void signsInThroughTheBrowser() {
        QFETCH(QString, provider);
        QFETCH(QStringList, extraItems);
        QFETCH(QByteArray, encodedScope);
        QFETCH(bool, sendsSecret);

        FakeTokenEndpoint endpoint;
        endpoint.setReply({.body = "{\"refresh_token\":\"1.rt\",\"id_token\":\"" +
                                   jwtWithPayload(R"({"email":"scan@example.com"})") + "\"}"});
        const OAuthProviderApp app = appWithTokenURL(provider, endpoint.url());
        auto browser = std::make_shared<FakeBrowser>();
        browser->redirectQuery = "code=4%2F0A%2Bb&state={state}";

        auto signIn = OAuthFlow{.timeout = std::chrono::seconds(10), .browser = browser}.run(app);
        QCOMPARE(outcomeOf(signIn), "refresh:1.rt email:scan@example.com");
        QCOMPARE(browser->page, "Signed in. You can close this tab and return to Moxtrel.");
        QVERIFY(!accepts(browser->listenerPort()));

        // The authorization request, item by item and in order.
        QCOMPARE(browser->opened.adjusted(QUrl::RemoveQuery), app.authorizeURL);
        const QUrlQuery authorization(browser->opened);
        QStringList names;
        for (const auto& [name, value] : authorization.queryItems())
            names.append(name);
        QCOMPARE(names, QStringList({"client_id", "response_type", "redirect_uri", "scope", "state",
                                     "code_challenge", "code_challenge_method"}) +
                            extraItems);
        const QString redirectURI = authorization.queryItemValue("redirect_uri");
        QCOMPARE(redirectURI, QStringLiteral("http://localhost:%1").arg(browser->listenerPort()));
        QVERIFY(browser->opened.query(QUrl::FullyEncoded).toLatin1().contains(encodedScope));
        QVERIFY(QRegularExpression("^[0-9a-f]{32}$")
                    .match(authorization.queryItemValue("state"))
                    .hasMatch());

        // The token request: the code, the same redirect URI, the verifier of the challenge.
        QCOMPARE(endpoint.requests().size(), 1);
        const QUrlQuery form(QString::fromUtf8(endpoint.requests()[0].body));
        QCOMPARE(form.queryItemValue("code", QUrl::FullyDecoded), "4/0A+b");
        QCOMPARE(form.queryItemValue("redirect_uri", QUrl::FullyDecoded), redirectURI);
        const QString verifier = form.queryItemValue("code_verifier");
        QVERIFY(QRegularExpression("^[0-9a-f]{64}$").match(verifier).hasMatch());
        QCOMPARE(QCryptographicHash::hash(verifier.toLatin1(), QCryptographicHash::Sha256)
                     .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals),
                 authorization.queryItemValue("code_challenge").toLatin1());
        QCOMPARE(form.hasQueryItem("client_secret"), sendsSecret);
    }

    void endsWithoutAUsableRedirect_data() {
        QTest::addColumn<QString>("redirectQuery");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<QByteArray>("page");
        QTest::addColumn<QString>("failure");
        QTest::newRow("consent declined")
            << "error=access_denied&state={state}" << 10000
            << QByteArray("Sign-in failed: access_denied. You can close this tab.")
            << "the provider returned an error: access_denied";
        QTest::newRow("foreign state")
            << "code=abc&state=0123" << 10000 << QByteArray("State mismatch.")
            << OAuthFlowError::stateMismatch().description();
        QTest::newRow("user never finishes")
            << QString() << 20 << QByteArray() << "timed out waiting for the browser sign-in";
    }
    void endsWithoutAUsableRedirect() {
        QFETCH(QString, redirectQuery);
        QFETCH(int, timeoutMs);
        QFETCH(QByteArray, page);
        QFETCH(QString, failure);
        FakeTokenEndpoint endpoint;
        auto browser = std::make_shared<FakeBrowser>();
        browser->redirectQuery = redirectQuery;

        auto signIn =
            OAuthFlow{.timeout = std::chrono::milliseconds(timeoutMs), .browser = browser}.run(
                appWithTokenURL("m365", endpoint.url()));
        QCOMPARE(outcomeOf(signIn), failure);
        // The browser gets its page although the attempt ended as soon as the redirect came.
        QTRY_COMPARE(browser->page, page);
        QVERIFY(endpoint.requests().isEmpty());
        QVERIFY(!accepts(browser->listenerPort()));
    }

    void endsWhenCancelled() {
        auto browser = std::make_shared<FakeBrowser>();
        CancellationSource cancellation;
        auto signIn = OAuthFlow{.browser = browser}.run(appWithTokenURL("m365", QUrl()),
                                                        cancellation.token());
        QVERIFY(accepts(browser->listenerPort()));
        cancellation.cancel();
        QCOMPARE(outcomeOf(signIn), "canceled");
        QVERIFY(!accepts(browser->listenerPort()));
    }

    void readsTheTokenEndpointsAnswer_data() {
        QTest::addColumn<FakeTokenEndpoint::Reply>("reply");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("no ID token")
            << FakeTokenEndpoint::Reply{.body = R"({"refresh_token":"1.rt"})"}
            << "refresh:1.rt email:none";
        QTest::newRow("error with description")
            << FakeTokenEndpoint::
                   Reply{400, "application/json",
                         R"({"error":"invalid_grant","error_description":"bad code"})"}
            << "the provider returned an error: bad code";
        QTest::newRow("error alone")
            << FakeTokenEndpoint::Reply{400, "application/json", R"({"error":"invalid_grant"})"}
            << "the provider returned an error: invalid_grant";
        QTest::newRow("HTML page")
            << FakeTokenEndpoint::Reply{502, "text/html", "<html>Bad gateway</html>"}
            << "could not exchange the authorization code: <html>Bad gateway</html>";
        QTest::newRow("not UTF-8") << FakeTokenEndpoint::Reply{.body = "\xff{"}
                                   << "could not exchange the authorization code: "
                                      "unreadable response";
        QTest::newRow("member of the wrong type")
            << FakeTokenEndpoint::Reply{.body = R"({"refresh_token":17})"}
            << R"(could not exchange the authorization code: {"refresh_token":17})";
        QTest::newRow("no refresh token")
            << FakeTokenEndpoint::Reply{.body = R"({"access_token":"at"})"}
            << OAuthFlowError::noRefreshToken().description();
        QTest::newRow("empty refresh token")
            << FakeTokenEndpoint::Reply{.body = R"({"refresh_token":""})"}
            << OAuthFlowError::noRefreshToken().description();
        QTest::newRow("dropped connection")
            << FakeTokenEndpoint::Reply{.dropConnection = true} << "network error";
    }
    void readsTheTokenEndpointsAnswer() {
        QFETCH(FakeTokenEndpoint::Reply, reply);
        QFETCH(QString, outcome);
        FakeTokenEndpoint endpoint;
        endpoint.setReply(reply);
        auto exchange = exchangeCode("code", appWithTokenURL("m365", endpoint.url()),
                                     "http://localhost:1", "v");
        QCOMPARE(outcomeOf(exchange), outcome);
    }

    void encodesTheForm() {
        FakeTokenEndpoint endpoint;
        endpoint.setReply({.body = R"({"refresh_token":"1.rt"})"});
        auto exchange =
            exchangeCode(QStringLiteral("4/0A+b c~é"), appWithTokenURL("gmail", endpoint.url()),
                         "http://localhost:49152", "v-._~");
        awaitTask(exchange);
        const FakeTokenEndpoint::Request request = endpoint.requests().value(0);
        QCOMPARE(request.method + ' ' + request.target, "POST /token");
        QCOMPARE(request.headers.value("content-type"), "application/x-www-form-urlencoded");
        QCOMPARE(request.body, "client_id=123-abc.apps.googleusercontent.com"
                               "&grant_type=authorization_code&code=4%2F0A%2Bb%20c~%C3%A9"
                               "&redirect_uri=http%3A%2F%2Flocalhost%3A49152&code_verifier=v-._~"
                               "&client_secret=GOCSPX-s%2Bcr%26t%3D");
    }

    void readsTheAddressFromTheIDToken_data() {
        QTest::addColumn<QByteArray>("idToken");
        QTest::addColumn<QString>("email");
        QTest::newRow("preferred_username first")
            << jwtWithPayload(
                   R"({"upn":"u@x.org","email":"e@x.org","preferred_username":"p@x.org"})")
            << "p@x.org";
        QTest::newRow("empty preferred_username skipped")
            << jwtWithPayload(R"({"preferred_username":"","email":"scan@example.com"})")
            << "scan@example.com";
        // These two payloads encode to lengths of 2 and 3 modulo 4.
        QTest::newRow("needs two padding characters")
            << jwtWithPayload(R"({"email":"scan@example.com"})") << "scan@example.com";
        QTest::newRow("needs one padding character and URL-safe digits")
            << jwtWithPayload(R"({"email":"dev>?@example.com"})") << "dev>?@example.com";
        QTest::newRow("payload not JSON") << jwtWithPayload("scan@example.com") << QString();
        QTest::newRow("payload not Base64") << QByteArray("head.e30*.sig") << QString();
        QTest::newRow("one piece") << QByteArray(".eyJlbWFpbCI6ImFAYi5jIn0.") << QString();
    }
    void readsTheAddressFromTheIDToken() {
        QFETCH(QByteArray, idToken);
        QFETCH(QString, email);
        QCOMPARE(emailFromIDToken(QString::fromLatin1(idToken)).value_or(QString()), email);
    }

    void googleNeedsItsRegistration() {
        QVERIFY(OAuthProviderApp::forProvider("gmail", {"ms-id", "google-id", "secret"}));
        QVERIFY(!OAuthProviderApp::forProvider("gmail", {"ms-id", "", ""}));
        QVERIFY(OAuthProviderApp::forProvider("m365", {"ms-id", "", ""}));
        QVERIFY(!OAuthProviderApp::forProvider("outlook", {"ms-id", "google-id", "secret"}));
    }

    void pkceChallenge() {
        // RFC 7636, appendix B.
        QCOMPARE(codeChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
                 "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
        QVERIFY(randomHex() != randomHex());
    }
};

QTEST_GUILESS_MAIN(OAuthFlowTest)
#include "tst_OAuthFlow.moc"
