#pragma once

// How this zidire runs, from its command line and the mode's defaults.

#include "RelayPaths.h"

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <stdexcept>

class QCommandLineParser;

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

// The relay's options, for the parser of zidire's whole command line. `--user` and `--socket`
// choose the relay for the commands as well (relaySelection).
QList<QCommandLineOption> daemonCommandLineOptions();
inline const QStringList relaySelection{QStringLiteral("user"), QStringLiteral("socket")};

// The run that `parser`, which holds the relay's options and has parsed a command line, asks
// for. Throws UsageError for a value it can't use.
DaemonOptions daemonOptionsFrom(const QCommandLineParser& parser);
// The control socket the relay selection names: `--socket`, else the mode's.
QString controlSocketFrom(const QCommandLineParser& parser);

} // namespace zidire
