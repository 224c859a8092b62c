#include "ZidireProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpServer>

#include <csignal>

// Under sanitizers and on a busy machine the first start (certificate generation) takes a while.
static constexpr int startTimeoutMs = 60'000;

ZidireProcess::ZidireProcess(const QString& home)
    : m_home(home) {
    QTcpServer servers[3];
    for (int i = 0; i < 3; ++i)
        m_ports[i] = servers[i].listen(QHostAddress::LocalHost, 0) ? servers[i].serverPort() : 0;
    QDir().mkpath(stateDirectory());
    QDir().mkpath(authorityDirectory());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"INVOCATION_ID", "JOURNAL_STREAM", "MOXTREL_CONTROL_SOCKET",
                             "ZIDIRE_MICROSOFT_LOGIN_BASE", "ZIDIRE_GRAPH_BASE",
                             "ZIDIRE_GOOGLE_TOKEN_URL", "ZIDIRE_GMAIL_BASE"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home + QStringLiteral("/runtime"));
    environment.insert(QStringLiteral("XDG_STATE_HOME"), m_home + QStringLiteral("/xdg-state"));
    environment.insert(QStringLiteral("MOXTREL_AUTHORITY_DIR"), authorityDirectory());
    m_process.setProcessEnvironment(environment);
    m_process.setProgram(QStringLiteral(ZIDIRE_EXECUTABLE));
    QObject::connect(&m_process, &QProcess::readyReadStandardError,
                     [this] { m_standardError += m_process.readAllStandardError(); });
    // The providers on a closed loopback port: no test reaches a real one by accident.
    writeSettings(
        R"({"listen_host":"127.0.0.1","ZIDIRE_MICROSOFT_LOGIN_BASE":"http://127.0.0.1:9",)"
        R"("ZIDIRE_GRAPH_BASE":"http://127.0.0.1:9",)"
        R"("ZIDIRE_GOOGLE_TOKEN_URL":"http://127.0.0.1:9/token",)"
        R"("ZIDIRE_GMAIL_BASE":"http://127.0.0.1:9"})");
}

ZidireProcess::~ZidireProcess() {
    if (m_process.state() != QProcess::NotRunning)
        stop(SIGKILL);
}

void ZidireProcess::writeSettings(const QByteArray& json) const {
    QFile file(stateDirectory() + QStringLiteral("/settings.json"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(json);
}

bool ZidireProcess::start(const QStringList& extraArguments) {
    m_standardError.clear();
    const QString ports =
        QStringLiteral("%1,%2,%3").arg(m_ports[0]).arg(m_ports[1]).arg(m_ports[2]);
    m_process.setArguments(QStringList{QStringLiteral("--user"), QStringLiteral("--socket"),
                                       socketPath(), QStringLiteral("--state-dir"),
                                       stateDirectory(), QStringLiteral("--smtp-ports"), ports} +
                           extraArguments);
    m_process.start();
    for (const QDeadlineTimer deadline(startTimeoutMs); !deadline.hasExpired();) {
        if (m_standardError.contains(" running in local mode")) {
            // From here on the log file has it all. Left unread, the pipe would fill up and
            // stall zidire in the middle of a test.
            m_process.closeReadChannel(QProcess::StandardError);
            return true;
        }
        if (m_process.state() == QProcess::NotRunning)
            return false;
        m_process.waitForReadyRead(100);
        m_standardError += m_process.readAllStandardError();
    }
    return false;
}

int ZidireProcess::stop(int signal) {
    ::kill(pid_t(m_process.processId()), signal);
    return waitForExit();
}

int ZidireProcess::waitForExit() {
    m_process.waitForFinished(startTimeoutMs);
    m_standardError += m_process.readAllStandardError();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

QString ZidireProcess::mintToken(int ageSeconds) const {
    QByteArray token(32, '\0');
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(token.data()), 8);
    QFile file(authorityDirectory() + u'/' + QString::fromLatin1(token.toHex()));
    file.open(QIODevice::WriteOnly);
    file.write(token);
    file.flush(); // before the time is set: a later write would set it again
    file.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-ageSeconds),
                     QFileDevice::FileModificationTime);
    return QString::fromLatin1(token.toBase64());
}
