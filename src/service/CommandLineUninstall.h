#pragma once

// `moxtrel --uninstall-daemon`: removes zidire's service without starting the application, for
// use over SSH or from scripts. It runs before anything else of the application exists.

#include "ServiceManager.h"

#include <functional>
#include <memory>

inline constexpr char uninstallDaemonFlag[] = "--uninstall-daemon";

// Whether any argument, the program name included, is exactly the flag.
bool hasUninstallDaemonFlag(int argc, const char* const* argv);

// Unregisters the daemon with the services `makeServices` gives, reports on standard output or
// standard error and returns the exit status: 0 when it was unregistered, 1 when not. Any
// exception from `makeServices` counts as a failure to unregister.
int uninstallDaemonFromCommandLine(
    const std::function<std::shared_ptr<const ServiceManager>()>& makeServices);
