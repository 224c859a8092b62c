#pragma once

// Revealing the copiers' stored password: it is only handed out against administrator rights.

#include "AppState.h"
#include "AuthorizationServices.h"

#include <QCoroTask>
#include <QString>

#include <memory>
#include <optional>

// Obtains administrator rights (the password dialog may show), then asks zidire for the stored
// device password. None when the person canceled the dialog, which is no failure and leaves the
// model alone, or when it failed, which `lastError` then explains. The model does not keep it.
QCoro::Task<std::optional<QString>>
revealDevicePassword(AppState& state, std::shared_ptr<AuthorizationServices> authorization);
