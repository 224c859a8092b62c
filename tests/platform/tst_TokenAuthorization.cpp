#include "PlatformBackend.h"
#include "PolkitAuthorization.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr AuthorizationFlags adminFlags = kAuthorizationFlagInteractionAllowed |
                                          kAuthorizationFlagExtendRights |
                                          kAuthorizationFlagPreAuthorize;

// The local backend instead of pkexec.
const QByteArray local = "local";
// A private folder that belongs to someone else.
constexpr int givenAway = 010700;

struct Outcome {
    OSStatus status;
    QByteArray externalForm;
};

// The calls in the order AdminAuthorization makes them, with the reference freed at the end.
Outcome authorize(AuthorizationServices& services, AuthorizationFlags flags = adminFlags) {
    AuthorizationRef ref = nullptr;
    AuthorizationItem item{adminRightName, 0, nullptr, 0};
    AuthorizationExternalForm form{};
    OSStatus status = services.create(kAuthorizationFlagDefaults, &ref);
    if (status == errAuthorizationSuccess)
        status = services.copyRights(ref, {1, &item}, flags);
    if (status == errAuthorizationSuccess)
        status = services.makeExternalForm(ref, &form);
    services.free(ref, kAuthorizationFlagDefaults);
    return {status, status == errAuthorizationSuccess ? QByteArray(form.bytes, sizeof form.bytes)
                                                      : QByteArray()};
}

// Whether the token's file is there as zidire accepts it.
bool tokenFileIsSound(const QString& directory, const QByteArray& token) {
    const QString path = QDir(directory).filePath(QString::fromLatin1(token.toHex()));
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode) &&
           (info.st_mode & 07777) == 0600 && info.st_uid == ::geteuid();
}

} // namespace

class TokenAuthorizationTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void tokenIsLeftOnlyInAPrivateFolder_data() {
        QTest::addColumn<QByteArray>("pkexec"); // what it does, or `local`
        QTest::addColumn<int>("folderMode");    // 0: no folder yet
        QTest::addColumn<bool>("helperInstalled");
        QTest::addColumn<AuthorizationFlags>("flags");
        QTest::addColumn<std::chrono::milliseconds>("answerTimeout");
        QTest::addColumn<OSStatus>("status");
        auto row = [](const char* name, const QByteArray& pkexec, OSStatus status,
                      int folderMode = 0, bool helperInstalled = true,
                      AuthorizationFlags flags = adminFlags,
                      std::chrono::milliseconds answerTimeout = 1min) {
            QTest::newRow(name) << pkexec << folderMode << helperInstalled << flags << answerTimeout
                                << status;
        };
        const OSStatus internal = errAuthorizationInternal;
        row("local, folder made", local, errAuthorizationSuccess);
        row("local, group may read", local, internal, 0750);
        row("local, others may enter", local, internal, 0701);
        row("local, someone else's folder", local, internal, givenAway);
        // As pkexec does once the administrator typed the password: runs the helper.
        const QByteArray confirmed = "exec \"$@\"";
        row("polkit confirmed", confirmed, errAuthorizationSuccess);
        row("dialog dismissed", "exit 126", errAuthorizationCanceled);
        row("not authorized, or no agent", "exit 127", errAuthorizationDenied);
        row("upper-case token", "printf '%064d\\n' 0 | tr 0 A", internal);
        row("never answered", "exec sleep 60", errAuthorizationDenied, 0, true, adminFlags, 300ms);
        row("no helper", confirmed, internal, 0, false);
        row("no interaction allowed", confirmed, errAuthorizationInteractionNotAllowed, 0, true,
            adminFlags & ~kAuthorizationFlagInteractionAllowed);
    }

    void tokenIsLeftOnlyInAPrivateFolder() {
        QFETCH(QByteArray, pkexec);
        QFETCH(int, folderMode);
        QFETCH(bool, helperInstalled);
        QFETCH(AuthorizationFlags, flags);
        QFETCH(std::chrono::milliseconds, answerTimeout);
        QFETCH(OSStatus, status);
        if (folderMode == givenAway && ::geteuid() != 0)
            QSKIP("only root can give a folder away");
        QTemporaryDir dir;
        const QString authority = dir.filePath("run/moxtrel/authority");
        const QByteArray native = QFile::encodeName(authority);
        if (folderMode > 0)
            QVERIFY(QDir().mkpath(authority) &&
                    ::chmod(native.constData(), folderMode & 0777) == 0);
        if (folderMode == givenAway)
            QCOMPARE(::chown(native.constData(), 65534, 65534), 0);
        QFile script(dir.filePath("pkexec"));
        QVERIFY(script.open(QIODevice::WriteOnly) &&
                script.write("#!/bin/sh\n" + pkexec + "\n") > 0);
        script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        script.close();
        qputenv("MOXTREL_AUTHORITY_DIR", native);
        const std::shared_ptr<AuthorizationServices> services =
            pkexec == local
                ? makeAuthorizationServices(PlatformBackend::local)
                : std::make_shared<PolkitAuthorization>(PolkitAuthorization::Setup{
                      script.fileName(),
                      helperInstalled ? AUTHORIZE_HELPER : dir.filePath("moxtrel-authorize"),
                      answerTimeout});

        const Outcome first = authorize(*services, flags), second = authorize(*services, flags);
        qunsetenv("MOXTREL_AUTHORITY_DIR");
        QCOMPARE(first.status, status);
        QCOMPARE(second.status, status); // with a fresh token each time
        QCOMPARE(QDir(authority).isEmpty(), status != errAuthorizationSuccess);
        if (status == errAuthorizationSuccess)
            QVERIFY(tokenFileIsSound(authority, first.externalForm) &&
                    second.externalForm != first.externalForm);
    }
};

QTEST_GUILESS_MAIN(TokenAuthorizationTest)
#include "tst_TokenAuthorization.moc"
