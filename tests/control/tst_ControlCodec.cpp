#include "ControlCodec.h"

#include <QTest>

namespace {

// A valid response with a status, `from` replaced by `to`.
QByteArray statusResponse(const char* from, const char* to) {
    return QByteArray(R"({"ok":true,"status":{"version":"v","provider":"","from_address":"",)"
                      R"("authenticated":false,"device_username":"d",)"
                      R"("device_password_stored":false,"spool_depth":2,"uptime_seconds":0,)"
                      R"("listeners":[{"address":"a:1","tls":"none"}]}})")
        .replace(from, to);
}

} // namespace

class ControlCodecTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Keys another writer may use; what this one writes is in the request bytes below.
    void snakeCaseKeysRead() {
        const std::pair<QString, QString> read[] = {{"LOG_TAIL", "logTail"},
                                                    {"log__tail", "logTail"},
                                                    {"_log_tail", "_logTail"},
                                                    {"_ok", "_ok"}};
        for (const auto& [key, field] : read)
            QCOMPARE(fromSnakeCase(key), field);
    }

    void requestBytes_data() {
        QTest::addColumn<ControlRequest>("request");
        QTest::addColumn<QByteArray>("bytes");
        const auto row = [](const char* name, const ControlRequest& request, const QString& json) {
            QTest::newRow(name) << request << json.toUtf8();
        };
        row("credentials without email",
            {.command = "SetCredentials", .provider = "gmail", .refreshToken = "1.x-token"},
            R"({"command":"SetCredentials","provider":"gmail","refresh_token":"1.x-token"})");
        row("nested device user",
            {.command = "SetConfig", .deviceUser = DeviceUserUpdate{"scan", "p\\w"}},
            R"({"command":"SetConfig","device_user":{"password":"p\\w","username":"scan"}})");
        row("non-ASCII as UTF-8", {.command = "TestSend", .to = QStringLiteral("zoë@example.com")},
            QStringLiteral(R"({"command":"TestSend","to":"zoë@example.com"})"));
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
        ControlStatus status{.version = "v", .deviceUsername = "d", .spoolDepth = 2};
        status.listeners = {{"a:1", "none", std::nullopt}};
        QTest::newRow("camel-case keys")
            << QByteArray(R"({"ok":true,"devicePassword":"pw","logTail":"t"})")
            << ControlResponse{.ok = true, .devicePassword = "pw", .logTail = "t"};
        QTest::newRow("status with extra and null members")
            << statusResponse(R"("listeners")", R"("last_error":null,"future":1,"listeners")")
            << ControlResponse{.ok = true, .status = status};
        QTest::newRow("integral seconds and fractional integer")
            << statusResponse(R"("spool_depth":2)", R"("spool_depth":2.0)")
            << ControlResponse{.ok = true, .status = status};
    }
    void lenientDecoding() {
        QFETCH(QByteArray, json);
        QFETCH(ControlResponse, expected);
        QCOMPARE(decodeControlResponse(json), expected);
    }

    void strictDecoding_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("mentions");
        const auto row = [](const char* name, const QByteArray& json, const char* mentions) {
            QTest::newRow(name) << json << QString(mentions);
        };
        row("not JSON", "hello", "valid JSON");
        row("array", "[true]", "JSON object");
        row("ok missing", R"({"error":"x"})", "\"ok\" is missing");
        row("ok null", R"({"ok":null})", "\"ok\" is missing");
        row("ok as number", R"({"ok":1})", "\"ok\" isn't a boolean");
        row("optional of wrong type", R"({"ok":true,"log_tail":5})", "\"log_tail\" isn't a string");
        row("listeners missing",
            statusResponse(R"(,"listeners":[{"address":"a:1","tls":"none"}])", ""),
            "\"status.listeners\" is missing");
        row("spool depth as string", statusResponse(R"("spool_depth":2)", R"("spool_depth":"2")"),
            "\"status.spool_depth\" isn't a 64-bit integer");
        row("fractional integer", statusResponse(R"("spool_depth":2)", R"("spool_depth":2.5)"),
            "isn't a 64-bit integer");
        row("listener member wrong", statusResponse(R"("tls":"none")", R"("tls":false)"),
            "\"status.listeners[0].tls\" isn't a string");
        row("ok false does not rescue a bad status",
            statusResponse(R"("ok":true)", R"("ok":false)")
                .replace(R"("version":"v")", R"("version":7)"),
            "\"status.version\" isn't a string");
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
