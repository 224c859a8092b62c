#pragma once

// The model as the windows see it: a real AppState over a fake zidire and fake service management
// in a temporary directory, with its first poll done and no further one during a test.

#include "AppState.h"
#include "FakeServiceManager.h"
#include "FakeZidire.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

struct TestModel {
    QTemporaryDir dir;
    FakeZidire zidire;
    std::shared_ptr<FakeServiceManager> services = std::make_shared<FakeServiceManager>();
    std::unique_ptr<AppState> state;

    // zidire answers GetStatus with `status` and other commands with `otherReply`; with neither,
    // nothing listens on its socket.
    explicit TestModel(const std::optional<ControlStatus>& status = std::nullopt,
                       ServiceStatus daemon = ServiceStatus::enabled,
                       const QByteArray& otherReply = {},
                       std::shared_ptr<AuthorizationServices> authorization = nullptr) {
        services->setDaemon({daemon});
        if (status)
            zidire.setReply("GetStatus", {encodeControlResponse({.ok = true, .status = status})});
        if (!otherReply.isEmpty())
            zidire.setDefaultReply({otherReply});
        const bool running = status || !otherReply.isEmpty();
        state = std::make_unique<AppState>(
            AppState::Platform{services, std::move(authorization)},
            ControlClient(running ? zidire.socketPath() : dir.filePath("stopped.sock"), 3),
            std::make_unique<Preferences>(dir.filePath("preferences.ini")),
            AppState::Timing{std::chrono::hours(1), std::chrono::seconds(6)});
        // Every refresh ends with the connectivity error, even an unchanged one.
        QSignalSpy polled(state.get(), &AppState::connectivityErrorChanged);
        QVERIFY(polled.wait(5000));
    }
};

inline ControlStatus statusWith(const std::function<void(ControlStatus&)>& change) {
    ControlStatus status = sampleStatus();
    change(status);
    return status;
}
