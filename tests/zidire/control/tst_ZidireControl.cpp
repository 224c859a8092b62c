// zidire's control socket, spoken to over its real socket in a real zidire process.

#include "ControlClient.h"
#include "LocalRelay.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <vector>

namespace {

constexpr int clientTimeoutMs = 3000;

// What ControlClient never does: sends in pieces, pauses, stays silent.
struct RawConnection : QLocalSocket {
    explicit RawConnection(const QString& path) { connectToServer(path), waitForConnected(); }
    bool send(const QByteArray& bytes) { return write(bytes) == bytes.size() && flush(); }
    // Whether zidire has written or closed within `ms`.
    bool answersWithin(int ms) {
        return bytesAvailable() > 0 || waitForReadyRead(ms) || state() != ConnectedState;
    }
    // Everything up to zidire's close; empty when it doesn't close in time.
    QByteArray readToEnd() {
        const QDeadlineTimer deadline(20'000);
        while (state() == ConnectedState && !deadline.hasExpired())
            waitForReadyRead(int(deadline.remainingTime()));
        return state() == ConnectedState ? QByteArray() : readAll();
    }
};

QFile::Permissions permissionsOf(const QString& path) {
    // Qt adds the "user" flags for the current user; only the owner/group/other bits count.
    return QFileInfo(path).permissions() & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray setConfig(const QByteArray& member) {
    return R"({"command":"SetConfig",)" + member + '}';
}

} // namespace

class ZidireControlTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        m_zidire = std::make_unique<LocalRelay>();
        QVERIFY2(m_zidire->start(m_arguments), qPrintable(m_zidire->standardError()));
    }

    void cleanupTestCase() {
        QCOMPARE(m_zidire->stop(), 0);
        QVERIFY(!QFile::exists(m_zidire->socketPath()));
        QVERIFY(!QFile::exists(m_zidire->stateDirectory() + "/zidire.pid"));
    }

    // Every storing command, then what shows of it: status, log, files and their permissions, and
    // never a secret.
    void settingsAndSecrets() {
        const ControlClient client = m_zidire->client();
        const QString refreshToken = "1//refresh-token-Z9", clientSecret = "client-secret-Q7",
                      devicePassword = "device-pw-W4";
        client.updateSender("m365", "scans@example.com");
        client.setDeviceUser("copier", devicePassword);
        client.updateOAuthClient({.m365 = AzureAppUpdate{"client-1", clientSecret, "common"}});
        // The sign-in's account name is a label, not always an address.
        client.setCredentials("m365", refreshToken, QStringLiteral("jdoe"));

        const ControlStatus status = client.status();
        QCOMPARE(status.version, QStringLiteral(MOXTREL_VERSION));
        QVERIFY(status.uptimeSeconds > 0);
        QCOMPARE(status.provider, "m365");
        QCOMPARE(status.fromAddress, "scans@example.com");
        QCOMPARE(status.deviceUsername, "copier");
        QVERIFY(status.devicePasswordStored && status.authenticated);
        QCOMPARE(status.signedInEmail, "jdoe");
        const auto& ports = m_zidire->smtpPorts();
        const QList<ListenerInfo> listeners{
            {QString("127.0.0.1:%1").arg(ports[0]), "none", {}},
            {QString("127.0.0.1:%1").arg(ports[1]), "starttls", {}},
            {QString("127.0.0.1:%1").arg(ports[2]), "implicit", {}}};
        QCOMPARE(status.listeners, listeners);
        const QString state = m_zidire->stateDirectory();
        const QFile::Permissions rw = QFile::ReadOwner | QFile::WriteOwner;
        for (const QString& file :
             {m_zidire->socketPath(), state + "/settings.json", state + "/secrets.json"})
            QCOMPARE(permissionsOf(file), rw);
        QCOMPARE(permissionsOf(QFileInfo(m_zidire->socketPath()).absolutePath()),
                 rw | QFile::ExeOwner);
        const QByteArray settings = fileBytes(state + "/settings.json");

        // LocalRelay points the providers at a closed port.
        const ControlResponse testSend =
            client.send({.command = ControlCommand::testSend, .to = "me@example.com"},
                        ControlClient::testSendTimeLimit);
        QVERIFY2(!testSend.ok &&
                     testSend.error->startsWith("couldn't reach Microsoft 365's sign-in service"),
                 qPrintable(testSend.error.value_or("(ok)")));

        // All of it survives a restart, and what was loaded stays masked in the log.
        QCOMPARE(m_zidire->stop(SIGINT), 0);
        QVERIFY2(m_zidire->start(m_arguments), qPrintable(m_zidire->standardError()));
        ControlStatus reloaded = client.status();
        reloaded.uptimeSeconds = status.uptimeSeconds;
        QCOMPARE(reloaded, status);
        const QString logTail = client.fetchLog();
        QVERIFY(logTail.contains("signed in to m365 as jdoe"));
        const QByteArray shown = logTail.toUtf8() + fileBytes(m_zidire->logFile()) + settings +
                                 encodeControlResponse({.ok = true, .status = client.status()});
        for (const QString& secret : {refreshToken, clientSecret, devicePassword})
            QVERIFY2(!shown.contains(secret.toUtf8()), qPrintable(secret));
    }

    // Moved aside and reported, never overwritten with defaults.
    void unreadableSecretsMovedAside() {
        LocalRelay zidire;
        QVERIFY(QDir().mkpath(zidire.stateDirectory()));
        QFile secrets(zidire.stateDirectory() + "/secrets.json");
        QVERIFY(secrets.open(QIODevice::WriteOnly) &&
                secrets.write(R"({"device_password":5})") > 0);
        secrets.close();
        QVERIFY2(zidire.start(), qPrintable(zidire.standardError()));
        QVERIFY(!zidire.client().status().devicePasswordStored);
        zidire.client().setDeviceUser("copier", "new");
        const QStringList aside =
            QDir(zidire.stateDirectory()).entryList({"secrets.json.corrupt-*"});
        QCOMPARE(aside.size(), 1);
        QCOMPARE(fileBytes(zidire.stateDirectory() + '/' + aside.first()),
                 R"({"device_password":5})");
        QVERIFY(zidire.client().fetchLog().contains(
            "couldn't be read (\"device_password\" isn't a string); moved it to"));
    }

    void refusals_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QString>("error");
        const auto row = [](const char* name, const QByteArray& request, const char* error) {
            QTest::newRow(name) << request << QString::fromUtf8(error);
        };
        row("unknown command", R"({"command":"Reboot"})", "unknown command \"Reboot\"");
        row("two settings",
            setConfig(
                R"("listen_host":"0.0.0.0","sender":{"provider":"gmail","from_address":"a@b.c"})"),
            "\"SetConfig\" needs exactly one of");
        row("no @", setConfig(R"("sender":{"provider":"gmail","from_address":"x"})"),
            "\"sender.from_address\" isn't an e-mail address");
        row("empty user", setConfig(R"("device_user":{"username":"","password":"p"})"),
            "\"device_user.username\" is empty");
        row("NUL", setConfig(R"("device_user":{"username":"u","password":"a\u0000b"})"),
            "\"device_user.password\" contains control characters");
        for (const char* host : {"localhost", "256.1.1.1", "10.0.0", "010.0.0.1"})
            row(host, setConfig(R"("listen_host":")" + QByteArray(host) + '"'),
                "\"listen_host\" isn't a dotted-decimal IPv4 address");
        row("tenant",
            setConfig(R"("oauth":{"m365":{"client_id":"c","client_secret":"","tenant_id":""}})"),
            "\"oauth.m365.tenant_id\" is empty");
        row("no token", R"({"command":"SetCredentials","provider":"gmail"})",
            "\"SetCredentials\" needs \"refresh_token\"");
        row("account name of two lines",
            R"({"command":"SetCredentials","provider":"gmail","refresh_token":"r","email":"a\nb"})",
            "\"email\" contains control characters");
        row("no recipient", R"({"command":"TestSend"})", "\"TestSend\" needs \"to\"");
    }

    // A refusal says what was wrong and leaves the settings as they were.
    void refusals() {
        QFETCH(QByteArray, request);
        QFETCH(QString, error);
        const QString settingsPath = m_zidire->stateDirectory() + "/settings.json";
        const QByteArray settingsBefore = fileBytes(settingsPath);
        RawConnection connection(m_zidire->socketPath());
        QVERIFY(connection.send(request));
        const ControlResponse response = decodeControlResponse(connection.readToEnd());
        QVERIFY2(!response.ok && response.error.value_or("").startsWith(error),
                 qPrintable(response.error.value_or("(no error)")));
        QCOMPARE(fileBytes(settingsPath), settingsBefore);
    }

    // Fifty requests sent in pieces and completed in reverse order, beside two that never
    // complete: nobody waits for the connection before it, and only the incomplete time out.
    void overlappingAndIncompleteConnections() {
        RawConnection silent(m_zidire->socketPath());
        std::vector<std::unique_ptr<RawConnection>> connections;
        for (int i = 0; i < 51; ++i) {
            connections.push_back(std::make_unique<RawConnection>(m_zidire->socketPath()));
            QVERIFY(connections.back()->send("{\"command\":\"Get"));
        }
        RawConnection& halfObject = *connections.front();
        for (auto it = connections.rbegin(); it + 1 != connections.rend(); ++it)
            QVERIFY((*it)->send("Status\"}"));
        for (auto it = connections.begin() + 1; it != connections.end(); ++it) {
            const ControlResponse response = decodeControlResponse((*it)->readToEnd());
            QVERIFY(response.ok && response.status);
        }
        QVERIFY(!silent.answersWithin(0) && !halfObject.answersWithin(0));
        for (RawConnection* slow : {&silent, &halfObject}) {
            const ControlResponse response = decodeControlResponse(slow->readToEnd());
            QVERIFY(!response.ok &&
                    response.error->startsWith("no complete request within 3 seconds"));
        }
    }

    void requestSizeLimit() {
        // A test send of `bytes` in all: {"command":"TestSend","to":"…"} is 30 around the address.
        const auto errorFor = [&](qsizetype bytes) {
            const QString to(bytes - 30, u'x');
            return m_zidire->client().send({.command = ControlCommand::testSend, .to = to}).error;
        };
        QCOMPARE(errorFor(1024 * 1024), "\"to\" isn't an e-mail address");
        QCOMPARE(errorFor(1024 * 1024 + 1), "the request is longer than 1048576 bytes");
    }

    // An address the machine lacks is refused before a listener closes.
    void listenHostRebinds() {
        const ControlClient client = m_zidire->client();
        const QList<ListenerInfo> before = client.status().listeners;
        QCOMPARE(client.send({.command = ControlCommand::setConfig, .listenHost = "203.0.113.9"})
                     .error.value_or("(ok)"),
                 "203.0.113.9 isn't an address of this machine");
        QCOMPARE(client.status().listeners, before);
        client.setListenHost("127.0.0.2");
        for (const ListenerInfo& listener : client.status().listeners)
            QVERIFY(listener.address.startsWith("127.0.0.2:") && !listener.error);
        QTcpSocket copier;
        copier.connectToHost("127.0.0.2", m_zidire->smtpPorts()[0]);
        QVERIFY(copier.waitForConnected(10'000));
    }

    // The device password for a token that zidire's rules take, once (tst_AuthorityTokens).
    void authorizationTokens() {
        const ControlClient client = m_zidire->client();
        client.setDeviceUser("copier", "token-pw");
        const QString token = m_zidire->mintToken();
        const auto reveal = [&] {
            return client.send(
                {.command = ControlCommand::getDevicePassword, .authorization = token});
        };
        QCOMPARE(reveal().devicePassword, "token-pw");
        QCOMPARE(reveal().error, "administrator authorization required");
        // A refused token is logged without its name.
        const QString stale = m_zidire->mintToken(6 * 60);
        QVERIFY(!client.send({.command = ControlCommand::getDevicePassword, .authorization = stale})
                     .ok);
        const QString log = client.fetchLog();
        QVERIFY(log.contains("the token is older than"));
        for (const QString& presented : {token, stale})
            QVERIFY(!log.contains(presented) &&
                    !log.contains(QByteArray::fromBase64(presented.toLatin1()).toHex()));
    }

    // Another zidire on the same socket or the same state leaves the first undisturbed.
    void secondZidireRefused() {
        const QList<QStringList> starts{
            {"--socket", m_zidire->socketPath(), "another zidire is already running"},
            {"--state-dir", m_zidire->stateDirectory(), "is already running with this state"}};
        for (const QStringList& start : starts) {
            LocalRelay second;
            QVERIFY(!second.start(start.mid(0, 2)));
            QCOMPARE(second.waitForExit(), 1);
            QVERIFY2(second.standardError().contains(start[2]), qPrintable(second.standardError()));
        }
        QCOMPARE(m_zidire->client().status().listeners.size(), 3);
    }

private:
    std::unique_ptr<LocalRelay> m_zidire;
    const QStringList m_arguments{"--control-client-timeout", QString::number(clientTimeoutMs)};
};

QTEST_GUILESS_MAIN(ZidireControlTest)
#include "tst_ZidireControl.moc"
