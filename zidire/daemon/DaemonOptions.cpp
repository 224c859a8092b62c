#include "DaemonOptions.h"

#include "RelayContract.h"

#include <QCommandLineParser>
#include <QDir>

namespace zidire {

namespace {

SmtpPorts defaultPorts(RelayMode mode) {
    if (mode == RelayMode::system)
        return {25, 587, 465};
    return {2525, 2587, 2465};
}

SmtpPorts parsePorts(const QString& text) {
    const QStringList parts = text.split(u',');
    const UsageError error(
        QStringLiteral("--smtp-ports needs three port numbers PLAIN,STARTTLS,TLS, got \"%1\"")
            .arg(text));
    if (parts.size() != 3)
        throw error;
    quint16 ports[3];
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        const uint port = parts[i].trimmed().toUInt(&ok);
        if (!ok || port == 0 || port > 65535)
            throw error;
        ports[i] = quint16(port);
    }
    if (ports[0] == ports[1] || ports[1] == ports[2] || ports[0] == ports[2])
        throw UsageError(
            QStringLiteral("--smtp-ports needs three different ports, got \"%1\"").arg(text));
    return {ports[0], ports[1], ports[2]};
}

std::chrono::milliseconds parseTimeout(const QString& text) {
    bool ok = false;
    const int milliseconds = text.toInt(&ok);
    if (!ok || milliseconds <= 0)
        throw UsageError(
            QStringLiteral("--control-client-timeout needs a positive number of milliseconds"));
    return std::chrono::milliseconds(milliseconds);
}

} // namespace

DaemonOptions parseDaemonOptions(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("zidire, the Moxtrel relay: accepts the copiers' mail by SMTP and relays it "
                       "through Microsoft 365 or Google Workspace."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption user(
        QStringLiteral("user"),
        QStringLiteral("Run as this user (local mode) instead of as the system service."));
    const QCommandLineOption socket(QStringLiteral("socket"),
                                    QStringLiteral("Control socket path."), QStringLiteral("PATH"));
    const QCommandLineOption stateDir(
        QStringLiteral("state-dir"),
        QStringLiteral("Directory for settings, secrets and the spool."), QStringLiteral("DIR"));
    const QCommandLineOption logDir(
        QStringLiteral("log-dir"),
        QStringLiteral("Directory for the log (default /var/log/moxtrel; the state directory with "
                       "--user)."),
        QStringLiteral("DIR"));
    const QCommandLineOption ports(
        QStringLiteral("smtp-ports"),
        QStringLiteral("SMTP ports: plain, STARTTLS and implicit TLS (default 25,587,465; "
                       "2525,2587,2465 with --user)."),
        QStringLiteral("PLAIN,STARTTLS,TLS"));
    QCommandLineOption clientTimeout(
        QStringLiteral("control-client-timeout"),
        QStringLiteral("Milliseconds a control client gets to send its request."),
        QStringLiteral("MS"));
    clientTimeout.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({user, socket, stateDir, logDir, ports, clientTimeout});

    if (!parser.parse(arguments))
        throw UsageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        throw UsageError(QStringLiteral("unexpected argument \"%1\"")
                             .arg(parser.positionalArguments().constFirst()));

    DaemonOptions options;
    options.mode = parser.isSet(user) ? RelayMode::local : RelayMode::system;
    options.socketPath = QDir::cleanPath(QDir::current().absoluteFilePath(
        parser.isSet(socket) ? parser.value(socket) : RelayPaths::controlSocket(options.mode)));
    options.stateDirectory = QDir::cleanPath(QDir::current().absoluteFilePath(
        parser.isSet(stateDir) ? parser.value(stateDir)
                               : RelayPaths::stateDirectory(options.mode)));
    // Unless --log-dir puts it elsewhere, the log lives with the state in local mode, wherever
    // that was put.
    const QString logDirectory = parser.isSet(logDir) ? parser.value(logDir)
                                 : options.mode == RelayMode::local
                                     ? options.stateDirectory
                                     : RelayPaths::logDirectory(options.mode);
    options.logFile = QDir::cleanPath(QDir::current().absoluteFilePath(
        QDir(logDirectory).filePath(QLatin1String(RelayContract::logFileName))));
    options.authorityDirectory = RelayPaths::authorityDirectory(options.mode);
    options.smtpPorts =
        parser.isSet(ports) ? parsePorts(parser.value(ports)) : defaultPorts(options.mode);
    if (parser.isSet(clientTimeout))
        options.controlClientTimeout = parseTimeout(parser.value(clientTimeout));
    options.logToStandardError = qEnvironmentVariableIsEmpty("INVOCATION_ID") &&
                                 qEnvironmentVariableIsEmpty("JOURNAL_STREAM");
    return options;
}

} // namespace zidire
