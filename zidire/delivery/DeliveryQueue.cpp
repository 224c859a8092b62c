#include "DeliveryQueue.h"

#include "FailedFolder.h"
#include "RetrySchedule.h"
#include "fs/DurableFile.h"
#include "log/Log.h"
#include "log/LogText.h"

#include <QtConcurrent/QtConcurrentRun>

namespace zidire {

namespace {

QString describe(const Spool::Message& message) {
    return QStringLiteral("message %1 from <%2> to %3")
        .arg(message.id, logText(message.envelope.mailFrom),
             logText(message.envelope.recipients.join(QStringLiteral(", "))));
}

// During a long run of deliveries the files are deleted this often, beside the sends.
constexpr qsizetype purgeAfter = 200;

QString seconds(std::chrono::milliseconds delay) {
    return QString::number(std::chrono::duration<double>(delay).count());
}

} // namespace

DeliveryQueue::DeliveryQueue(Spool& spool, const FailedFolder& failed, const DeliveryTiming& timing,
                             Log& log, Hooks hooks, QObject* parent)
    : QObject(parent)
    , m_spool(spool)
    , m_failed(failed)
    , m_timing(timing)
    , m_log(log)
    , m_hooks(std::move(hooks)) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &DeliveryQueue::sendNext);
    m_purges.setMaxThreadCount(1);
}

DeliveryQueue::~DeliveryQueue() = default;

void DeliveryQueue::wake() {
    m_pendingStale = true;
    sendNext();
}

void DeliveryQueue::retryNow() {
    m_pendingStale = true;
    m_throttledUntil = QDeadlineTimer(0);
    for (Waiting& waiting : m_waiting)
        waiting.due = QDeadlineTimer(0);
    sendNext();
}

void DeliveryQueue::sendNext() {
    if (m_inFlight)
        return; // its end sends the next
    m_timer.stop();
    if (m_hooks.blocked())
        return;
    if (!m_throttledUntil.hasExpired())
        return waitUntil(m_throttledUntil);

    // Listing the spool costs more than a send; only new mail (wake) can add to it.
    if (m_pendingStale) {
        m_pending = m_spool.pending();
        m_pendingStale = false;
        for (auto it = m_waiting.begin(); it != m_waiting.end();)
            it = m_pending.contains(it.key()) ? std::next(it) : m_waiting.erase(it);
    }

    QDeadlineTimer earliest(QDeadlineTimer::Forever);
    for (const QString& id : std::as_const(m_pending)) {
        if (m_skipped.contains(id))
            continue;
        const QDeadlineTimer due = m_waiting.value(id).due;
        if (!due.hasExpired()) {
            earliest = std::min(earliest, due);
            continue;
        }
        try {
            return begin(read(id));
        } catch (const DurableFileError& error) {
            m_log.error(QStringLiteral("can't deliver message %1, left in the spool: %2")
                            .arg(id, error.message()));
            m_skipped.insert(id);
        }
    }
    // Nothing to send now: a good time to delete what was delivered.
    purgeDelivered();
    if (!earliest.isForever())
        waitUntil(earliest);
}

void DeliveryQueue::begin(const Spool::Message& message) {
    auto started = m_hooks.send(message, [this, message](const SendOutcome& outcome) {
        // Inside the attempt's own callback: it goes once this returns.
        m_inFlight.release()->deleteLater();
        if (outcome) {
            finished(message, outcome);
            return sendNext();
        }
        m_pending.removeOne(message.id);
        m_waiting.remove(message.id);
        m_hooks.reported(std::nullopt);
        // The next request goes out first; the log and the spool overlap its round trip.
        sendNext();
        delivered(message);
    });
    if (auto* attempt = std::get_if<std::unique_ptr<QObject>>(&started)) {
        m_inFlight = std::move(*attempt);
        readAhead(message.id);
        return;
    }
    // Refused before anything was sent. The next goes from the event loop, so that a long run
    // of such messages doesn't nest calls.
    finished(message, std::get<SendFailure>(started));
    m_timer.start(0);
}

Spool::Message DeliveryQueue::read(const QString& id) {
    if (m_readAhead && m_readAhead->id == id)
        return *std::exchange(m_readAhead, std::nullopt);
    return m_spool.read(id);
}

void DeliveryQueue::readAhead(const QString& inFlight) {
    m_readAhead.reset();
    const qsizetype position = m_pending.indexOf(inFlight);
    for (qsizetype i = position + 1; i < m_pending.size(); ++i) {
        const QString& id = m_pending[i];
        if (m_skipped.contains(id) || !m_waiting.value(id).due.hasExpired())
            continue;
        try {
            m_readAhead = m_spool.read(id);
        } catch (const DurableFileError&) {
            // Reported when it is its turn.
        }
        return;
    }
}

void DeliveryQueue::finished(const Spool::Message& message, const SendOutcome& outcome) {
    if (!outcome)
        delivered(message);
    else if (outcome->kind == SendFailure::Kind::permanent)
        moveToFailed(message, outcome->reason);
    else if (outcome->kind == SendFailure::Kind::transient)
        retryLater(message, *outcome);
    else
        m_log.error(QStringLiteral("stopped sending: %1").arg(outcome->reason));
}

void DeliveryQueue::delivered(const Spool::Message& message) {
    m_log.info(QStringLiteral("delivered %1 (%2 bytes)")
                   .arg(describe(message), QString::number(message.content.size())));
    try {
        m_spool.removeDelivered(message.id);
        // Once the queue is idle, or now and then during a long run.
        if (++m_unpurged >= purgeAfter || !m_inFlight)
            purgeDelivered();
    } catch (const DurableFileError& error) {
        m_log.error(QStringLiteral("delivered message %1 can't be removed from the spool and may "
                                   "be sent again after a restart: %2")
                        .arg(message.id, error.message()));
        m_skipped.insert(message.id);
    }
}

void DeliveryQueue::purgeDelivered() {
    if (m_unpurged == 0 || m_purge.isRunning())
        return;
    m_unpurged = 0;
    m_purge = QtConcurrent::run(&m_purges, [&spool = m_spool] {
                  spool.purgeDelivered();
              }).then(this, [this] {
        // More were delivered meanwhile; an idle queue has no other turn to purge.
        if (!m_inFlight)
            purgeDelivered();
    });
}

void DeliveryQueue::retryLater(const Spool::Message& message, const SendFailure& failure) {
    Waiting& waiting = m_waiting[message.id];
    ++waiting.failures;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (!waiting.firstFailure.isValid())
        waiting.firstFailure = now;
    const QDateTime arrival =
        message.envelope.receivedAt.isValid() ? message.envelope.receivedAt : waiting.firstFailure;
    if (isOverdue(arrival, now, m_timing))
        return moveToFailed(message, QStringLiteral("not sent after %1 attempts since %2; the "
                                                    "last one failed: %3")
                                         .arg(QString::number(waiting.failures),
                                              arrival.toString(Qt::ISODate), failure.reason));
    const std::chrono::milliseconds delay =
        retryDelay(waiting.failures, failure.retryAfter, m_timing);
    waiting.due = QDeadlineTimer(delay);
    if (failure.throttled || failure.retryAfter)
        m_throttledUntil = waiting.due;
    m_log.warning(QStringLiteral("%1 not sent, trying again in %2 s: %3")
                      .arg(describe(message), seconds(delay), failure.reason));
    m_hooks.reported(failure.reason);
}

void DeliveryQueue::moveToFailed(const Spool::Message& message, const QString& reason) {
    try {
        m_failed.keep(message, reason);
        m_spool.remove(message.id);
    } catch (const DurableFileError& error) {
        // Left in the spool, so nothing is lost; tried again at the longest back-off.
        m_log.error(QStringLiteral("%1 failed (%2) but can't be moved to %3: %4")
                        .arg(describe(message), reason, m_failed.directory(), error.message()));
        m_waiting[message.id].due = QDeadlineTimer(m_timing.longestRetry);
        m_hooks.reported(reason);
        return;
    }
    m_waiting.remove(message.id);
    m_pending.removeOne(message.id);
    m_log.error(QStringLiteral("%1 can't be delivered and was moved to %2: %3")
                    .arg(describe(message), m_failed.directory(), reason));
    m_hooks.reported(QStringLiteral("A message to %1 couldn't be sent and was moved to the failed "
                                    "folder: %2")
                         .arg(message.envelope.recipients.join(QStringLiteral(", ")), reason));
}

void DeliveryQueue::waitUntil(const QDeadlineTimer& deadline) {
    m_timer.start(std::chrono::milliseconds(std::max<qint64>(0, deadline.remainingTime())));
}

} // namespace zidire
