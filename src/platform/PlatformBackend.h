#pragma once

// Which stand-ins serve the platform's services: systemd and polkit, or the local set that needs
// neither root nor systemd and runs zidire as the user.

#include "RelayPaths.h"

#include <QString>

#include <memory>
#include <stdexcept>

class AuthorizationServices;

enum class PlatformBackend { systemd, local };

class PlatformChoiceError : public std::runtime_error {
public:
    explicit PlatformChoiceError(const QString& message)
        : std::runtime_error(message.toStdString()) {}
};

// MOXTREL_PLATFORM, "systemd" or "local"; unset or empty: systemd when the machine was booted with
// it (/run/systemd/system exists), local otherwise. Throws PlatformChoiceError for anything else.
PlatformBackend platformBackend();

// Where zidire runs for that backend: as the system service, or as the user.
RelayMode relayMode(PlatformBackend backend);

// Administrator authorization for that backend: polkit asks for an administrator's password for
// the system zidire; the local zidire is this user's, so its tokens are minted without asking.
std::shared_ptr<AuthorizationServices> makeAuthorizationServices(PlatformBackend backend);
