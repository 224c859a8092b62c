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
Q_DECLARE_METATYPE(std::exception_ptr)

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
    void firstStartPollsAtOnce() {
        Fixture f;
        f.services->setDaemon({.status = ServiceStatus::enabled});
        f.zidire.setReply("GetStatus", {statusReplyJson(3)});
        auto state = f.makeState();

        QCOMPARE(state->showOnboarding(), true);
        QCOMPARE(state->showMenuBarIcon(), false);
        QCOMPARE(state->launchAtLogin(), false);
        QCOMPARE(state->daemonStatus(), ServiceStatus::notFound);
        QVERIFY(!state->controlStatus());

        // The service status is stored before the status request goes out.
        qsizetype requestsWhenStatusStored = -1;
        connect(state.get(), &AppState::daemonStatusChanged, this,
                [&] { requestsWhenStatusStored = f.zidire.requests().size(); });

        QVERIFY(firstRefreshDone(*state));
        QCOMPARE(requestsWhenStatusStored, 0);
        QCOMPARE(state->daemonStatus(), ServiceStatus::enabled);
        QCOMPARE(state->controlStatus(), sampleStatus(3));
        QCOMPARE(f.zidire.commands(), QStringList{"GetStatus"});
        QCOMPARE(f.services->calls(),
                 QStringList{"daemon net.brimlake.moxtrel.daemon.plist: status"});
    }

    void connectivityMessage_data() {
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
        row("rejected", ControlClientError::serverError("zidire returned no status"),
            "Can't reach zidire: zidire returned no status");
        row("undecodable", ControlDecodingError("couldn't read the response: not a JSON object"),
            "Can't reach zidire: couldn't read the response: not a JSON object");
        row("anything else", std::runtime_error("boom"), "Can't reach zidire: boom");
    }
    void connectivityMessage() {
        QFETCH(std::exception_ptr, error);
        QFETCH(QString, message);
        QCOMPARE(::connectivityMessage(error).value_or(QString()), message);
    }

    void successfulPollClearsOnlyTheConnectivityError() {
        Fixture f;
        f.zidire.setDefaultReply({"x"});
        auto state = f.makeState();
        QVERIFY(firstRefreshDone(*state));
        QVERIFY(state->connectivityError());
        state->setLastError(QString("Couldn't save the sender: no"));
        state->setInfoMessage(QString("Saved"));

        f.zidire.setDefaultReply({statusReplyJson()});
        QCoro::waitFor(state->refresh());
        QCOMPARE(state->connectivityError(), std::nullopt);
        QCOMPARE(state->controlStatus(), sampleStatus());
        QCOMPARE(state->lastError(), QString("Couldn't save the sender: no"));
        QCOMPARE(state->infoMessage(), QString("Saved"));
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

    void infoMessageLifetime_data() {
        QTest::addColumn<QString>("second");
        QTest::newRow("replaced") << "second text";
        QTest::newRow("same text again") << "first text";
    }
    // The message lives a full lifetime after its last assignment, whatever came before.
    void infoMessageLifetime() {
        QFETCH(QString, second);
        Fixture f;
        auto state = f.makeState({never, 300ms});
        QSignalSpy changes(state.get(), &AppState::infoMessageChanged);
        state->setInfoMessage(QString("first text"));
        QTest::qWait(200);
        QElapsedTimer sinceLast;
        sinceLast.start();
        state->setInfoMessage(second);
        QVERIFY(changes.wait(2000));
        QCOMPARE(state->infoMessage(), std::nullopt);
        QVERIFY2(sinceLast.elapsed() >= 300, qPrintable(QString::number(sinceLast.elapsed())));
        QCOMPARE(changes.size(), 3);
    }

    void clearingEarlyCancelsThePendingClear() {
        Fixture f;
        auto state = f.makeState({never, 100ms});
        QSignalSpy changes(state.get(), &AppState::infoMessageChanged);
        state->setInfoMessage(QString("Saved"));
        state->setInfoMessage(std::nullopt);
        state->setInfoMessage(QString("Saved"));
        state->setInfoMessage(QString("Other"));
        QVERIFY(changes.wait(2000));
        QCOMPARE(changes.size(), 5); // four assignments and one clear
        QVERIFY(!changes.wait(300));
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
        QCOMPARE(first->showMenuBarIcon(), false);

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
