#pragma once

// systemd's D-Bus manager for tests, on a private message bus: nothing touches the machine's own
// buses or services.

#include <QDBusConnection>
#include <QHash>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <mutex>

// A dbus-daemon of its own, with a configuration in a temporary directory, stopped on destruction.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Empty when the bus did not start; `failure()` says why.
    QString address() const { return m_address; }
    QString failure() const { return m_failure; }

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
    QString m_failure;
};

// org.freedesktop.systemd1's manager object: records every call and answers the ones service
// management makes from unit-file states the test sets. Calls are answered on the bus's own
// thread, so callers may block on them from any thread.
class FakeSystemd {
public:
    // Owns org.freedesktop.systemd1 on the bus at `busAddress`.
    explicit FakeSystemd(const QString& busAddress);
    ~FakeSystemd();
    FakeSystemd(const FakeSystemd&) = delete;
    FakeSystemd& operator=(const FakeSystemd&) = delete;

    // Whether it owns the name and answers.
    bool isServing() const { return m_serving; }

    // A unit file's state as GetUnitFileState reports it; units never set have no unit file.
    void setUnitFileState(const QString& unit, const QString& state);
    QString unitFileState(const QString& unit) const;
    // Every later call of `method` is answered with this D-Bus error.
    void failMethod(const QString& method, const QString& errorName, const QString& message);

    // "EnableUnitFiles([a.service], false, true) interactive": each call with its arguments, and
    // whether it allowed polkit to ask for a password.
    QStringList calls() const;

    struct State {
        mutable std::mutex mutex;
        QHash<QString, QString> unitFileStates;
        QHash<QString, std::pair<QString, QString>> failures;
        QStringList calls;
    };

private:
    QString m_connectionName;
    bool m_serving = false;
    std::shared_ptr<State> m_state = std::make_shared<State>();
    std::unique_ptr<class FakeSystemdObject> m_object;
};
