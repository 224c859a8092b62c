#pragma once

// Authorization Services over authority tokens: obtaining the administrator right leaves a token
// file for zidire (AuthorityToken.h), and the external form is the token's 32 bytes. Backends
// differ only in how the token is obtained.

#include "AuthorizationServices.h"

#include <QByteArray>

class TokenAuthorizationServices : public AuthorizationServices {
public:
    OSStatus create(AuthorizationFlags flags, AuthorizationRef* authorization) override;
    // Grants only the administrator right, and only with kAuthorizationFlagExtendRights (there are
    // no rights to find without obtaining them).
    OSStatus copyRights(AuthorizationRef authorization, const AuthorizationRights& rights,
                        AuthorizationFlags flags) override;
    // errAuthorizationInternal while no right was obtained: without a token there is no form.
    OSStatus makeExternalForm(AuthorizationRef authorization,
                              AuthorizationExternalForm* externalForm) override;
    OSStatus free(AuthorizationRef authorization, AuthorizationFlags flags) override;

protected:
    // Obtains a fresh token after an administrator confirmed it; on success stores its bytes in
    // `token` and returns errAuthorizationSuccess.
    virtual OSStatus obtainToken(bool interactionAllowed, QByteArray& token) = 0;
};
