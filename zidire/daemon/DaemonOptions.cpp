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

QList<QCommandLineOption> daemonCommandLineOptions() {
    QCommandLineOption clientTimeout(
        QStringLiteral("control-client-timeout"),
        QStringLiteral("Milliseconds a control client gets to send its request."),
        QStringLiteral("MS"));
    clientTimeout.setFlags(QCommandLineOption::HiddenFromHelp);
    return {
        {QStringLiteral("user"),
         QStringLiteral("Run as this user (local mode) instead of as the system service; with a "
                        "command, use the relay that runs as this user.")},
        {QStringLiteral("socket"), QStringLiteral("Control socket path."), QStringLiteral("PATH")},
        {QStringLiteral("state-dir"),
         QStringLiteral("Directory for settings, secrets and the spool."), QStringLiteral("DIR")},
        {QStringLiteral("log-dir"),
         QStringLiteral("Directory for the log (default /var/log/moxtrel; the state directory "
                        "with --user)."),
         QStringLiteral("DIR")},
        {QStringLiteral("smtp-ports"),
         QStringLiteral("SMTP ports: plain, STARTTLS and implicit TLS (default 25,587,465; "
                        "2525,2587,2465 with --user)."),
         QStringLiteral("PLAIN,STARTTLS,TLS")},
        clientTimeout,
    };
}

QString controlSocketFrom(const QCommandLineParser& parser) {
    const RelayMode mode =
        parser.isSet(QStringLiteral("user")) ? RelayMode::local : RelayMode::system;
    const QString socket = QStringLiteral("socket");
    return QDir::cleanPath(QDir::current().absoluteFilePath(
        parser.isSet(socket) ? parser.value(socket) : RelayPaths::controlSocket(mode)));
}

DaemonOptions daemonOptionsFrom(const QCommandLineParser& parser) {
    const auto isSet = [&parser](const char* name) { return parser.isSet(QLatin1String(name)); };
    const auto value = [&parser](const char* name) { return parser.value(QLatin1String(name)); };

    DaemonOptions options;
    options.mode = isSet("user") ? RelayMode::local : RelayMode::system;
    options.socketPath = controlSocketFrom(parser);
    options.stateDirectory = QDir::cleanPath(QDir::current().absoluteFilePath(
        isSet("state-dir") ? value("state-dir") : RelayPaths::stateDirectory(options.mode)));
    // Unless --log-dir puts it elsewhere, the log lives with the state in local mode, wherever
    // that was put.
    const QString logDirectory = isSet("log-dir") ? value("log-dir")
                                 : options.mode == RelayMode::local
                                     ? options.stateDirectory
                                     : RelayPaths::logDirectory(options.mode);
    options.logFile = QDir::cleanPath(QDir::current().absoluteFilePath(
        QDir(logDirectory).filePath(QLatin1String(RelayContract::logFileName))));
    options.authorityDirectory = RelayPaths::authorityDirectory(options.mode);
    options.smtpPorts =
        isSet("smtp-ports") ? parsePorts(value("smtp-ports")) : defaultPorts(options.mode);
    if (isSet("control-client-timeout"))
        options.controlClientTimeout = parseTimeout(value("control-client-timeout"));
    options.logToStandardError = qEnvironmentVariableIsEmpty("INVOCATION_ID") &&
                                 qEnvironmentVariableIsEmpty("JOURNAL_STREAM");
    return options;
}

} // namespace zidire
