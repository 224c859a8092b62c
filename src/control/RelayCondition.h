#pragma once

// How the relay's own status reads to a person: shared by the windows and zidire's command line,
// so that both name a situation and a provider alike.

#include "ControlMessages.h"

#include <QString>

// The relay's situation by its own report, in the order its conditions are tested.
enum class RelayCondition { senderNotSet, signInNeeded, sendFailed, running };

RelayCondition relayCondition(const ControlStatus& status);

// "Microsoft 365" or "Google Workspace"; a key this build doesn't know, as it is.
QString providerDisplayName(const QString& provider);
