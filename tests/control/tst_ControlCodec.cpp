#include "ControlCodec.h"

#include <QTest>

class ControlCodecTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void keyConversion_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("key");
        QTest::newRow("single word") << "command"
                                     << "command";
        QTest::newRow("two words") << "refreshToken"
                                   << "refresh_token";
        QTest::newRow("three words") << "devicePasswordStored"
                                     << "device_password_stored";
        QTest::newRow("digits stay") << "m365"
                                     << "m365";
        QTest::newRow("trailing capitals") << "lastErrorAgeSeconds"
                                           << "last_error_age_seconds";
    }
    void keyConversion() {
        QFETCH(QString, field);
        QFETCH(QString, key);
        QCOMPARE(toSnakeCase(field), key);
        QCOMPARE(fromSnakeCase(key), field);
    }

    void snakeKeysReadAsWritten_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("name");
        QTest::newRow("camel case unchanged") << "logTail"
                                              << "logTail";
        QTest::newRow("upper-case words lowered") << "LOG_TAIL"
                                                  << "logTail";
        QTest::newRow("double underscore") << "log__tail"
                                           << "logTail";
        QTest::newRow("leading underscore kept") << "_log_tail"
                                                 << "_logTail";
        QTest::newRow("lone underscore word") << "_ok"
                                              << "_ok";
    }
    void snakeKeysReadAsWritten() {
        QFETCH(QString, key);
        QFETCH(QString, name);
        QCOMPARE(fromSnakeCase(key), name);
    }

    void requestBytes_data() {
        QTest::addColumn<ControlRequest>("request");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("RetryNow") << ControlRequest{.command = "RetryNow"}
                                  << QByteArray(R"({"command":"RetryNow"})");
        QTest::newRow("listen on all addresses")
            << ControlRequest{.command = "SetConfig", .listenHost = "0.0.0.0"}
            << QByteArray(R"({"command":"SetConfig","listen_host":"0.0.0.0"})");
        QTest::newRow("credentials without email")
            << ControlRequest{.command = "SetCredentials",
                              .provider = "gmail",
                              .refreshToken = "1.x-token"}
            << QByteArray(
                   R"({"command":"SetCredentials","provider":"gmail","refresh_token":"1.x-token"})");
        QTest::newRow("nested device user")
            << ControlRequest{.command = "SetConfig",
                              .deviceUser = DeviceUserUpdate{"scan", "p\\w"}}
            << QByteArray(
                   R"({"command":"SetConfig","device_user":{"password":"p\\w","username":"scan"}})");
        QTest::newRow("microsoft client")
            << ControlRequest{.command = "SetConfig",
                              .oauth = OAuthUpdate{.m365 = AzureAppUpdate{"id", "", "common"}}}
            << QByteArray(R"({"command":"SetConfig","oauth":{"m365":{"client_id":"id",)"
                          R"("client_secret":"","tenant_id":"common"}}})");
        QTest::newRow("non-ASCII as UTF-8")
            << ControlRequest{.command = "TestSend", .to = QStringLiteral("zoë@example.com")}
            << QStringLiteral(R"({"command":"TestSend","to":"zoë@example.com"})").toUtf8();
    }
    void requestBytes() {
        QFETCH(ControlRequest, request);
        QFETCH(QByteArray, bytes);
        QCOMPARE(encodeControlRequest(request), bytes);
        QCOMPARE(decodeControlRequest(bytes), request);
    }

    void statusRoundTrip() {
        const ControlResponse response{
            .ok = true,
            .status = ControlStatus{.version = "1.0",
                                    .provider = "m365",
                                    .fromAddress = "scan@example.com",
                                    .authenticated = true,
                                    .deviceUsername = "copier",
                                    .devicePasswordStored = true,
                                    .spoolDepth = std::numeric_limits<qint64>::max(),
                                    .uptimeSeconds = 12.5,
                                    .lastErrorAgeSeconds = 3,
                                    .listeners = {{"0.0.0.0:25", "none", std::nullopt},
                                                  {"0.0.0.0:587", "starttls", "in use"}}}};
        const QByteArray bytes = encodeControlResponse(response);
        QVERIFY(!bytes.contains("null"));
        QVERIFY(!bytes.contains("last_error\""));
        QCOMPARE(decodeControlResponse(bytes), response);
    }

    void lenientDecoding_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<ControlResponse>("expected");
        const ControlStatus status{.version = "v", .deviceUsername = "d", .spoolDepth = 2};
        const QByteArray statusJson =
            R"({"version":"v","provider":"","from_address":"","authenticated":false,)"
            R"("device_username":"d","device_password_stored":false,"spool_depth":2,)"
            R"("uptime_seconds":0,"listeners":[])";
        QTest::newRow("ok alone") << QByteArray(R"({"ok":true})") << ControlResponse{.ok = true};
        QTest::newRow("surrounding whitespace") << QByteArray(" {\"ok\":false,\"error\":\"no\"}\n")
                                                << ControlResponse{.ok = false, .error = "no"};
        QTest::newRow("unknown keys ignored")
            << QByteArray(R"({"ok":true,"extra":{"a":[1]},"log_tail":"t"})")
            << ControlResponse{.ok = true, .logTail = "t"};
        QTest::newRow("null optional is absent")
            << QByteArray(R"({"ok":true,"error":null,"device_password":null})")
            << ControlResponse{.ok = true};
        QTest::newRow("camel-case keys")
            << QByteArray(R"({"ok":true,"devicePassword":"pw","logTail":"t"})")
            << ControlResponse{.ok = true, .devicePassword = "pw", .logTail = "t"};
        QTest::newRow("status with extra and null members")
            << statusJson + R"(,"last_error":null,"future":1}})"
            << ControlResponse{.ok = true, .status = status};
        QTest::newRow("integral seconds and fractional integer")
            << QByteArray(statusJson).replace(R"("spool_depth":2)", R"("spool_depth":2.0)") + "}}"
            << ControlResponse{.ok = true, .status = status};
    }
    void lenientDecoding() {
        QFETCH(QByteArray, json);
        QFETCH(ControlResponse, expected);
        if (json.startsWith("{\"version\""))
            json = "{\"ok\":true,\"status\":" + json;
        QCOMPARE(decodeControlResponse(json), expected);
    }

    void strictDecoding_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("mentions");
        const QByteArray status =
            R"({"ok":true,"status":{"version":"v","provider":"","from_address":"",)"
            R"("authenticated":false,"device_username":"d","device_password_stored":false,)"
            R"("spool_depth":2,"uptime_seconds":0,"listeners":[{"address":"a:1","tls":"none"}]}})";
        QTest::newRow("not JSON") << QByteArray("hello") << "valid JSON";
        QTest::newRow("truncated") << QByteArray(R"({"ok":tr)") << "valid JSON";
        QTest::newRow("array") << QByteArray("[true]") << "JSON object";
        QTest::newRow("ok missing") << QByteArray(R"({"error":"x"})") << "\"ok\" is missing";
        QTest::newRow("ok null") << QByteArray(R"({"ok":null})") << "\"ok\" is missing";
        QTest::newRow("ok as number") << QByteArray(R"({"ok":1})") << "\"ok\" isn't a boolean";
        QTest::newRow("optional of wrong type")
            << QByteArray(R"({"ok":true,"log_tail":5})") << "\"log_tail\" isn't a string";
        QTest::newRow("listeners missing")
            << QByteArray(status).replace(R"(,"listeners":[{"address":"a:1","tls":"none"}])", "")
            << "\"status.listeners\" is missing";
        QTest::newRow("spool depth as string")
            << QByteArray(status).replace(R"("spool_depth":2)", R"("spool_depth":"2")")
            << "\"status.spool_depth\" isn't a 64-bit integer";
        QTest::newRow("fractional integer")
            << QByteArray(status).replace(R"("spool_depth":2)", R"("spool_depth":2.5)")
            << "isn't a 64-bit integer";
        QTest::newRow("integer beyond 64 bits")
            << QByteArray(status).replace(R"("spool_depth":2)", R"("spool_depth":1e19)")
            << "isn't a 64-bit integer";
        QTest::newRow("listener member wrong")
            << QByteArray(status).replace(R"("tls":"none")", R"("tls":false)")
            << "\"status.listeners[0].tls\" isn't a string";
        QTest::newRow("ok false does not rescue a bad status")
            << QByteArray(status)
                   .replace(R"("ok":true)", R"("ok":false)")
                   .replace(R"("version":"v")", R"("version":7)")
            << "\"status.version\" isn't a string";
    }
    void strictDecoding() {
        QFETCH(QByteArray, json);
        QFETCH(QString, mentions);
        try {
            decodeControlResponse(json);
            QFAIL("decoded a response that must be rejected");
        } catch (const ControlDecodingError& error) {
            QVERIFY2(error.description().contains(mentions), qPrintable(error.description()));
            QVERIFY(error.description().startsWith("couldn't read the response: "));
        }
    }
};

QTEST_GUILESS_MAIN(ControlCodecTest)
#include "tst_ControlCodec.moc"
