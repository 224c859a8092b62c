#pragma once

// SIGTERM and SIGINT as an ordinary event: the signals are blocked and read from a signalfd by
// the event loop, so shutting down runs as normal code rather than inside a signal handler.

#include <QObject>

class QSocketNotifier;

namespace zidire {

class ShutdownSignals : public QObject {
    Q_OBJECT

public:
    // Blocks the signals in the calling thread. Call it first thing in main, before any thread
    // exists, so every later thread inherits the mask and none is interrupted by them.
    static void block();

    explicit ShutdownSignals(QObject* parent = nullptr); // throws std::runtime_error
    ~ShutdownSignals() override;

Q_SIGNALS:
    void received(const QString& signalName);

private:
    void readSignals();

    int m_fd;
    QSocketNotifier* m_notifier;
};

} // namespace zidire
