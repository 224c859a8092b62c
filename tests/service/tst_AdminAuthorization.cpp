#include "AdminAuthorization.h"
#include "ControlClient.h"
#include "FakeAuthorizationServices.h"
#include "LocalAuthorization.h"
#include "LocalRelay.h"
#include "RelayPaths.h"

#include <QTest>

using Script = FakeAuthorizationServices::Script;
Q_DECLARE_METATYPE(Script)

class AdminAuthorizationTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void asksForTheAdminRightAndKeepsTheExternalForm() {
        auto services = std::make_shared<FakeAuthorizationServices>();
        {
            const AdminAuthorization authorization(services);
            QCOMPARE(authorization.externalForm(), FakeAuthorizationServices::sampleExternalForm());
            QCOMPARE(services->referencesFreed(), 0);

            QCOMPARE(services->createFlags(), QList<AuthorizationFlags>{0});
            QCOMPARE(services->rightsRequests().size(), 1);
            const FakeAuthorizationServices::RightsRequest request =
                services->rightsRequests().constFirst();
            QCOMPARE(request.flags, AuthorizationFlags(0x13));
            QCOMPARE(request.items.size(), 1);
            QCOMPARE(request.items[0].name, "system.privilege.admin");
            QCOMPARE(request.items[0].valueLength, 0u);
            QCOMPARE(request.items[0].value, nullptr);
            QCOMPARE(request.items[0].flags, 0u);
        }
        QCOMPARE(services->referencesFreed(), 1);
        QCOMPARE(services->badFrees(), 0);
        QCOMPARE(services->freeFlags(), QList<AuthorizationFlags>{0});
    }

    void failuresAreReportedAndTheReferenceFreedOnce_data() {
        QTest::addColumn<Script>("script");
        QTest::addColumn<QString>("description");
        QTest::addColumn<int>("freed");
        QTest::newRow("create fails") << Script{.create = -60008, .createGivesReference = false}
                                      << "authorization failed (OSStatus -60008)" << 0;
        QTest::newRow("create gives no reference")
            << Script{.createGivesReference = false} << "authorization failed (OSStatus 0)" << 0;
        QTest::newRow("create fails, reference given")
            << Script{.create = -60008} << "authorization failed (OSStatus -60008)" << 1;
        QTest::newRow("canceled") << Script{.copyRights = -60006} << "authorization canceled" << 1;
        QTest::newRow("denied") << Script{.copyRights = -60005}
                                << "authorization failed (OSStatus -60005)" << 1;
        QTest::newRow("external form fails")
            << Script{.makeExternalForm = -60008} << "authorization failed (OSStatus -60008)" << 1;
    }

    void failuresAreReportedAndTheReferenceFreedOnce() {
        QFETCH(Script, script);
        QFETCH(QString, description);
        QFETCH(int, freed);
        auto services = std::make_shared<FakeAuthorizationServices>(script);
        try {
            const AdminAuthorization authorization(services);
            QFAIL("authorized");
        } catch (const AdminAuthorizationError& failure) {
            QCOMPARE(failure.description(), description);
            QCOMPARE(QString::fromUtf8(failure.what()), description);
            const bool canceled = script.copyRights == errAuthorizationCanceled;
            QCOMPARE(failure.kind(), canceled ? AdminAuthorizationError::Kind::canceled
                                              : AdminAuthorizationError::Kind::failed);
        }
        QCOMPARE(services->referencesFreed(), freed);
        QCOMPARE(services->badFrees(), 0);
    }

    // The whole road in local mode: a real zidire accepts the token the local backend minted.
    void localZidireAcceptsTheLocalToken() {
        LocalRelay relay;
        LocalServiceManager(relay.setup(), relay.loginItem())
            .daemonService(daemonPlistName)
            ->registerService();
        const ControlClient client(RelayPaths::controlSocket(RelayMode::local), 3);
        client.setDeviceUser("scanner", "copier pass 1");
        const AdminAuthorization authorization(
            std::make_shared<LocalAuthorization>(RelayPaths::authorityDirectory(RelayMode::local)));
        const ControlResponse response = client.send(devicePasswordRequest(authorization));
        QVERIFY2(response.ok, qPrintable(response.error.value_or("")));
        QCOMPARE(response.devicePassword, "copier pass 1");
    }
};

QTEST_GUILESS_MAIN(AdminAuthorizationTest)
#include "tst_AdminAuthorization.moc"
