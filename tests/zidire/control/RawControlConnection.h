#pragma once

// A control-socket client that does what ControlClient never does: sends a request in pieces,
// pauses, stays silent, and looks at the answer's raw bytes.

#include <QByteArray>
#include <QString>

class RawControlConnection {
public:
    explicit RawControlConnection(const QString& socketPath);
    ~RawControlConnection();
    RawControlConnection(const RawControlConnection&) = delete;
    RawControlConnection& operator=(const RawControlConnection&) = delete;

    bool isConnected() const { return m_fd >= 0; }
    bool send(const QByteArray& bytes);
    // Whether zidire has written or closed within `timeoutMs`.
    bool answersWithin(int timeoutMs);
    // Everything zidire writes until it closes; empty when it doesn't close within the limit.
    QByteArray readToEnd(int timeoutMs = 20'000);

private:
    int m_fd = -1;
};
