#include "ConnectivityMessage.h"
#include "ControlClientError.h"
#include "ControlCodec.h"

#include <QTest>

Q_DECLARE_METATYPE(std::exception_ptr)

class ConnectivityMessageTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void message_data() {
        QTest::addColumn<std::exception_ptr>("error");
        QTest::addColumn<QString>("message");
        auto row = [](const char* name, auto error, const char* message) {
            QTest::newRow(name) << std::make_exception_ptr(error) << QString::fromUtf8(message);
        };
        row("not running", ControlClientError::notRunning(), "");
        row("permission denied", ControlClientError::permissionDenied(),
            "The background service is running but denied this app access to its control "
            "socket. It's probably an older zidire version — reinstall the service (Uninstall, "
            "then Install) to update it.");
        row("time-out", ControlClientError::ioFailed("Resource temporarily unavailable"),
            "Can't reach zidire: control socket I/O failed: Resource temporarily unavailable");
        row("path too long", ControlClientError::pathTooLong(),
            "Can't reach zidire: control socket path is too long");
        row("rejected", ControlClientError::serverError("zidire returned no status"),
            "Can't reach zidire: zidire returned no status");
        row("undecodable", ControlDecodingError("couldn't read the response: not a JSON object"),
            "Can't reach zidire: couldn't read the response: not a JSON object");
        row("anything else", std::runtime_error("boom"), "Can't reach zidire: boom");
    }
    void message() {
        QFETCH(std::exception_ptr, error);
        QFETCH(QString, message);
        QCOMPARE(connectivityMessage(error).value_or(QString()), message);
    }
};

QTEST_GUILESS_MAIN(ConnectivityMessageTest)
#include "tst_ConnectivityMessage.moc"
