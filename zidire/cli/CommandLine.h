#pragma once

// zidire's whole command line: without a command it runs the relay, with one it asks the running
// relay. One parser knows every option, so that options may stand before or after the command.

#include "Command.h"
#include "daemon/DaemonOptions.h"

#include <QString>
#include <QStringList>

#include <variant>

namespace zidire {

struct HelpRequest {};
struct VersionRequest {};

using Invocation = std::variant<DaemonOptions, Command, HelpRequest, VersionRequest>;

// Parses `arguments` (argv, program name first). Throws UsageError for anything it can't use.
// Needs no QCoreApplication, so that the relay can block its signals before one exists.
Invocation parseCommandLine(const QStringList& arguments);

// The options and the commands, for `--help`.
QString helpText();

} // namespace zidire
