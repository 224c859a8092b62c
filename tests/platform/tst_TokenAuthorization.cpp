#include "LocalAuthorization.h"
#include "PolkitAuthorization.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr AuthorizationFlags adminFlags = kAuthorizationFlagInteractionAllowed |
                                          kAuthorizationFlagExtendRights |
                                          kAuthorizationFlagPreAuthorize;

struct Outcome {
    OSStatus status = errAuthorizationSuccess;
    QByteArray externalForm;
};

// The calls in the order AdminAuthorization makes them, with the reference freed at the end.
Outcome authorize(AuthorizationServices& services, AuthorizationFlags flags = adminFlags) {
    AuthorizationRef ref = nullptr;
    Outcome outcome;
    outcome.status = services.create(kAuthorizationFlagDefaults, &ref);
    if (outcome.status != errAuthorizationSuccess)
        return outcome;
    AuthorizationItem item{adminRightName, 0, nullptr, 0};
    outcome.status = services.copyRights(ref, {1, &item}, flags);
    AuthorizationExternalForm form{};
    if (outcome.status == errAuthorizationSuccess)
        outcome.status = services.makeExternalForm(ref, &form);
    if (outcome.status == errAuthorizationSuccess)
        outcome.externalForm = QByteArray(form.bytes, sizeof form.bytes);
    services.free(ref, kAuthorizationFlagDefaults);
    return outcome;
}

// The token file's properties as zidire checks them.
QString tokenProblem(const QString& directory, const QByteArray& token) {
    const QString path = QDir(directory).filePath(QString::fromLatin1(token.toHex()));
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return "no token file " + path;
    if (!S_ISREG(info.st_mode) || (info.st_mode & 07777) != 0600 || info.st_uid != ::geteuid())
        return QStringLiteral("token file %1 has mode %2, uid %3")
            .arg(path)
            .arg(info.st_mode, 0, 8)
            .arg(info.st_uid);
    return {};
}

void writeScript(const QString& path, const QByteArray& body) {
    QFile script(path);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\n" + body + "\n");
    script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
}

} // namespace

class TokenAuthorizationTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void localMintsAFreshTokenForZidire() {
        QTemporaryDir dir;
        const QString authority = dir.filePath("run/moxtrel/authority");
        LocalAuthorization local(authority);

        const Outcome first = authorize(local);
        const Outcome second = authorize(local);

        QCOMPARE(first.status, errAuthorizationSuccess);
        QCOMPARE(first.externalForm.size(), 32);
        QCOMPARE(tokenProblem(authority, first.externalForm), QString());
        QVERIFY(first.externalForm != second.externalForm);
        QCOMPARE(QFileInfo(authority).permissions(), QFile::ReadOwner | QFile::WriteOwner |
                                                         QFile::ExeOwner | QFile::ReadUser |
                                                         QFile::WriteUser | QFile::ExeUser);
    }

    void localFailureToWriteIsInternal() {
        QTemporaryDir dir;
        QFile blocker(dir.filePath("authority"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        LocalAuthorization local(dir.filePath("authority"));
        QCOMPARE(authorize(local).status, errAuthorizationInternal);
    }

    void polkitHelperMintsTheToken() {
        QTemporaryDir dir;
        const QString authority = dir.filePath("authority");
        // Stands in for pkexec after the administrator typed the password: runs the helper.
        writeScript(dir.filePath("pkexec"), "exec \"$@\"");
        qputenv("MOXTREL_AUTHORITY_DIR", QFile::encodeName(authority));
        PolkitAuthorization polkit({dir.filePath("pkexec"), AUTHORIZE_HELPER});

        const Outcome outcome = authorize(polkit);
        qunsetenv("MOXTREL_AUTHORITY_DIR");

        QCOMPARE(outcome.status, errAuthorizationSuccess);
        QCOMPARE(tokenProblem(authority, outcome.externalForm), QString());
    }

    void pkexecOutcomesMapToStatuses_data() {
        QTest::addColumn<QByteArray>("pkexec");
        QTest::addColumn<OSStatus>("status");
        QTest::newRow("dialog dismissed") << QByteArray("exit 126") << errAuthorizationCanceled;
        QTest::newRow("not authorized, or no agent")
            << QByteArray("echo 'Error executing command as another user: No authentication "
                          "agent found.' >&2; exit 127")
            << errAuthorizationDenied;
        QTest::newRow("helper failed") << QByteArray("exit 1") << errAuthorizationInternal;
        QTest::newRow("not a token") << QByteArray("echo 00ff; exit 0") << errAuthorizationInternal;
        QTest::newRow("upper-case token")
            << QByteArray("printf '%064d\\n' 0 | tr 0 A; exit 0") << errAuthorizationInternal;
        QTest::newRow("killed") << QByteArray("kill -9 $$") << errAuthorizationInternal;
        QTest::newRow("never answered") << QByteArray("exec sleep 60") << errAuthorizationDenied;
    }

    void pkexecOutcomesMapToStatuses() {
        QFETCH(QByteArray, pkexec);
        QFETCH(OSStatus, status);
        QTemporaryDir dir;
        writeScript(dir.filePath("pkexec"), pkexec);
        PolkitAuthorization polkit({dir.filePath("pkexec"), AUTHORIZE_HELPER, 300ms});
        QCOMPARE(authorize(polkit).status, status);
    }

    void missingPiecesAreInternalAndRunNothing_data() {
        QTest::addColumn<bool>("pkexecInstalled");
        QTest::addColumn<bool>("helperInstalled");
        QTest::addColumn<AuthorizationFlags>("flags");
        QTest::addColumn<OSStatus>("status");
        QTest::newRow("no pkexec") << false << true << adminFlags << errAuthorizationInternal;
        QTest::newRow("no helper") << true << false << adminFlags << errAuthorizationInternal;
        QTest::newRow("no interaction allowed")
            << true << true << (adminFlags & ~kAuthorizationFlagInteractionAllowed)
            << errAuthorizationInteractionNotAllowed;
    }

    void missingPiecesAreInternalAndRunNothing() {
        QFETCH(bool, pkexecInstalled);
        QFETCH(bool, helperInstalled);
        QFETCH(AuthorizationFlags, flags);
        QFETCH(OSStatus, status);
        QTemporaryDir dir;
        writeScript(dir.filePath("pkexec"), "touch \"$0.ran\"; exec \"$@\"");
        PolkitAuthorization polkit(
            {pkexecInstalled ? dir.filePath("pkexec") : QString(),
             helperInstalled ? QString(AUTHORIZE_HELPER) : dir.filePath("moxtrel-authorize")});

        QCOMPARE(authorize(polkit, flags).status, status);
        QVERIFY(!QFile::exists(dir.filePath("pkexec.ran")));
    }
};

QTEST_GUILESS_MAIN(TokenAuthorizationTest)
#include "tst_TokenAuthorization.moc"
