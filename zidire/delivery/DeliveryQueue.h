#pragma once

// The loop over the spool: oldest due message first, one in flight at a time (the providers
// throttle per mailbox), removed from the spool only once the provider accepted it. Passing
// failures wait with growing back-off; a throttling provider pauses the whole queue; refusals
// and messages that waited too long go to the failed folder.

#include "DeliveryTiming.h"
#include "SendFailure.h"
#include "spool/Spool.h"

#include <QDeadlineTimer>
#include <QFuture>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QThreadPool>
#include <QTimer>

#include <functional>
#include <memory>
#include <variant>

namespace zidire {

class FailedFolder;
class Log;

class DeliveryQueue : public QObject {
    Q_OBJECT

public:
    using Done = std::function<void(const SendOutcome&)>;

    struct Hooks {
        // Why nothing can be sent now (not signed in, sign-in expired), or nothing when sending
        // may go on. The queue waits for wake() after such a pause.
        std::function<std::optional<QString>()> blocked;
        // Starts sending one message; the object cancels the send when destroyed. Or the reason
        // the message can't be sent at all.
        std::function<std::variant<std::unique_ptr<QObject>, SendFailure>(const Spool::Message&,
                                                                          Done)>
            send;
        // After every attempt: nothing when it succeeded, else what the user is told.
        std::function<void(const std::optional<QString>& failure)> reported;
    };

    DeliveryQueue(Spool& spool, const FailedFolder& failed, const DeliveryTiming& timing, Log& log,
                  Hooks hooks, QObject* parent = nullptr);
    ~DeliveryQueue() override;

    // New mail, new credentials: send what is due.
    void wake();
    // Every waiting message is due now, throttling or not.
    void retryNow();

private:
    struct Waiting {
        int failures = 0;
        QDeadlineTimer due{0};
        QDateTime firstFailure; // counts as arrival when the envelope has no time
    };

    void sendNext();
    void begin(const Spool::Message& message);
    Spool::Message read(const QString& id); // throws DurableFileError
    void readAhead(const QString& inFlight);
    void finished(const Spool::Message& message, const SendOutcome& outcome);
    void delivered(const Spool::Message& message);
    // Deletes delivered messages' files on a worker thread: slow on some disks.
    void purgeDelivered();
    void retryLater(const Spool::Message& message, const SendFailure& failure);
    void moveToFailed(const Spool::Message& message, const QString& reason);
    void waitUntil(const QDeadlineTimer& deadline);

    Spool& m_spool;
    const FailedFolder& m_failed;
    const DeliveryTiming& m_timing;
    Log& m_log;
    Hooks m_hooks;

    QStringList m_pending; // the spool's messages, oldest first, as last listed
    bool m_pendingStale = true;
    QHash<QString, Waiting> m_waiting;
    // Files that can't be read, or delivered ones that can't be removed: not tried again in this
    // run (after a restart they are, which sends a delivered one twice rather than never).
    QSet<QString> m_skipped;
    QDeadlineTimer m_throttledUntil{0};
    std::unique_ptr<QObject> m_inFlight;
    // The message after the one in flight: reading it takes about as long as a request to the
    // provider, so it is read while the provider answers.
    std::optional<Spool::Message> m_readAhead;
    QTimer m_timer;
    qsizetype m_unpurged = 1; // delivered since the last purge; a previous run may have left some
    QFuture<void> m_purge;
    QThreadPool m_purges; // destroyed first, waiting for a purge under way
};

} // namespace zidire
