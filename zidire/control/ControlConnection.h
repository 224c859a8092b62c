#pragma once

// One client of the control socket, from accept to close: is admitted (or not), reads one JSON
// object, hands the request on, writes the answer. Waits (for the admission, for bytes, or for
// room to write) only when it must, so a client that sends its whole request at once is answered
// without a round through the event loop.

#include "ControlServer.h"
#include "JsonObjectFramer.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class QSocketNotifier;
class QTimer;

namespace zidire {

class ControlConnection : public QObject {
    Q_OBJECT

public:
    using Finished = std::function<void(ControlConnection*)>;
    // Told nothing when the client may go on, or what a refused client is answered.
    using Admitted = std::function<void(const std::optional<QString>& refusal)>;
    // Decides about the client and calls `admitted` once, at once or later.
    using Admission = std::function<void(Admitted admitted)>;

    // Takes ownership of `socket`, a connected non-blocking descriptor.
    ControlConnection(int socket, const ControlServer::Handler& handler,
                      const ControlLimits& limits, QObject* parent);
    ~ControlConnection() override;

    // Reads what has arrived; a client that sent its whole request is answered right here. With
    // an `admission`, nothing is read before it has admitted the client, and a refused client
    // gets the refusal whatever it sends.
    void start(const Admission& admission = {});
    bool isFinished() const { return m_phase == Phase::done; }
    // Called when a connection that outlived start() has finished.
    void setFinished(Finished finished) { m_finished = std::move(finished); }

private:
    enum class Phase { admitting, reading, handling, writing, draining, done };

    void admissionDecided(const std::optional<QString>& refusal);
    void readAvailable();
    void dispatch(const QByteArray& object);
    // Answers a request that can't be carried out. When the client may still be sending, the
    // rest is read and dropped, so the client can take the answer instead of a reset connection.
    void refuse(const QString& problem, bool clientMayStillSend);
    void answer(const ControlResponse& response);
    void writePending();
    void drain();
    void timedOut();
    void finish();

    void waitForReadable();
    void waitForWritable();
    void armDeadline();

    int m_socket;
    const ControlServer::Handler& m_handler;
    const ControlLimits& m_limits;
    Finished m_finished;

    Phase m_phase = Phase::reading;
    JsonObjectFramer m_framer;
    QByteArray m_request;
    QByteArray m_answer;
    qsizetype m_answerWritten = 0;
    bool m_lingerUntilEndOfStream = false;

    QSocketNotifier* m_readNotifier = nullptr;
    QSocketNotifier* m_writeNotifier = nullptr;
    QTimer* m_deadline = nullptr;
};

} // namespace zidire
