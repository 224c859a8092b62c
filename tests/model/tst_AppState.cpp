#include "AppState.h"
#include "BackgroundWork.h"
#include "ConnectivityMessage.h"
#include "FakeServiceManager.h"
#include "FakeZidire.h"

#include <QElapsedTimer>
#include <QMetaProperty>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;

namespace {

constexpr auto never = std::chrono::milliseconds(std::chrono::hours(1));

struct Fixture {
    QTemporaryDir dir;
    FakeZidire zidire;
    std::shared_ptr<FakeServiceManager> services = std::make_shared<FakeServiceManager>();

    QString preferencesPath() const { return dir.filePath("preferences.ini"); }

    std::unique_ptr<AppState> makeState(AppState::Timing timing = {never, 6000ms},
                                        QString socketPath = {}) {
        if (socketPath.isEmpty())
            socketPath = zidire.socketPath();
        return std::make_unique<AppState>(AppState::Platform{services, nullptr},
                                          ControlClient(socketPath, 3),
                                          std::make_unique<Preferences>(preferencesPath()), timing);
    }
};

// Waits for the refresh that construction started to write its last field.
bool firstRefreshDone(AppState& state) {
    QSignalSpy written(&state, &AppState::connectivityErrorChanged);
    return written.wait(5000);
}

} // namespace

class AppStateTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The first poll goes out at once; a later good one clears what a bad one reported.
    void pollsAtOnceAndRecovers() {
        Fixture f;
        f.services->setDaemon({.status = ServiceStatus::enabled});
        f.zidire.setDefaultReply({"x"});
        auto state = f.makeState();

        QCOMPARE(state->showOnboarding(), true);
        QCOMPARE(state->showMenuBarIcon(), false);
        QCOMPARE(state->launchAtLogin(), false);
        QCOMPARE(state->daemonStatus(), ServiceStatus::notFound);

        // The service status is stored before the status request goes out.
        qsizetype requestsWhenStatusStored = -1;
        connect(state.get(), &AppState::daemonStatusChanged, this,
                [&] { requestsWhenStatusStored = f.zidire.requests().size(); });

        QVERIFY(firstRefreshDone(*state));
        QCOMPARE(requestsWhenStatusStored, 0);
        QCOMPARE(state->daemonStatus(), ServiceStatus::enabled);
        QCOMPARE(state->controlStatus(), std::nullopt);
        QVERIFY(state->connectivityError());

        f.zidire.setDefaultReply({statusReplyJson(3)});
        QCoro::waitFor(state->refresh());
        QCOMPARE(state->connectivityError(), std::nullopt);
        QCOMPARE(state->controlStatus(), sampleStatus(3));
        QCOMPARE(f.zidire.commands(), (QStringList{"GetStatus", "GetStatus"}));
    }

    // The status window's tests already see a relay that isn't running and one that answers
    // garbage; these are the messages they can't provoke.
    void connectivityMessage() {
        QCOMPARE(
            ::connectivityMessage(std::make_exception_ptr(ControlClientError::permissionDenied())),
            "The background service is running but denied this app access to its control "
            "socket. It's probably an older zidire version — reinstall the service (Uninstall, "
            "then Install) to update it.");
        QCOMPARE(::connectivityMessage(std::make_exception_ptr(
                     ControlClientError::ioFailed("Resource temporarily unavailable"))),
                 "Can't reach zidire: control socket I/O failed: Resource temporarily unavailable");
    }

    // Closing the application must not wait for zidire, nor write into a model that is gone.
    void modelDestroyedDuringARefresh() {
        Fixture f;
        f.zidire.setDefaultReply({statusReplyJson(), FakeZidire::Mode::answer, 300ms});
        auto state = f.makeState();
        QTRY_COMPARE(f.zidire.requests().size(), 1);
        state.reset();
        // The answer arrives and its coroutine resumes, finding no model to write to.
        QTRY_COMPARE(f.zidire.connectionsServed(), 1);
        backgroundPool(BackgroundPriority::utility).waitForDone();
        QCoreApplication::processEvents();
    }

    // A poll that takes longer than the interval does not hold up the next one.
    void slowPollsOverlap() {
        Fixture f;
        f.zidire.setDefaultReply({statusReplyJson(), FakeZidire::Mode::answer, 400ms});
        auto state = f.makeState({30ms, 6000ms});
        QTRY_VERIFY_WITH_TIMEOUT(f.zidire.mostConnectionsAtOnce() >= 2, 5000);
    }

    // The message lives a full lifetime after its last assignment, even of the same text.
    void infoMessageLifetime() {
        Fixture f;
        auto state = f.makeState({never, 300ms});
        QSignalSpy changes(state.get(), &AppState::infoMessageChanged);
        state->setInfoMessage(QString("text"));
        QTest::qWait(200);
        QElapsedTimer sinceLast;
        sinceLast.start();
        state->setInfoMessage(QString("text"));
        QVERIFY(changes.wait(2000));
        QCOMPARE(state->infoMessage(), std::nullopt);
        QVERIFY2(sinceLast.elapsed() >= 300, qPrintable(QString::number(sinceLast.elapsed())));
        QCOMPARE(changes.size(), 3);
    }

    void preferencesPersist() {
        Fixture f;
        {
            QSettings stored(f.preferencesPath(), QSettings::IniFormat);
            stored.setValue("onboardingCompleted", true);
            stored.setValue("launchAtLogin", true);
        }
        auto first = f.makeState();
        QCOMPARE(first->showOnboarding(), false);
        QCOMPARE(first->launchAtLogin(), true);

        first->setShowMenuBarIcon(true);
        QCOMPARE(QSettings(f.preferencesPath(), QSettings::IniFormat).value("showMenuBarIcon"),
                 QVariant(true));
        QCOMPARE(f.makeState()->showMenuBarIcon(), true);
    }

    // Views redraw on every assignment, so an unchanged value must notify too.
    void everyAssignmentNotifies() {
        Fixture f;
        auto state = f.makeState();
        QVERIFY(firstRefreshDone(*state));
        const QMetaObject* meta = state->metaObject();
        for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
            const QMetaProperty property = meta->property(i);
            if (!property.isWritable())
                continue;
            QSignalSpy notified(state.get(), property.notifySignal());
            const QVariant value = property.read(state.get());
            QVERIFY(property.write(state.get(), value));
            QVERIFY(property.write(state.get(), value));
            QVERIFY2(notified.size() == 2, property.name());
        }
    }
};

QTEST_GUILESS_MAIN(AppStateTest)
#include "tst_AppState.moc"
