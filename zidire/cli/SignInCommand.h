#pragma once

#include "Command.h"

namespace zidire {

// `auth m365|gmail`: the application's browser sign-in, from a terminal, handed to the relay as
// the application hands it over.
void signIn(const Command& command);

} // namespace zidire
