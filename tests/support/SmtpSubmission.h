#pragma once

// A copier's side of one SMTP submission, blocking, over the plain port with AUTH PLAIN. Usable
// from a thread without an event loop (benchmarks) as from a test's own thread.

#include <QByteArray>
#include <QStringList>
#include <QTcpSocket>

#include <chrono>

class SmtpSubmission {
public:
    SmtpSubmission(quint16 port, QByteArray username, QByteArray password);

    // MAIL (`mailFrom` is the whole command, parameters included), RCPT for each recipient, DATA
    // with `content` dot-stuffed, QUIT. Returns the answer to the end of DATA, or the first
    // refusal before it.
    QByteArray send(const QByteArray& mailFrom, const QStringList& recipients,
                    const QByteArray& content);

    // When the answer to the end of DATA arrived.
    std::chrono::steady_clock::time_point answeredAt() const { return m_answeredAt; }

private:
    bool command(const QByteArray& line, char expected);
    QByteArray reply();

    QTcpSocket m_socket;
    QByteArray m_login;
    QByteArray m_last;
    std::chrono::steady_clock::time_point m_answeredAt;
};
