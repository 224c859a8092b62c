#include "SmtpSubmission.h"

namespace {
constexpr int timeoutMs = 10000;
}

SmtpSubmission::SmtpSubmission(quint16 port, QByteArray username, QByteArray password)
    : m_login('\0' + username + '\0' + password) {
    m_socket.connectToHost(QHostAddress::LocalHost, port);
    m_socket.waitForConnected(timeoutMs);
    m_last = reply();
}

QByteArray SmtpSubmission::send(const QByteArray& mailFrom, const QStringList& recipients,
                                const QByteArray& content) {
    for (const QByteArray& line :
         {QByteArray("EHLO copier.test"), "AUTH PLAIN " + m_login.toBase64(), mailFrom})
        if (!command(line, '2'))
            return m_last;
    for (const QString& recipient : recipients)
        if (!command("RCPT TO:<" + recipient.toUtf8() + '>', '2'))
            return m_last;
    if (!command("DATA", '3'))
        return m_last;
    QByteArray stuffed = '\n' + content;
    stuffed.replace("\n.", "\n..");
    command(stuffed.mid(1) + ".", '2');
    m_answeredAt = std::chrono::steady_clock::now();
    const QByteArray answer = m_last;
    command("QUIT", '2');
    return answer;
}

bool SmtpSubmission::command(const QByteArray& line, char expected) {
    m_socket.write(line + "\r\n");
    m_last = reply();
    return m_last.startsWith(expected);
}

// A whole reply, continuation lines included.
QByteArray SmtpSubmission::reply() {
    QByteArray all;
    while (m_socket.state() == QAbstractSocket::ConnectedState || m_socket.bytesAvailable()) {
        if (!m_socket.canReadLine() && !m_socket.waitForReadyRead(timeoutMs))
            break;
        while (m_socket.canReadLine()) {
            const QByteArray line = m_socket.readLine();
            all += line;
            if (line.size() < 4 || line[3] != '-')
                return all.trimmed();
        }
    }
    return all.trimmed();
}
