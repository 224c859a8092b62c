#include "SendAttempt.h"

#include "ProviderReplies.h"

#include <QPointer>

namespace zidire {

SendAttempt::SendAttempt(const Context& context, std::unique_ptr<ProviderApi> api,
                         ProviderAccount account, QByteArray message, Done done, QObject* parent)
    : QObject(parent)
    , m_context(context)
    , m_api(std::move(api))
    , m_account(std::move(account))
    , m_message(std::move(message))
    , m_done(std::move(done)) {
    requestToken();
}

SendAttempt::~SendAttempt() = default;

void SendAttempt::requestToken() {
    // The token source outlives attempts and may answer after this one was cancelled.
    m_context.tokens.get(m_account, *m_api,
                         [self = QPointer(this)](const AccessTokenSource::Result& result) {
                             if (self)
                                 self->tokenReady(result);
                         });
}

void SendAttempt::tokenReady(const AccessTokenSource::Result& result) {
    if (const auto* failure = std::get_if<SendFailure>(&result))
        return finish(*failure);
    const QString token = std::get<QString>(result);
    postHttp(m_context.network, m_api->sendRequest(m_account, m_message, token),
             m_context.timing.transferTimeout, this,
             [this, token](const HttpResponse& response) { answered(response, token); });
}

void SendAttempt::answered(const HttpResponse& response, const QString& accessToken) {
    const SendOutcome outcome = readSendResponse(response, m_api->name());
    if (response.status == 401 && !m_renewedAfterRefusal) {
        m_renewedAfterRefusal = true;
        m_context.tokens.invalidate(accessToken);
        return requestToken();
    }
    finish(outcome);
}

void SendAttempt::finish(const SendOutcome& outcome) {
    m_done(outcome);
}

} // namespace zidire
