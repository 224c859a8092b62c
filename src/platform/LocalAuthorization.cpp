#include "LocalAuthorization.h"

#include "AuthorityToken.h"

LocalAuthorization::LocalAuthorization(QString authorityDirectory)
    : m_authorityDirectory(std::move(authorityDirectory)) {}

OSStatus LocalAuthorization::obtainToken(bool, QByteArray& token) {
    try {
        token = mintAuthorityToken(m_authorityDirectory);
        return errAuthorizationSuccess;
    } catch (const AuthorityTokenError& error) {
        qWarning("local authorization: %s", error.what());
        return errAuthorizationInternal;
    }
}
