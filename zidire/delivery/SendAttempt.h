#pragma once

// One message through the provider: an access token, the send request, and on a 401 one renewal
// of the token and one more try (the token may have been revoked early). Destroying the attempt
// cancels it; its Done is then never called.

#include "AccessTokenSource.h"
#include "ProviderApi.h"
#include "SendFailure.h"

#include <QByteArray>
#include <QObject>

#include <functional>
#include <memory>

class QNetworkAccessManager;

namespace zidire {

class SendAttempt : public QObject {
    Q_OBJECT

public:
    using Done = std::function<void(const SendOutcome&)>;

    struct Context {
        QNetworkAccessManager& network;
        AccessTokenSource& tokens;
        const DeliveryTiming& timing;
    };

    // Starts at once. `done` is called once, always from a network answer (never from within the
    // constructor); the owner releases the attempt from there with deleteLater().
    SendAttempt(const Context& context, std::unique_ptr<ProviderApi> api, ProviderAccount account,
                QByteArray message, Done done, QObject* parent = nullptr);
    ~SendAttempt() override;

private:
    void requestToken();
    void tokenReady(const AccessTokenSource::Result& result);
    void answered(const HttpResponse& response, const QString& accessToken);
    void finish(const SendOutcome& outcome);

    Context m_context;
    std::unique_ptr<ProviderApi> m_api;
    ProviderAccount m_account;
    QByteArray m_message;
    Done m_done;
    bool m_renewedAfterRefusal = false;
};

} // namespace zidire
