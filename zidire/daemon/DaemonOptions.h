#pragma once

// How this zidire runs, from its command line and the mode's defaults.

#include "RelayPaths.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <stdexcept>

namespace zidire {

struct SmtpPorts {
    quint16 plain = 0;
    quint16 starttls = 0;
    quint16 implicitTls = 0;
};

struct DaemonOptions {
    RelayMode mode = RelayMode::system;
    QString socketPath;
    QString stateDirectory;
    QString logFile;
    QString authorityDirectory;
    SmtpPorts smtpPorts;
    std::chrono::milliseconds controlClientTimeout{5000};
    // Under a service manager standard error goes to its journal, which has the log file's
    // lines already.
    bool logToStandardError = true;
};

class UsageError : public std::runtime_error {
public:
    explicit UsageError(const QString& message)
        : std::runtime_error(message.toStdString()) {}
};

// Parses `arguments` (argv, program name first). `--help` and `--version` print and exit the
// process; anything the parser can't use throws UsageError.
DaemonOptions parseDaemonOptions(const QStringList& arguments);

} // namespace zidire
