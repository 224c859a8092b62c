#pragma once

// The commands zidire carries out against a running relay: how each is written on the command
// line, what its help says, and what it does.

#include "Command.h"

#include <QStringList>

#include <span>

namespace zidire {

struct CommandDefinition {
    const char* name;
    const char* synopsis; // its arguments and options, as the help shows them
    qsizetype argumentCount;
    QStringList options; // long names of the options it takes besides the relay's selection
    const char* description;
    const char* failurePrefix;
    // Prints its outcome; throws what stopped it.
    void (*run)(const Command& command);
};

std::span<const CommandDefinition> commandDefinitions();
const CommandDefinition* findCommand(const QString& name);

// A command's exit status.
enum ExitStatus : int { succeeded = 0, refused = 1, usage = 2, unreachable = 3 };

// Runs the command and returns its exit status; a failure's reason goes to standard error.
int runCommand(const Command& command);

} // namespace zidire
