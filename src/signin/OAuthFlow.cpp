#include "OAuthFlow.h"

#include "FirstToFinish.h"
#include "LoopbackCallbackServer.h"
#include "OAuthFlowError.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QUrlQuery>

#include <algorithm>
#include <array>
#include <ctime>

namespace {

// Qt's timers stop while the machine sleeps, so the limit is kept on the flow's clock and checked
// at least this often: a sign-in left open over a suspend ends soon after waking.
constexpr std::chrono::milliseconds clockCheckInterval{1000};

QCoro::Task<QString> timeOutAfter(std::chrono::milliseconds timeout,
                                  std::function<std::chrono::nanoseconds()> clock,
                                  CancellationToken cancellation) {
    const std::chrono::nanoseconds deadline = clock() + timeout;
    for (std::chrono::nanoseconds left = timeout; left > left.zero(); left = deadline - clock())
        co_await cancellableSleep(
            std::min(std::chrono::ceil<std::chrono::milliseconds>(left), clockCheckInterval),
            cancellation);
    throw OAuthFlowError::timedOut();
}

// The coroutine owns copies of everything: a flow is often a temporary of its caller.
QCoro::Task<OAuthSignInResult> signIn(OAuthFlow flow, OAuthProviderApp app,
                                      CancellationToken cancellation) {
    const QString state = randomHex();
    const QString verifier = randomHex() + randomHex();

    // The server lives exactly as long as the attempt; destroying it closes the listener on
    // every way out.
    LoopbackCallbackServer server(state);
    const quint16 port = server.start();
    const QString redirectURI = QStringLiteral("http://localhost:") + QString::number(port);

    flow.browser->open(authorizationURL(app, redirectURI, state, codeChallenge(verifier)));

    const QString code = co_await firstToFinish<QString>(
        [&server](CancellationToken wait) { return server.waitForCode(wait); },
        [&flow](CancellationToken wait) { return timeOutAfter(flow.timeout, flow.clock, wait); },
        cancellation);
    co_return co_await exchangeCode(code, app, redirectURI, verifier, cancellation);
}

} // namespace

QCoro::Task<OAuthSignInResult> OAuthFlow::run(OAuthProviderApp app,
                                              CancellationToken cancellation) const {
    return signIn(*this, std::move(app), std::move(cancellation));
}

std::chrono::nanoseconds bootClockNow() {
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

QString randomHex() {
    std::array<quint32, 4> words{};
    QRandomGenerator::system()->fillRange(words.data(), words.size());
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(words.data()), sizeof words).toHex());
}

QString codeChallenge(const QString& verifier) {
    return QString::fromLatin1(
        QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QUrl authorizationURL(const OAuthProviderApp& app, const QString& redirectURI, const QString& state,
                      const QString& challenge) {
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("client_id"), app.clientID);
    query.addQueryItem(QStringLiteral("response_type"), QStringLiteral("code"));
    query.addQueryItem(QStringLiteral("redirect_uri"), redirectURI);
    query.addQueryItem(QStringLiteral("scope"), app.scope);
    query.addQueryItem(QStringLiteral("state"), state);
    query.addQueryItem(QStringLiteral("code_challenge"), challenge);
    query.addQueryItem(QStringLiteral("code_challenge_method"), QStringLiteral("S256"));
    for (auto it = app.extraAuthParams.cbegin(); it != app.extraAuthParams.cend(); ++it)
        query.addQueryItem(it.key(), it.value());
    QUrl url = app.authorizeURL;
    url.setQuery(query);
    return url;
}
