#pragma once

// Administrator authorization through polkit: `pkexec moxtrel-authorize` asks for an
// administrator's password (action net.brimlake.moxtrel.authorize, never kept), and the helper,
// running as root, mints the token in the system authority directory and prints its hex.

#include "TokenAuthorizationServices.h"

#include <QString>

#include <chrono>

class PolkitAuthorization : public TokenAuthorizationServices {
public:
    struct Setup {
        QString pkexec; // the pkexec program; empty when it is not installed
        QString helper; // absolute path of moxtrel-authorize, as the policy names it
        // How long the password dialog may stay unanswered.
        std::chrono::milliseconds answerTimeout{std::chrono::minutes(5)};
    };

    explicit PolkitAuthorization(Setup setup);

    // pkexec from PATH and the helper where the install rules put it.
    static Setup installedSetup();

    // pkexec's exit statuses: the dialog was dismissed, or the authorization was refused (also
    // when no authentication agent runs).
    static constexpr int pkexecDismissed = 126;
    static constexpr int pkexecNotAuthorized = 127;

protected:
    OSStatus obtainToken(bool interactionAllowed, QByteArray& token) override;

private:
    Setup m_setup;
};
