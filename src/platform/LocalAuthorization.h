#pragma once

// Administrator authorization for the local zidire, which runs as this user: its secrets belong
// to this user anyway, so the token is minted here, without asking for a password.

#include "TokenAuthorizationServices.h"

#include <QString>

class LocalAuthorization : public TokenAuthorizationServices {
public:
    // Tokens go into `authorityDirectory`, where the local zidire looks for them.
    explicit LocalAuthorization(QString authorityDirectory);

protected:
    OSStatus obtainToken(bool interactionAllowed, QByteArray& token) override;

private:
    QString m_authorityDirectory;
};
