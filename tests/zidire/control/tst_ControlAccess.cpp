// Who may use zidire's control socket: the peer policy part by part, then a real system-mode
// zidire (as root) asked by root and by another account; and what a local attacker can plant in
// zidire's state directory.

#include "LocalRelay.h"
#include "control/ControlPeerPolicy.h"
#include "daemon/LogindSessions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTest>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace zidire;

namespace {

constexpr uid_t nobody = 65534;

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

mode_t modeOf(const QString& path) {
    struct stat info {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode;
}

// zidire's answer to `request` from a client acting as `uid`, the way another local account
// would ask: the socket's peer credentials are the effective ids at connect().
ControlResponse responseAs(uid_t uid, const ControlClient& client, const ControlRequest& request) {
    if (::setegid(uid) != 0 || ::seteuid(uid) != 0)
        return {.ok = false, .error = QStringLiteral("couldn't act as uid %1").arg(uid)};
    const auto backToRoot = qScopeGuard([] { (void)(::seteuid(0) + ::setegid(0)); });
    return client.send(request);
}

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

Q_DECLARE_METATYPE(zidire::SeatSessionAnswer)

class ControlAccessTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
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

    // Only a session at this computer vouches for its user: not an SSH login, not the greeter,
    // not one switched away from.
    void seatSessions() {
        const QVariantMap seated{{"Active", true}, {"Class", "user"}, {"Remote", false}};
        QVERIFY(seatsItsUser(seated));
        for (const auto& [property, value] : std::initializer_list<std::pair<QString, QVariant>>{
                 {"Remote", true}, {"Class", "greeter"}, {"Active", false}}) {
            QVariantMap session = seated;
            session.insert(property, value);
            QVERIFY2(!seatsItsUser(session), qPrintable(property));
        }
    }

    // Another account can open the socket but nothing more: every command, the storing ones
    // included, is answered with the refusal and changes nothing. Root is admitted.
    void systemSocketRefusesOtherAccounts() {
        if (::geteuid() != 0)
            QSKIP("the system service runs as root, and only root can act as another account");
        LocalRelay zidire;
        for (const QString& reachable : {zidire.path(""), zidire.path("run")})
            QVERIFY(QDir().mkpath(reachable) && ::chmod(QFile::encodeName(reachable), 0755) == 0);
        QVERIFY2(zidire.start({}, RelayMode::system), qPrintable(zidire.standardError()));
        QCOMPARE(modeOf(zidire.socketPath()) & 0777, 0666u);

        const QList<ControlRequest> attacks{
            {.command = ControlCommand::getStatus},
            {.command = ControlCommand::setCredentials,
             .provider = "m365",
             .email = "attacker@example.com",
             .refreshToken = "stolen-1"},
            {.command = ControlCommand::setConfig, .sender = SenderUpdate{"m365", "x@evil.test"}},
            {.command = ControlCommand::getLog},
        };
        const ControlClient client = zidire.client();
        const QByteArray settingsBefore = fileBytes(zidire.stateDirectory() + "/settings.json");
        for (const ControlRequest& request : attacks) {
            const ControlResponse response = responseAs(nobody, client, request);
            QVERIFY2(!response.ok && response.error == ControlPeerPolicy::refusal,
                     qPrintable(request.command + " → " + response.error.value_or("(ok)")));
            QVERIFY(!response.logTail && !response.status);
        }
        QCOMPARE(fileBytes(zidire.stateDirectory() + "/settings.json"), settingsBefore);
        QVERIFY(!QFile::exists(zidire.stateDirectory() + "/secrets.json"));
        QVERIFY(client.fetchLog().contains("control connection refused: uid 65534 (pid "));
        QCOMPARE(zidire.stop(), 0);
    }

    // What another local account could plant in the state directory: loose permissions are
    // tightened, a link where a temporary file goes is neither followed nor kept, a leftover
    // temporary file doesn't stop the next save, and a directory of someone else's isn't used.
    void stateDirectoryIsPrivate() {
        LocalRelay zidire;
        const QString state = zidire.stateDirectory();
        const QString victim = zidire.path("victim");
        QFile file(victim);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("untouched") == 9);
        file.close();
        QVERIFY(QDir().mkpath(state) && ::chmod(QFile::encodeName(state), 0755) == 0);
        QVERIFY(QFile::link(victim, state + "/secrets.json.tmp"));
        QFile leftover(state + "/settings.json.tmp");
        QVERIFY(leftover.open(QIODevice::WriteOnly) && leftover.write("{crash") == 6);
        leftover.close();
        QVERIFY2(zidire.start(), qPrintable(zidire.standardError()));
        QCOMPARE(modeOf(state) & 07777, 0700u);

        const ControlClient client = zidire.client();
        client.setDeviceUser("copier", "pw-S3");
        client.updateSender("gmail", "scans@example.com");
        QCOMPARE(fileBytes(victim), "untouched");
        QVERIFY(S_ISREG(modeOf(state + "/secrets.json")));
        QVERIFY(fileBytes(state + "/secrets.json").contains("pw-S3"));
        QVERIFY(!QFileInfo(state + "/secrets.json.tmp").isSymLink());
        QCOMPARE(client.status().fromAddress, "scans@example.com");
        QCOMPARE(zidire.stop(), 0);

        if (::geteuid() != 0)
            QSKIP("only root can give the directory to someone else");
        QCOMPARE(::chown(QFile::encodeName(state), nobody, nobody), 0);
        QVERIFY(!zidire.start());
        QCOMPARE(zidire.waitForExit(), 1);
        QVERIFY2(zidire.standardError().contains("belongs to uid 65534"),
                 qPrintable(zidire.standardError()));
    }
};

QTEST_GUILESS_MAIN(ControlAccessTest)
#include "tst_ControlAccess.moc"
