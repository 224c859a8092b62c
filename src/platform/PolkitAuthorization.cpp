#include "PolkitAuthorization.h"

#include "RelayContract.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

PolkitAuthorization::PolkitAuthorization(Setup setup)
    : m_setup(std::move(setup)) {}

PolkitAuthorization::Setup PolkitAuthorization::installedSetup() {
    return {.pkexec = QStandardPaths::findExecutable(QStringLiteral("pkexec")),
            .helper = QStringLiteral(MOXTREL_AUTHORIZE_INSTALLED_PATH)};
}

OSStatus PolkitAuthorization::obtainToken(bool interactionAllowed, QByteArray& token) {
    // pkexec always asks: without a dialog there is no administrator's confirmation.
    if (!interactionAllowed)
        return errAuthorizationInteractionNotAllowed;
    if (m_setup.pkexec.isEmpty() || !QFileInfo(m_setup.helper).isExecutable()) {
        qWarning("polkit authorization: pkexec or %s is not installed",
                 qUtf8Printable(m_setup.helper));
        return errAuthorizationInternal;
    }

    QProcess pkexec;
    pkexec.setProgram(m_setup.pkexec);
    pkexec.setArguments({m_setup.helper});
    pkexec.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    pkexec.start(QIODevice::ReadOnly);
    if (!pkexec.waitForStarted()) {
        qWarning("polkit authorization: %s", qUtf8Printable(pkexec.errorString()));
        return errAuthorizationInternal;
    }
    if (!pkexec.waitForFinished(int(m_setup.answerTimeout.count()))) {
        pkexec.kill();
        pkexec.waitForFinished();
        return errAuthorizationDenied;
    }
    if (pkexec.exitStatus() != QProcess::NormalExit)
        return errAuthorizationInternal;
    switch (pkexec.exitCode()) {
    case 0:
        break;
    case pkexecDismissed:
        return errAuthorizationCanceled;
    case pkexecNotAuthorized:
        return errAuthorizationDenied;
    default:
        return errAuthorizationInternal;
    }

    const QByteArray hex = pkexec.readAllStandardOutput().trimmed();
    const QByteArray bytes = QByteArray::fromHex(hex);
    if (bytes.size() != RelayContract::authorityTokenBytes || bytes.toHex() != hex)
        return errAuthorizationInternal;
    token = bytes;
    return errAuthorizationSuccess;
}
