// zidire's control socket, spoken to over its real socket in a real zidire process.

#include "ControlClient.h"
#include "RawControlConnection.h"
#include "ZidireProcess.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <vector>

namespace {

constexpr int clientTimeoutMs = 3000;

ControlResponse exchangeRaw(const QString& socketPath, const QByteArray& request) {
    RawControlConnection connection(socketPath);
    if (!connection.send(request))
        return {.ok = false, .error = QStringLiteral("(test) couldn't send")};
    return decodeControlResponse(connection.readToEnd());
}

QFile::Permissions ownerOnly(bool executable) {
    QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner;
    if (executable)
        permissions |= QFile::ExeOwner;
    return permissions;
}

QFile::Permissions permissionsOf(const QString& path) {
    // Qt adds the "user" flags for the current user; only the owner/group/other bits count.
    return QFileInfo(path).permissions() & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class ZidireControlTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_home.isValid());
        m_zidire = std::make_unique<ZidireProcess>(m_home.path());
        QVERIFY2(m_zidire->start({QStringLiteral("--control-client-timeout"),
                                  QString::number(clientTimeoutMs)}),
                 qPrintable(m_zidire->standardError()));
    }

    void cleanupTestCase() {
        QCOMPARE(m_zidire->stop(), 0);
        QVERIFY(!QFile::exists(m_zidire->socketPath()));
        QVERIFY(!QFile::exists(m_zidire->stateDirectory() + QStringLiteral("/zidire.pid")));
    }

    void statusIsComplete() {
        const ControlStatus first = m_zidire->client().status();
        QCOMPARE(first.version, QStringLiteral(MOXTREL_VERSION));
        QCOMPARE(first.spoolDepth, qint64(0));
        QVERIFY(!first.lastError);
        const auto& ports = m_zidire->smtpPorts();
        const QList<ListenerInfo> expected{
            {QStringLiteral("127.0.0.1:%1").arg(ports[0]), QStringLiteral("none"), {}},
            {QStringLiteral("127.0.0.1:%1").arg(ports[1]), QStringLiteral("starttls"), {}},
            {QStringLiteral("127.0.0.1:%1").arg(ports[2]), QStringLiteral("implicit"), {}},
        };
        QCOMPARE(first.listeners, expected);

        // Uptime runs on: a status taken after a pause reports more.
        QTest::qWait(20);
        QVERIFY(m_zidire->client().status().uptimeSeconds > first.uptimeSeconds);

        QCOMPARE(permissionsOf(m_zidire->socketPath()), ownerOnly(false));
        QCOMPARE(permissionsOf(QFileInfo(m_zidire->socketPath()).absolutePath()), ownerOnly(true));
    }

    void setConfigStoresOnlyItsSetting() {
        const ControlClient client = m_zidire->client();
        client.updateSender(QStringLiteral("m365"), QStringLiteral("scans@example.com"));
        client.setDeviceUser(QStringLiteral("copier"), QStringLiteral("device-pw-1"));
        client.updateOAuthClient({.m365 = AzureAppUpdate{QStringLiteral("client-1"), QString(),
                                                         QStringLiteral("common")}});

        const ControlStatus status = client.status();
        QCOMPARE(status.provider, QStringLiteral("m365"));
        QCOMPARE(status.fromAddress, QStringLiteral("scans@example.com"));
        QCOMPARE(status.deviceUsername, QStringLiteral("copier"));
        QVERIFY(status.devicePasswordStored);
        QCOMPARE(status.listeners.size(), 3);

        const QJsonObject settings =
            QJsonDocument::fromJson(
                fileBytes(m_zidire->stateDirectory() + QStringLiteral("/settings.json")))
                .object();
        QCOMPARE(settings.value(QStringLiteral("m365_client_id")).toString(),
                 QStringLiteral("client-1"));
        QCOMPARE(settings.value(QStringLiteral("listen_host")).toString(),
                 QStringLiteral("127.0.0.1"));
        for (const char* file : {"/settings.json", "/secrets.json"})
            QCOMPARE(permissionsOf(m_zidire->stateDirectory() + QLatin1String(file)),
                     ownerOnly(false));
    }

    void refusals_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QString>("error");
        QTest::newRow("not JSON") << QByteArray(R"({"command" "GetStatus"})")
                                  << "couldn't read the request: not valid JSON";
        QTest::newRow("not an object")
            << QByteArray(R"(["GetStatus"])") << "couldn't read the request: not a JSON object";
        QTest::newRow("no command") << QByteArray(R"({"provider":"gmail"})")
                                    << "couldn't read the request: \"command\" is missing";
        QTest::newRow("unknown command")
            << QByteArray(R"({"command":"Reboot"})") << "unknown command \"Reboot\"";
        QTest::newRow("SetConfig with nothing")
            << QByteArray(R"({"command":"SetConfig"})") << "\"SetConfig\" needs exactly one of";
        QTest::newRow("SetConfig with two settings")
            << QByteArray(R"({"command":"SetConfig","listen_host":"0.0.0.0",)"
                          R"("sender":{"provider":"gmail","from_address":"a@b.c"}})")
            << "\"SetConfig\" needs exactly one of";
        QTest::newRow("sender without @")
            << QByteArray(
                   R"({"command":"SetConfig","sender":{"provider":"gmail","from_address":"scans"}})")
            << "\"sender.from_address\" isn't an e-mail address";
        QTest::newRow("unknown provider")
            << QByteArray(
                   R"({"command":"SetConfig","sender":{"provider":"aol","from_address":"a@b.c"}})")
            << "\"sender.provider\" must be \"m365\" or \"gmail\"";
        QTest::newRow("sender member missing")
            << QByteArray(R"({"command":"SetConfig","sender":{"provider":"gmail"}})")
            << "couldn't read the request: \"sender.from_address\" is missing";
        QTest::newRow("empty user name")
            << QByteArray(R"({"command":"SetConfig","device_user":{"username":"","password":"p"}})")
            << "\"device_user.username\" is empty";
        QTest::newRow("NUL in the password")
            << QByteArray("{\"command\":\"SetConfig\",\"device_user\":{\"username\":\"u\","
                          "\"password\":\"a\\u0000b\"}}")
            << "\"device_user.password\" contains control characters";
        for (const char* host :
             {"localhost", "256.1.1.1", "10.0.0", "010.0.0.1", "::1", " 10.0.0.1"})
            QTest::addRow("listen host \"%s\"", host)
                << QByteArray("{\"command\":\"SetConfig\",\"listen_host\":\"") + host + "\"}"
                << "\"listen_host\" isn't a dotted-decimal IPv4 address";
        QTest::newRow("oauth without a provider")
            << QByteArray(R"({"command":"SetConfig","oauth":{}})")
            << "\"oauth\" needs \"gmail\" or \"m365\"";
        QTest::newRow("oauth without tenant")
            << QByteArray(
                   R"({"command":"SetConfig","oauth":{"m365":{"client_id":"c","client_secret":"","tenant_id":""}}})")
            << "\"oauth.m365.tenant_id\" is empty";
        QTest::newRow("credentials without token")
            << QByteArray(R"({"command":"SetCredentials","provider":"gmail"})")
            << "\"SetCredentials\" needs \"refresh_token\"";
        QTest::newRow("test send without recipient")
            << QByteArray(R"({"command":"TestSend"})") << "\"TestSend\" needs \"to\"";
        QTest::newRow("password without authorization")
            << QByteArray(R"({"command":"GetDevicePassword"})")
            << "administrator authorization required";
        QTest::newRow("nested too deeply")
            << QByteArray(R"({"command":"GetStatus","x":)") + QByteArray(600, '[')
            << "couldn't read the request: nested too deeply";
    }

    // Every refusal is an answer with `ok` false and a text that says what was wrong; the
    // settings stay as they were.
    void refusals() {
        QFETCH(QByteArray, request);
        QFETCH(QString, error);
        const QByteArray settingsBefore =
            fileBytes(m_zidire->stateDirectory() + QStringLiteral("/settings.json"));
        const ControlResponse response = exchangeRaw(m_zidire->socketPath(), request);
        QVERIFY(!response.ok);
        QVERIFY2(response.error.value_or(QString()).startsWith(error),
                 qPrintable(response.error.value_or(QStringLiteral("(no error)"))));
        QCOMPARE(fileBytes(m_zidire->stateDirectory() + QStringLiteral("/settings.json")),
                 settingsBefore);
    }

    void requestInPiecesWithPauses_data() {
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::newRow("byte by byte") << [] {
            QList<QByteArray> bytes;
            for (char c : QByteArray(R"({"command":"GetStatus"})"))
                bytes.append(QByteArray(1, c));
            return bytes;
        }();
        QTest::newRow("split inside escapes") << QList<QByteArray>{
            "{\"comm", "and\":\"Get\\", "u00", "53tatus\",\"x\":\"\\", "\"}\\\\", "\"}"};
        QTest::newRow("whitespace between tokens")
            << QList<QByteArray>{" \n{ ", R"("command" )", R"(: "GetStatus")", " \t}"};
    }

    void requestInPiecesWithPauses() {
        QFETCH(QList<QByteArray>, pieces);
        RawControlConnection connection(m_zidire->socketPath());
        for (qsizetype i = 0; i < pieces.size(); ++i) {
            QVERIFY(connection.send(pieces[i]));
            if (i + 1 < pieces.size())
                QVERIFY2(!connection.answersWithin(30), "answered before the object was complete");
        }
        const ControlResponse response = decodeControlResponse(connection.readToEnd());
        QVERIFY(response.ok);
        QVERIFY(response.status);
    }

    void escapesAndKeyOrders_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QString>("password");
        QTest::newRow("command last")
            << QByteArray(
                   R"({"device_user":{"password":"p1","username":"copier"},"command":"SetConfig"})")
            << "p1";
        QTest::newRow("braces, quotes and backslashes")
            << QByteArray("{\"command\":\"SetConfig\",\"device_user\":{\"username\":\"copier\","
                          "\"password\":\"}{\\\"\\\\][\"}}")
            << "}{\"\\][";
        QTest::newRow("unicode escapes and a surrogate pair")
            << QByteArray("{\"command\":\"SetConfig\",\"device_user\":{\"username\":\"copier\","
                          "\"password\":\"\\u00e9\\ud83d\\ude00\\/\"}}")
            << QString::fromUtf8("é😀/");
        QTest::newRow("camel-case keys")
            << QByteArray(
                   R"({"command":"SetConfig","deviceUser":{"username":"copier","password":"camel"}})")
            << "camel";
    }

    // The password comes back exactly as it was sent, through the authorized read.
    void escapesAndKeyOrders() {
        QFETCH(QByteArray, request);
        QFETCH(QString, password);
        QVERIFY(exchangeRaw(m_zidire->socketPath(), request).ok);
        const ControlResponse response = m_zidire->client().send(
            {.command = ControlCommand::getDevicePassword, .authorization = m_zidire->mintToken()});
        QVERIFY2(response.ok, qPrintable(response.error.value_or(QString())));
        QCOMPARE(response.devicePassword, password);
    }

    void fiftyOverlappingConnections() {
        std::vector<std::unique_ptr<RawControlConnection>> connections;
        for (int i = 0; i < 50; ++i) {
            connections.push_back(std::make_unique<RawControlConnection>(m_zidire->socketPath()));
            QVERIFY(connections.back()->send("{\"command\":\"Get"));
        }
        // Completed in reverse order: nobody waits for the connection before it.
        for (auto it = connections.rbegin(); it != connections.rend(); ++it)
            QVERIFY((*it)->send("Status\"}"));
        for (const auto& connection : connections) {
            const ControlResponse response = decodeControlResponse(connection->readToEnd());
            QVERIFY(response.ok && response.status);
        }
    }

    void silentClientsDoNotDelayOthers() {
        RawControlConnection silent(m_zidire->socketPath());
        RawControlConnection halfObject(m_zidire->socketPath());
        QVERIFY(halfObject.send("{\"command\":\"GetSt"));
        for (int i = 0; i < 5; ++i)
            m_zidire->client().status();
        // Those five were answered while both slow clients were still waiting.
        QVERIFY(!silent.answersWithin(0));
        QVERIFY(!halfObject.answersWithin(0));

        for (RawControlConnection* slow : {&silent, &halfObject}) {
            const ControlResponse response = decodeControlResponse(slow->readToEnd());
            QVERIFY(!response.ok);
            QVERIFY(
                response.error->startsWith(QStringLiteral("no complete request within 3 seconds")));
        }
    }

    void requestSizeLimit() {
        // {"command":"TestSend","to":"…"} is 30 bytes around the address.
        constexpr qsizetype limit = 1024 * 1024;
        const ControlClient client = m_zidire->client();
        const ControlResponse atLimit =
            client.send({.command = ControlCommand::testSend, .to = QString(limit - 30, u'x')});
        QCOMPARE(atLimit.error, QStringLiteral("\"to\" isn't an e-mail address"));
        const ControlResponse overLimit =
            client.send({.command = ControlCommand::testSend, .to = QString(limit - 29, u'x')});
        QVERIFY(!overLimit.ok);
        QCOMPARE(overLimit.error, QStringLiteral("the request is longer than 1048576 bytes"));
    }

    void listenHostRebinds() {
        const ControlClient client = m_zidire->client();
        const auto& ports = m_zidire->smtpPorts();
        client.setListenHost(QStringLiteral("127.0.0.2"));
        for (const ListenerInfo& listener : client.status().listeners) {
            QVERIFY(listener.address.startsWith(QStringLiteral("127.0.0.2:")));
            QVERIFY(listener.error.value_or(QString()).isEmpty());
        }
        QTcpSocket copier;
        copier.connectToHost(QStringLiteral("127.0.0.2"), ports[0]);
        QVERIFY(copier.waitForConnected(10'000));

        // A port taken on the new address fails alone; the other two listen.
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress(QStringLiteral("127.0.0.3")), ports[1]));
        client.setListenHost(QStringLiteral("127.0.0.3"));
        const QList<ListenerInfo> listeners = client.status().listeners;
        QCOMPARE(listeners.size(), 3);
        QVERIFY(listeners[0].error.value_or(QString()).isEmpty());
        QVERIFY(!listeners[1].error.value_or(QString()).isEmpty());
        QVERIFY(listeners[2].error.value_or(QString()).isEmpty());
        QCOMPARE(listeners[2].address, QStringLiteral("127.0.0.3:%1").arg(ports[2]));

        client.setListenHost(QStringLiteral("127.0.0.1"));
        QCOMPARE(client.status().listeners[1].address,
                 QStringLiteral("127.0.0.1:%1").arg(ports[1]));
    }

    void authorizationTokens() {
        const ControlClient client = m_zidire->client();
        client.setDeviceUser(QStringLiteral("copier"), QStringLiteral("token-pw"));
        const auto reveal = [&](const QString& authorization) {
            return client.send(
                {.command = ControlCommand::getDevicePassword, .authorization = authorization});
        };
        const auto refused = [&](const QString& authorization) {
            const ControlResponse response = reveal(authorization);
            return !response.ok && !response.devicePassword &&
                   response.error == QStringLiteral("administrator authorization required");
        };

        const QString token = m_zidire->mintToken();
        QCOMPARE(reveal(token).devicePassword, QStringLiteral("token-pw"));
        QVERIFY2(refused(token), "a token counts once");
        QVERIFY2(refused(m_zidire->mintToken(6 * 60)), "a token older than 5 minutes");
        QVERIFY2(!refused(m_zidire->mintToken(4 * 60)), "a token younger than 5 minutes");

        // A link in the authority directory to a fresh token file elsewhere.
        const QString elsewhere = m_home.filePath(QStringLiteral("elsewhere"));
        QDir().mkpath(elsewhere);
        const QString linked = m_zidire->mintToken();
        const QString name = QString::fromLatin1(QByteArray::fromBase64(linked.toLatin1()).toHex());
        const QString tokenPath = m_zidire->authorityDirectory() + u'/' + name;
        QVERIFY(QFile::rename(tokenPath, elsewhere + u'/' + name));
        QVERIFY(QFile::link(elsewhere + u'/' + name, tokenPath));
        QVERIFY2(refused(linked), "a symbolic link");
        QVERIFY2(refused(QStringLiteral("not base64!")), "garbage");
    }

    void credentialsAndSecretsStayInside() {
        const ControlClient client = m_zidire->client();
        const QString refreshToken = QStringLiteral("1//refresh-token-Z9");
        const QString clientSecret = QStringLiteral("gmail-client-secret-Q7");
        const QString devicePassword = QStringLiteral("device-pw-W4");
        client.updateOAuthClient(
            {.gmail = GoogleAppUpdate{QStringLiteral("gmail-client"), clientSecret}});
        client.setCredentials(QStringLiteral("gmail"), refreshToken,
                              QStringLiteral("me@example.com"));
        client.setDeviceUser(QStringLiteral("copier"), devicePassword);

        const ControlStatus status = client.status();
        QVERIFY(status.authenticated);
        QCOMPARE(status.provider, QStringLiteral("gmail"));
        QCOMPARE(status.signedInEmail, QStringLiteral("me@example.com"));

        // A sender for the other provider: the token doesn't sign in there.
        client.updateSender(QStringLiteral("m365"), QStringLiteral("scans@example.com"));
        QVERIFY(!client.status().authenticated);
        client.setCredentials(QStringLiteral("m365"), refreshToken, std::nullopt);
        QVERIFY(client.status().authenticated);
        QVERIFY(!client.status().signedInEmail);

        const QString logTail = client.fetchLog();
        QVERIFY(logTail.contains(QStringLiteral("signed in to gmail as me@example.com")));
        const QByteArray everythingShown =
            logTail.toUtf8() + fileBytes(m_zidire->logFile()) +
            encodeControlResponse({.ok = true, .status = client.status()});
        for (const QString& secret : {refreshToken, clientSecret, devicePassword})
            QVERIFY2(!everythingShown.contains(secret.toUtf8()), qPrintable(secret));
    }

    void sendingGoesToTheConfiguredProvider() {
        // Signed in to Microsoft 365 by now; ZidireProcess points it at a closed port.
        const ControlClient client = m_zidire->client();
        const ControlResponse testSend =
            client.send({.command = ControlCommand::testSend, .to = "me@example.com"},
                        ControlClient::testSendTimeLimit);
        QVERIFY(!testSend.ok);
        QVERIFY2(testSend.error->startsWith(
                     QStringLiteral("couldn't reach Microsoft 365's sign-in service")),
                 qPrintable(*testSend.error));
        QVERIFY(client.send({.command = ControlCommand::retryNow}).ok);
    }

    void stopsCleanlyOnSignal_data() {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }

    void stopsCleanlyOnSignal() {
        QFETCH(int, signal);
        QTemporaryDir home;
        ZidireProcess zidire(home.path());
        QVERIFY2(zidire.start(), qPrintable(zidire.standardError()));
        const quint16 plainPort = zidire.smtpPorts()[0];
        QCOMPARE(zidire.stop(signal), 0);
        QVERIFY(!QFile::exists(zidire.socketPath()));
        QVERIFY(!QFile::exists(zidire.stateDirectory() + QStringLiteral("/zidire.pid")));
        QVERIFY(fileBytes(zidire.logFile())
                    .contains("stopping on SIG" + QByteArray(sigabbrev_np(signal))));
        QTcpSocket copier;
        copier.connectToHost(QHostAddress::LocalHost, plainPort);
        QVERIFY(!copier.waitForConnected(5000));
    }

    // A second zidire on the same socket or the same state refuses to start and leaves the
    // first one undisturbed.
    void secondZidireRefused() {
        QTemporaryDir home;
        ZidireProcess sameSocket(home.path());
        QVERIFY(!sameSocket.start({QStringLiteral("--socket"), m_zidire->socketPath()}));
        QCOMPARE(sameSocket.waitForExit(), 1);
        QVERIFY2(sameSocket.standardError().contains(
                     QStringLiteral("another zidire is already running")),
                 qPrintable(sameSocket.standardError()));

        ZidireProcess sameState(home.path());
        QVERIFY(!sameState.start({QStringLiteral("--state-dir"), m_zidire->stateDirectory()}));
        QCOMPARE(sameState.waitForExit(), 1);
        QVERIFY2(sameState.standardError().contains(
                     QStringLiteral("is already running with this state")),
                 qPrintable(sameState.standardError()));

        QVERIFY(m_zidire->client().status().listeners.size() == 3);
    }

    void corruptSecretsMovedAside() {
        QTemporaryDir home;
        ZidireProcess zidire(home.path());
        const QString secrets = zidire.stateDirectory() + QStringLiteral("/secrets.json");
        const QByteArray corrupt = "{\"device_password\": \"half a file";
        QFile file(secrets);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(corrupt);
        file.close();

        QVERIFY2(zidire.start(), qPrintable(zidire.standardError()));
        QVERIFY(!zidire.client().status().devicePasswordStored);
        const QStringList aside =
            QDir(zidire.stateDirectory()).entryList({QStringLiteral("secrets.json.corrupt-*")});
        QCOMPARE(aside.size(), 1);
        QCOMPARE(fileBytes(zidire.stateDirectory() + u'/' + aside.first()), corrupt);
        QVERIFY(zidire.client().fetchLog().contains(QStringLiteral("couldn't be read")));

        zidire.client().setDeviceUser(QStringLiteral("copier"), QStringLiteral("new"));
        QCOMPARE(fileBytes(zidire.stateDirectory() + u'/' + aside.first()), corrupt);
        QCOMPARE(zidire.stop(), 0);
    }

private:
    QTemporaryDir m_home;
    std::unique_ptr<ZidireProcess> m_zidire;
};

QTEST_GUILESS_MAIN(ZidireControlTest)
#include "tst_ZidireControl.moc"
