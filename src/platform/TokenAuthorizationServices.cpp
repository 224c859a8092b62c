#include "TokenAuthorizationServices.h"

#include "RelayContract.h"

#include <cstring>

static_assert(RelayContract::authorityTokenBytes == kAuthorizationExternalFormLength);

namespace {

struct TokenAuthorization : AuthorizationOpaqueRef {
    QByteArray token;
};

TokenAuthorization* tokenAuthorization(AuthorizationRef authorization) {
    return static_cast<TokenAuthorization*>(authorization);
}

bool asksForAdminRightOnly(const AuthorizationRights& rights) {
    return rights.count == 1 && rights.items && rights.items[0].name &&
           std::strcmp(rights.items[0].name, adminRightName) == 0;
}

} // namespace

OSStatus TokenAuthorizationServices::create(AuthorizationFlags, AuthorizationRef* authorization) {
    if (!authorization)
        return errAuthorizationInternal;
    *authorization = new TokenAuthorization;
    return errAuthorizationSuccess;
}

OSStatus TokenAuthorizationServices::copyRights(AuthorizationRef authorization,
                                                const AuthorizationRights& rights,
                                                AuthorizationFlags flags) {
    if (!authorization)
        return errAuthorizationInvalidRef;
    if (!asksForAdminRightOnly(rights) || !(flags & kAuthorizationFlagExtendRights))
        return errAuthorizationDenied;
    QByteArray token;
    const OSStatus status = obtainToken(flags & kAuthorizationFlagInteractionAllowed, token);
    if (status != errAuthorizationSuccess)
        return status;
    if (token.size() != RelayContract::authorityTokenBytes)
        return errAuthorizationInternal;
    tokenAuthorization(authorization)->token = token;
    return errAuthorizationSuccess;
}

OSStatus TokenAuthorizationServices::makeExternalForm(AuthorizationRef authorization,
                                                      AuthorizationExternalForm* externalForm) {
    if (!authorization)
        return errAuthorizationInvalidRef;
    const QByteArray& token = tokenAuthorization(authorization)->token;
    if (!externalForm || token.size() != qsizetype(sizeof externalForm->bytes))
        return errAuthorizationInternal;
    std::memcpy(externalForm->bytes, token.constData(), sizeof externalForm->bytes);
    return errAuthorizationSuccess;
}

OSStatus TokenAuthorizationServices::free(AuthorizationRef authorization, AuthorizationFlags) {
    if (!authorization)
        return errAuthorizationInvalidRef;
    delete tokenAuthorization(authorization);
    return errAuthorizationSuccess;
}
