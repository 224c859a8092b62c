#pragma once

// The commands that are one exchange with the relay each.

#include "Command.h"

namespace zidire {

void showStatus(const Command& command);
void sendTestMessage(const Command& command);
void retryQueue(const Command& command);
void printLog(const Command& command);
void setDeviceLogin(const Command& command);
void setListenAddress(const Command& command);

} // namespace zidire
