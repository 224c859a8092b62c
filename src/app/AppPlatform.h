#pragma once

// The platform's services for this run of the application, as MOXTREL_PLATFORM chooses them.

#include "LocalServiceManager.h"
#include "PlatformBackend.h"
#include "ServiceManager.h"

#include <memory>

struct AppPlatform {
    PlatformBackend backend;
    std::shared_ptr<const ServiceManager> services;
    // The same services, when they are the local backend's (which re-starts zidire at launch).
    std::shared_ptr<const LocalServiceManager> localServices;
};

// Needs the QCoreApplication, to find the programs beside this one. The local backend passes the
// arguments in MOXTREL_ZIDIRE_ARGS (split like a shell command line) on to zidire. Throws
// PlatformChoiceError.
AppPlatform makeAppPlatform();
