#pragma once

// The model's operations on the background service and the login item. Each runs the service
// manager's blocking calls as background work and writes its outcome to the model on the main
// thread; the model may go away meanwhile, and then nothing is written.

#include "AppState.h"
#include "LocalServiceManager.h"

#include <QCoroTask>

#include <memory>

// Registers zidire's service, then starts a refresh. A failure goes to `lastError`; a success
// leaves an older `lastError` in place.
QCoro::Task<> installService(AppState& state);

// Unregisters zidire's service, then starts a refresh.
QCoro::Task<> uninstallService(AppState& state);

// Stores the choice at once and applies it to the login item in the background; returns at once.
// The login item is left alone when it is already as wanted. Afterwards `lastError` is cleared, or
// set when the change failed; the choice stays stored either way.
void setLaunchAtLogin(AppState& state, bool enabled);

// At launch: starts the registered local zidire when it is not running, then starts a refresh. A
// failure goes to `lastError`.
QCoro::Task<> startRegisteredDaemon(AppState& state,
                                    std::shared_ptr<const LocalServiceManager> services);
