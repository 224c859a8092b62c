#include "RelayCommands.h"

#include "Console.h"
#include "PasswordPrompt.h"
#include "StatusReport.h"

namespace zidire {

void showStatus(const Command& command) {
    const ControlStatus status = command.relay().status();
    printLine(stdout, command.json ? statusJson(status) : statusReport(status));
}

void sendTestMessage(const Command& command) {
    const QString& recipient = command.arguments.constFirst();
    command.relay().testSend(recipient);
    printLine(stdout, QStringLiteral("Test email sent to ") + recipient + u'.');
}

void retryQueue(const Command& command) {
    command.relay().retryNow();
    printLine(stdout, QStringLiteral("Retrying queued messages…"));
}

void printLog(const Command& command) {
    printLine(stdout, command.relay().fetchLog());
}

void setDeviceLogin(const Command& command) {
    const QString& username = command.arguments.constFirst();
    const QString password = readPassword(QStringLiteral("Password for %1: ").arg(username));
    command.relay().setDeviceUser(username, password);
    printLine(stdout, QStringLiteral("Copiers now sign in as %1.").arg(username));
}

void setListenAddress(const Command& command) {
    const QString& host = command.arguments.constFirst();
    command.relay().setListenHost(host);
    printLine(stdout, QStringLiteral("Listening for the copiers' mail on %1.").arg(host));
}

} // namespace zidire
