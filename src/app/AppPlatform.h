#pragma once

// The platform's services for this run of the application, as MOXTREL_PLATFORM chooses them.

#include "AuthorizationServices.h"
#include "PlatformBackend.h"
#include "ServiceManager.h"

#include <memory>

// Service management and administrator authorization always come from the same backend: polkit
// approves what systemd does, and the local zidire trusts tokens its own user minted.
struct AppPlatform {
    PlatformBackend backend;
    std::shared_ptr<const ServiceManager> services;
    std::shared_ptr<AuthorizationServices> authorization;
};

// Needs the QCoreApplication, to find the programs beside this one. The local backend passes the
// arguments in MOXTREL_ZIDIRE_ARGS (split like a shell command line) on to zidire. Throws
// PlatformChoiceError.
AppPlatform makeAppPlatform();
