#include "CommandLine.h"

#include "Commands.h"

#include <QCommandLineParser>

namespace zidire {

namespace {

QList<QCommandLineOption> commandOptions() {
    return {
        {QStringLiteral("json"), QStringLiteral("status: print the status record as JSON.")},
        {QStringLiteral("client-id"),
         QStringLiteral("auth: the OAuth client (application) id to sign in with."),
         QStringLiteral("ID")},
        {QStringLiteral("client-secret"),
         QStringLiteral("auth: the secret issued with --client-id (Google)."),
         QStringLiteral("SECRET")},
        {QStringLiteral("no-browser"),
         QStringLiteral("auth: don't open a browser here; read the address the browser ends on "
                        "from standard input.")},
    };
}

void describeOptions(QCommandLineParser& parser) {
    parser.setApplicationDescription(
        QStringLiteral("zidire, the Moxtrel relay: accepts the copiers' mail by SMTP and relays it "
                       "through Microsoft 365 or Google Workspace. Without a command it runs the "
                       "relay; a command asks the running relay that --user and --socket select."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions(daemonCommandLineOptions());
    parser.addOptions(commandOptions());
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("One of the commands below."),
                                 QStringLiteral("[command [argument]]"));
}

// The options set on the command line, by their long names.
QStringList optionsGiven(const QCommandLineParser& parser) {
    QStringList given;
    for (const QCommandLineOption& option : daemonCommandLineOptions() + commandOptions()) {
        if (parser.isSet(option))
            given.append(option.names().constFirst());
    }
    return given;
}

UsageError misplaced(const QString& option, const QString& where) {
    return UsageError(QStringLiteral("--%1 doesn't apply to %2").arg(option, where));
}

Command commandFrom(const QCommandLineParser& parser) {
    QStringList arguments = parser.positionalArguments();
    const QString name = arguments.takeFirst();
    const CommandDefinition* definition = findCommand(name);
    if (!definition)
        throw UsageError(QStringLiteral("unknown command \"%1\"").arg(name));
    const QString where = QStringLiteral("\"%1\"").arg(name);
    if (arguments.size() > definition->argumentCount)
        throw UsageError(QStringLiteral("unexpected argument \"%1\"")
                             .arg(arguments.at(definition->argumentCount)));
    if (arguments.size() < definition->argumentCount)
        throw UsageError(
            QStringLiteral("%1 needs %2").arg(where, QLatin1String(definition->synopsis)));
    for (const QString& option : optionsGiven(parser)) {
        if (!relaySelection.contains(option) && !definition->options.contains(option))
            throw misplaced(option, where);
    }
    const auto optional = [&parser](const char* option) {
        const QString longName = QLatin1String(option);
        return parser.isSet(longName) ? std::optional(parser.value(longName)) : std::nullopt;
    };
    return {
        .name = name,
        .arguments = arguments,
        .socketPath = controlSocketFrom(parser),
        .json = parser.isSet(QStringLiteral("json")),
        .noBrowser = parser.isSet(QStringLiteral("no-browser")),
        .clientId = optional("client-id"),
        .clientSecret = optional("client-secret"),
    };
}

// `text` in lines of at most 80 characters, each indented below its command.
QString indented(const QString& text) {
    const QString indent(6, u' ');
    QString lines;
    QString line;
    for (const QString& word : text.split(u' ')) {
        if (!line.isEmpty() && indent.size() + line.size() + 1 + word.size() > 80) {
            lines += indent + line + u'\n';
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    return lines + indent + line + u'\n';
}

} // namespace

Invocation parseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    describeOptions(parser);
    if (!parser.parse(arguments))
        throw UsageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        return HelpRequest{};
    if (parser.isSet(QStringLiteral("version")))
        return VersionRequest{};
    if (!parser.positionalArguments().isEmpty())
        return commandFrom(parser);
    for (const QCommandLineOption& option : commandOptions()) {
        if (parser.isSet(option))
            throw misplaced(option.names().constFirst(), QStringLiteral("the relay itself"));
    }
    return daemonOptionsFrom(parser);
}

QString helpText() {
    QCommandLineParser parser;
    describeOptions(parser);
    QString text = parser.helpText() + QStringLiteral("\nCommands:\n");
    for (const CommandDefinition& definition : commandDefinitions()) {
        const QString usage =
            QLatin1String(definition.name) + u' ' + QLatin1String(definition.synopsis);
        text += QStringLiteral("  ") + usage.trimmed() + u'\n' +
                indented(QLatin1String(definition.description));
    }
    return text + QStringLiteral("\nExit status of a command:\n") +
           indented(QStringLiteral("0 success, 1 the relay refused or failed (its reason on "
                                   "standard error), 2 usage error, 3 the relay is not "
                                   "reachable."));
}

} // namespace zidire
