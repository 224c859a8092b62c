#pragma once

// One application per user, as the Dock gives on the Mac: a second start hands over to the running
// one, which reopens its main window, and then ends. The running instance owns its well-known name
// on the session bus and serves org.freedesktop.Application there; without a session bus it
// listens on a Unix socket in the user's runtime directory instead.

#include <QDBusConnection>
#include <QLocalServer>
#include <QObject>
#include <QString>

#include <memory>

class SingleInstance : public QObject {
    Q_OBJECT

public:
    // `busName` is also the application id ("net.brimlake.Moxtrel"); its object path follows the
    // freedesktop conventions (/net/brimlake/Moxtrel).
    explicit SingleInstance(const QString& busName, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this process is the one that runs; false when another one already did and has
    // been asked to reopen its window (this process should then end).
    bool isPrimary() const { return m_primary; }

Q_SIGNALS:
    // A later start asked this instance to show itself.
    void reopenRequested();

private:
    bool claimOnSessionBus(const QString& busName);
    bool claimLocalSocket(const QString& busName);

    bool m_primary = false;
    QString m_objectPath;
    std::unique_ptr<QLocalServer> m_localServer;
};
