// Who may use zidire's control socket, and what it does with requests that reach it that a local
// attacker chose: the peer policy part by part, then a real system-mode zidire (as root) asked by
// root and by another account; the rest through a real local zidire.

#include "ControlCodec.h"
#include "LocalRelay.h"
#include "RelayContract.h"
#include "control/ControlPeerPolicy.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>

#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace zidire;

namespace {

constexpr uid_t nobody = 65534;
const QByteArray getStatus = R"({"command":"GetStatus"})";
const QString permissionDenied = ControlPeerPolicy::refusal;

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

mode_t modeOf(const QString& path) {
    struct stat info {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode;
}

// The answer to `request`, sent by a process running as `uid` (a child that drops root's
// privileges first, the way another local account would connect). Empty when it couldn't
// connect or zidire closed without a word.
QByteArray exchangeAs(uid_t uid, const QString& socketPath, const QByteArray& request) {
    const std::optional<sockaddr_un> address = RelayContract::socketAddress(socketPath);
    int out[2];
    if (!address || ::pipe2(out, O_CLOEXEC) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        // Only async-signal-safe calls from here on: the parent has threads.
        ::close(out[0]);
        if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0))
            ::_exit(3);
        const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(socket, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0)
            ::_exit(4);
        for (qsizetype sent = 0; sent < request.size();) {
            const ssize_t n =
                ::write(socket, request.constData() + sent, size_t(request.size() - sent));
            if (n <= 0)
                ::_exit(5);
            sent += n;
        }
        char buffer[4096];
        for (ssize_t n; (n = ::read(socket, buffer, sizeof buffer)) > 0;)
            if (::write(out[1], buffer, size_t(n)) != n)
                ::_exit(6);
        ::_exit(0);
    }
    ::close(out[1]);
    QByteArray answer;
    char buffer[4096];
    for (pollfd readable{out[0], POLLIN, 0}; ::poll(&readable, 1, 20'000) > 0;) {
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        answer.append(buffer, n);
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return answer;
}

ControlResponse responseAs(uid_t uid, const QString& socketPath, const QByteArray& request) {
    const QByteArray answer = exchangeAs(uid, socketPath, request);
    if (answer.isEmpty())
        return {.ok = false, .error = QStringLiteral("(no answer)")};
    return decodeControlResponse(answer);
}

} // namespace

Q_DECLARE_METATYPE(zidire::SeatSessionAnswer)

namespace {

// A real zidire in system mode (as root, without --user), its socket in a directory every
// account can reach; state, log and authority directory in a LocalRelay's home.
class SystemRelay {
public:
    // No system bus: logind can't vouch for anyone, as on a machine without it.
    SystemRelay() {
        ::chmod(QFile::encodeName(m_socketHome.path()).constData(), 0755);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                           QStringLiteral("unix:path=") + m_socketHome.filePath("no-bus"));
        environment.insert(QStringLiteral("MOXTREL_AUTHORITY_DIR"), m_home.authorityDirectory());
        m_process.setProcessEnvironment(environment);
        m_process.setProgram(LocalRelay::zidireProgram());
        const auto& ports = m_home.smtpPorts();
        m_process.setArguments({"--socket", socketPath(), "--state-dir", stateDirectory(),
                                "--log-dir", m_home.path("log"), "--smtp-ports",
                                QString("%1,%2,%3").arg(ports[0]).arg(ports[1]).arg(ports[2])});
        m_home.writeSettings(R"({"listen_host":"127.0.0.1",)"
                             R"("ZIDIRE_MICROSOFT_LOGIN_BASE":"http://127.0.0.1:9",)"
                             R"("ZIDIRE_GRAPH_BASE":"http://127.0.0.1:9",)"
                             R"("ZIDIRE_GOOGLE_TOKEN_URL":"http://127.0.0.1:9/token",)"
                             R"("ZIDIRE_GMAIL_BASE":"http://127.0.0.1:9"})");
    }
    ~SystemRelay() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(30'000))
                m_process.kill();
        }
    }

    // Starts it and waits until it says it runs; false when it exited instead.
    bool start() {
        m_process.start();
        for (const QDeadlineTimer deadline(60'000); !deadline.hasExpired();) {
            if (m_standardError.contains(" running in system mode")) {
                m_process.closeReadChannel(QProcess::StandardError);
                return true;
            }
            if (m_process.state() == QProcess::NotRunning && !m_process.waitForReadyRead(0))
                return false;
            m_process.waitForReadyRead(100);
            m_standardError += m_process.readAllStandardError();
        }
        return false;
    }
    QString standardError() const { return QString::fromUtf8(m_standardError); }
    // SIGTERM and the exit code; -1 when it crashed (or a sanitizer ended it).
    int stop() {
        m_process.terminate();
        m_process.waitForFinished(60'000);
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

    QString socketPath() const { return m_socketHome.filePath("moxtrel/control.sock"); }
    QString stateDirectory() const { return m_home.stateDirectory(); }
    QString logFile() const { return m_home.path("log/zidire.log"); }
    QString path(const QString& relative) const { return m_home.path(relative); }

private:
    LocalRelay m_home;
    QTemporaryDir m_socketHome;
    QProcess m_process;
    QByteArray m_standardError;
};

// A seat-session query that the test answers, at once or later.
// logind as a test scripts it: one answer for everyone, and who was asked.
struct ScriptedSessions {
    SeatSessionAnswer answer;
    QList<uid_t> asked{};

    ControlPeerPolicy::SeatSessionQuery query() {
        return [this](uid_t uid, const ControlPeerPolicy::Answer& reply) {
            asked.append(uid);
            reply(answer);
        };
    }
};

QString primaryGroupOf(uid_t uid) {
    const passwd* user = ::getpwuid(uid);
    const group* primary = user ? ::getgrgid(user->pw_gid) : nullptr;
    return primary ? QString::fromLocal8Bit(primary->gr_name) : QString();
}

} // namespace

class ControlAccessTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // ---- the policy ------------------------------------------------------------------------

    void policy_data() {
        QTest::addColumn<uint>("uid");
        QTest::addColumn<QString>("group");
        QTest::addColumn<SeatSessionAnswer>("logind");
        QTest::addColumn<bool>("admitted");
        QTest::addColumn<bool>("logindAsked");
        QTest::addColumn<QString>("why");
        const QString absentGroup = QStringLiteral("moxtrel-no-such-group");
        const SeatSessionAnswer seated{true, {}};
        const SeatSessionAnswer away{};
        QTest::newRow("root") << 0u << absentGroup << away << true << false << "root";
        // nobody's primary group stands in for "moxtrel": membership counts without logind.
        QTest::newRow("group member") << uint(nobody) << primaryGroupOf(nobody) << away << true
                                      << false << "a member of the group";
        QTest::newRow("at a seat") << uint(nobody) << absentGroup << seated << true << true
                                   << "uid 65534 (pid 4242), with an active session";
        QTest::newRow("not at a seat")
            << uint(nobody) << absentGroup << away << false << true
            << "uid 65534 (pid 4242) has no active session at this computer and isn't in the "
               "group \"moxtrel-no-such-group\"";
    }

    void policy() {
        QFETCH(uint, uid);
        QFETCH(QString, group);
        QFETCH(SeatSessionAnswer, logind);
        QFETCH(bool, admitted);
        QFETCH(bool, logindAsked);
        QFETCH(QString, why);
        QVERIFY2(!group.isEmpty(), "nobody has no primary group here");
        ScriptedSessions sessions{.answer = logind};
        const ControlPeerPolicy policy(sessions.query(), group);
        std::optional<ControlPeerPolicy::Verdict> verdict;
        policy.decide({.pid = 4242, .uid = uid_t(uid), .gid = uid_t(uid)},
                      [&](const ControlPeerPolicy::Verdict& decided) { verdict = decided; });
        QVERIFY(verdict);
        QCOMPARE(verdict->admitted, admitted);
        QVERIFY2(verdict->why.contains(why), qPrintable(verdict->why));
        QCOMPARE(sessions.asked, logindAsked ? QList<uid_t>{uid_t(uid)} : QList<uid_t>{});
    }

    // ---- a real system-mode zidire ---------------------------------------------------------

    // Another account can open the socket but nothing more: every command, the storing ones
    // included, is answered with the refusal and changes nothing. Root is admitted.
    void systemSocketRefusesOtherAccounts() {
        if (::geteuid() != 0)
            QSKIP("the system service runs as root, and only root can act as another account");
        SystemRelay zidire;
        QVERIFY2(zidire.start(), qPrintable(zidire.standardError()));
        const QString socket = zidire.socketPath();
        QCOMPARE(modeOf(socket) & 0777, 0666u);

        const QList<QByteArray> attacks{
            getStatus,
            R"({"command":"SetCredentials","provider":"m365","refresh_token":"stolen-1",)"
            R"("email":"attacker@example.com"})",
            R"({"command":"SetConfig","sender":{"provider":"m365","from_address":"x@evil.test"}})",
            R"({"command":"GetLog"})",
        };
        const QByteArray settingsBefore = fileBytes(zidire.stateDirectory() + "/settings.json");
        for (const QByteArray& request : attacks) {
            const ControlResponse response = responseAs(nobody, socket, request);
            QVERIFY2(!response.ok && response.error == permissionDenied,
                     qPrintable(request + " → " + response.error.value_or("(ok)")));
            QVERIFY(!response.logTail && !response.status);
        }
        QCOMPARE(fileBytes(zidire.stateDirectory() + "/settings.json"), settingsBefore);
        QVERIFY(!QFile::exists(zidire.stateDirectory() + "/secrets.json"));
        const QByteArray log = fileBytes(zidire.logFile());
        QVERIFY2(log.contains("control connection refused: uid 65534 (pid "), log.constData());

        QVERIFY(responseAs(0, socket, getStatus).ok);

        QCOMPARE(zidire.stop(), 0);
    }

    // ---- the rest, through a real local zidire ---------------------------------------------

    // A listen address the machine doesn't have is refused, and the listeners stay as they were.
    void unavailableListenAddressKeepsListeners() {
        LocalRelay zidire;
        QVERIFY2(zidire.start(), qPrintable(zidire.standardError()));
        const ControlClient client = zidire.client();
        const QList<ListenerInfo> before = client.status().listeners;
        const QByteArray settings = fileBytes(zidire.stateDirectory() + "/settings.json");
        const ControlResponse response =
            client.send({.command = ControlCommand::setConfig, .listenHost = "192.0.2.1"});
        QCOMPARE(response.error.value_or("(ok)"), "192.0.2.1 isn't an address of this machine");
        QCOMPARE(client.status().listeners, before);
        QCOMPARE(fileBytes(zidire.stateDirectory() + "/settings.json"), settings);
        QTcpSocket copier;
        copier.connectToHost("127.0.0.1", zidire.smtpPorts()[0]);
        QVERIFY(copier.waitForConnected(10'000));
    }

    void signedInName_data() {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("error");
        QTest::newRow("bare user name") << "jdoe" << QString();
        QTest::newRow("line break") << "me@example.com\nforged line"
                                    << "\"email\" contains control characters";
    }

    // The sign-in's account name (preferred_username) is a label: any one-line text.
    void signedInName() {
        QFETCH(QString, email);
        QFETCH(QString, error);
        LocalRelay zidire;
        QVERIFY2(zidire.start(), qPrintable(zidire.standardError()));
        const ControlResponse response =
            zidire.client().send({.command = ControlCommand::setCredentials,
                                  .provider = "m365",
                                  .email = email,
                                  .refreshToken = "refresh-R2"});
        if (!error.isEmpty()) {
            QCOMPARE(response.error.value_or("(ok)"), error);
            QVERIFY(!zidire.client().status().authenticated);
            return;
        }
        QVERIFY2(response.ok, qPrintable(response.error.value_or("")));
        const ControlStatus status = zidire.client().status();
        QVERIFY(status.authenticated);
        QCOMPARE(status.signedInEmail, email);
    }

    // The state directory is made private whatever it was; one that belongs to someone else is
    // not used.
    void stateDirectoryIsPrivate() {
        LocalRelay zidire;
        QVERIFY(QDir().mkpath(zidire.stateDirectory()));
        QVERIFY(QFile::setPermissions(zidire.stateDirectory(),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                          QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                          QFile::ExeOther));
        QVERIFY2(zidire.start(), qPrintable(zidire.standardError()));
        QCOMPARE(modeOf(zidire.stateDirectory()) & 07777, 0700u);
        QCOMPARE(zidire.stop(), 0);

        if (::geteuid() != 0)
            QSKIP("only root can give the directory to someone else");
        QCOMPARE(::chown(QFile::encodeName(zidire.stateDirectory()).constData(), nobody, nobody),
                 0);
        QVERIFY(!zidire.start());
        QCOMPARE(zidire.waitForExit(), 1);
        QVERIFY2(zidire.standardError().contains("belongs to uid 65534"),
                 qPrintable(zidire.standardError()));
    }

    // A link where a state file's temporary file goes is neither followed nor kept; a leftover
    // temporary file doesn't stop the next save.
    void temporaryFilesAreNew() {
        LocalRelay zidire;
        QVERIFY2(zidire.start(), qPrintable(zidire.standardError()));
        const QString state = zidire.stateDirectory();
        const QString victim = zidire.path("victim");
        QFile file(victim);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("untouched") == 9);
        file.close();
        QVERIFY(QFile::link(victim, state + "/secrets.json.tmp"));
        QFile leftover(state + "/settings.json.tmp");
        QVERIFY(leftover.open(QIODevice::WriteOnly) && leftover.write("{crash") == 6);
        leftover.close();

        const ControlClient client = zidire.client();
        client.setDeviceUser("copier", "pw-S3");
        client.updateSender("gmail", "scans@example.com");
        QCOMPARE(fileBytes(victim), "untouched");
        QVERIFY(S_ISREG(modeOf(state + "/secrets.json")));
        QVERIFY(fileBytes(state + "/secrets.json").contains("pw-S3"));
        QVERIFY(fileBytes(state + "/settings.json").contains("scans@example.com"));
        QVERIFY(!QFileInfo::exists(state + "/secrets.json.tmp") &&
                !QFileInfo(state + "/secrets.json.tmp").isSymLink());
        QCOMPARE(client.status().fromAddress, "scans@example.com");
    }

    // A stale token is used up by being presented, and the log never names one.
    void refusedTokenUsedUpUnnamed() {
        LocalRelay zidire;
        QVERIFY2(zidire.start(), qPrintable(zidire.standardError()));
        const ControlClient client = zidire.client();
        client.setDeviceUser("copier", "token-pw");
        const QString stale = zidire.mintToken(6 * 60);
        const QByteArray name = QByteArray::fromBase64(stale.toLatin1()).toHex();
        const ControlResponse response =
            client.send({.command = ControlCommand::getDevicePassword, .authorization = stale});
        QCOMPARE(response.error.value_or("(ok)"), "administrator authorization required");
        QVERIFY(!QFile::exists(zidire.authorityDirectory() + '/' + name));
        const QByteArray log = fileBytes(zidire.logFile());
        QVERIFY2(log.contains("refused to reveal the device password: the token is older than"),
                 log.constData());
        QVERIFY(!log.contains(name) && !log.contains(stale.toLatin1()));
    }
};

QTEST_GUILESS_MAIN(ControlAccessTest)
#include "tst_ControlAccess.moc"
