#pragma once

#include "ControlMessages.h"

#include <QString>

namespace zidire {

// The relay's status as a person reads it at a terminal: where things stand, then a line each
// for the account, the sender, the copiers' login, the listeners, the queue and the last error.
QString statusReport(const ControlStatus& status);

// The status record as the relay sends it, as one indented JSON document.
QString statusJson(const ControlStatus& status);

} // namespace zidire
