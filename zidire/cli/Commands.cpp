#include "Commands.h"

#include "Console.h"
#include "ControlClientError.h"
#include "ErrorDescription.h"
#include "RelayCommands.h"
#include "SignInCommand.h"
#include "daemon/DaemonOptions.h"

#include <algorithm>

namespace zidire {

namespace {

const CommandDefinition definitions[] = {
    {"status",
     "[--json]",
     0,
     {QStringLiteral("json")},
     "Show the relay's state: account, sender, listeners, queue and last error. With --json, "
     "the status record as the relay sent it.",
     "Couldn't read the status: ",
     showStatus},
    {"auth",
     "m365|gmail [--client-id ID] [--client-secret SECRET] [--no-browser]",
     1,
     {QStringLiteral("client-id"), QStringLiteral("client-secret"), QStringLiteral("no-browser")},
     "Sign in to Microsoft 365 or Google in a browser and hand the account to the relay. Prints "
     "the address to open; with --no-browser, paste the address the browser ends on. The client "
     "registration built into zidire is used unless --client-id names another. "
     "ZIDIRE_MICROSOFT_LOGIN_BASE and ZIDIRE_GOOGLE_TOKEN_URL replace the providers' hosts.",
     "Sign-in failed: ",
     signIn},
    {"test",
     "RECIPIENT",
     1,
     {},
     "Send a test message to RECIPIENT through the signed-in account.",
     "Test send failed: ",
     sendTestMessage},
    {"retry",
     "",
     0,
     {},
     "Retry the queued messages now.",
     "Couldn't retry the queue: ",
     retryQueue},
    {"log", "", 0, {}, "Print the end of the relay's log.", "Couldn't read the log: ", printLog},
    {"device-login",
     "USER",
     1,
     {},
     "Set the login the copiers use. The password is read from the terminal without echo, or "
     "as one line from standard input when that is not a terminal.",
     "Couldn't save the device account: ",
     setDeviceLogin},
    {"listen",
     "HOST",
     1,
     {},
     "Accept the copiers' mail on HOST, an IPv4 address of this machine (0.0.0.0: all of them).",
     "Couldn't change the listening address: ",
     setListenAddress},
};

// The relay could not be asked at all, as opposed to an answer that refused or a failed
// exchange.
bool isUnreachable(ControlClientError::Kind kind) {
    using Kind = ControlClientError::Kind;
    switch (kind) {
    case Kind::connectFailed:
    case Kind::notRunning:
    case Kind::permissionDenied:
    case Kind::pathTooLong:
    case Kind::socketCreateFailed:
        return true;
    default:
        return false;
    }
}

} // namespace

std::span<const CommandDefinition> commandDefinitions() {
    return definitions;
}

const CommandDefinition* findCommand(const QString& name) {
    const auto* found = std::find_if(std::begin(definitions), std::end(definitions),
                                     [&name](const CommandDefinition& definition) {
                                         return name == QLatin1String(definition.name);
                                     });
    return found == std::end(definitions) ? nullptr : found;
}

int runCommand(const Command& command) {
    const CommandDefinition* definition = findCommand(command.name);
    const auto fail = [definition](const QString& reason, ExitStatus status) {
        printLine(stderr,
                  QStringLiteral("zidire: ") + QLatin1String(definition->failurePrefix) + reason);
        return status;
    };
    try {
        definition->run(command);
        return succeeded;
    } catch (const UsageError& error) {
        printLine(stderr, QStringLiteral("zidire: ") + QString::fromUtf8(error.what()));
        return usage;
    } catch (const ControlClientError& error) {
        return fail(error.description(), isUnreachable(error.kind()) ? unreachable : refused);
    } catch (...) {
        return fail(errorDescription(std::current_exception()), refused);
    }
}

} // namespace zidire
