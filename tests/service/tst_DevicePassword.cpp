#include "AdminAuthorization.h"
#include "DevicePassword.h"
#include "FakeAuthorizationServices.h"
#include "FakeServiceManager.h"
#include "FakeZidire.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;

class DevicePasswordTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void reveal_data() {
        QTest::addColumn<OSStatus>("copyRights");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<std::optional<QString>>("password");
        QTest::addColumn<QString>("lastError");
        const QByteArray granted = R"({"ok":true,"device_password":"s3cret"})";
        QTest::newRow("granted") << errAuthorizationSuccess << granted
                                 << std::optional<QString>("s3cret") << "older failure";
        QTest::newRow("dialog canceled: silent")
            << errAuthorizationCanceled << granted << std::optional<QString>() << "older failure";
        QTest::newRow("denied")
            << errAuthorizationDenied << granted << std::optional<QString>()
            << "Couldn't show the device password: authorization failed (OSStatus -60005)";
        QTest::newRow("zidire refuses")
            << errAuthorizationSuccess
            << QByteArray(R"({"ok":false,"error":"administrator authorization required"})")
            << std::optional<QString>()
            << "Couldn't show the device password: administrator authorization required";
        QTest::newRow("no password in the answer")
            << errAuthorizationSuccess << QByteArray(R"({"ok":true})") << std::optional<QString>()
            << "Couldn't show the device password: zidire returned no password";
    }
    void reveal() {
        QFETCH(OSStatus, copyRights);
        QFETCH(QByteArray, reply);
        QFETCH(std::optional<QString>, password);
        QFETCH(QString, lastError);
        QTemporaryDir dir;
        FakeZidire zidire;
        zidire.setReply("GetDevicePassword", {reply});
        AppState state(std::make_shared<FakeServiceManager>(),
                       ControlClient(zidire.socketPath(), 3),
                       std::make_unique<Preferences>(dir.filePath("preferences.ini")),
                       {std::chrono::hours(1), 6000ms});
        state.setLastError(QString("older failure"));
        auto authorization = std::make_shared<FakeAuthorizationServices>(
            FakeAuthorizationServices::Script{.copyRights = copyRights});

        QCOMPARE(QCoro::waitFor(revealDevicePassword(state, authorization)), password);
        QCOMPARE(state.lastError().value_or(QString()), lastError);
        QCOMPARE(authorization->referencesFreed(), authorization->referencesCreated());
        if (copyRights == errAuthorizationSuccess) {
            const qsizetype sent = zidire.commands().indexOf("GetDevicePassword");
            QVERIFY(sent >= 0);
            const QJsonObject request = QJsonDocument::fromJson(zidire.requests()[sent]).object();
            QCOMPARE(QByteArray::fromBase64(request.value("authorization").toString().toLatin1()),
                     FakeAuthorizationServices::sampleExternalForm());
        }
    }
};

QTEST_GUILESS_MAIN(DevicePasswordTest)
#include "tst_DevicePassword.moc"
