#include "LocalRelay.h"

#include "RelayContract.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpServer>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Under sanitizers and on a busy machine the first start (certificate generation) takes a while.
constexpr int startTimeoutMs = 60'000;

} // namespace

LocalRelay::LocalRelay() {
    // Held together, so that the three differ.
    QTcpServer servers[3];
    for (int i = 0; i < 3; ++i)
        m_smtpPorts[i] = servers[i].listen(QHostAddress::AnyIPv4, 0) ? servers[i].serverPort() : 0;
    // Unset: the service manager's (they turn zidire's standard error off), and the provider
    // endpoints, which would win over the settings a test writes.
    const std::pair<const char*, QString> environment[] = {
        {"XDG_RUNTIME_DIR", path(QStringLiteral("run"))},
        {"XDG_STATE_HOME", path(QStringLiteral("state"))},
        {"XDG_CONFIG_HOME", path(QStringLiteral("config"))},
        {"MOXTREL_CONTROL_SOCKET", {}},
        {"MOXTREL_AUTHORITY_DIR", {}},
        {"INVOCATION_ID", {}},
        {"JOURNAL_STREAM", {}},
        {"ZIDIRE_MICROSOFT_LOGIN_BASE", {}},
        {"ZIDIRE_GRAPH_BASE", {}},
        {"ZIDIRE_GOOGLE_TOKEN_URL", {}},
        {"ZIDIRE_GMAIL_BASE", {}},
    };
    QProcessEnvironment child = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : environment) {
        m_savedEnvironment.append(
            {name, qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt});
        if (value.isEmpty()) {
            qunsetenv(name);
            child.remove(QLatin1String(name));
        } else {
            qputenv(name, QFile::encodeName(value));
            child.insert(QLatin1String(name), value);
        }
    }
    m_process.setProcessEnvironment(child);
    m_process.setProgram(zidireProgram());
    QObject::connect(&m_process, &QProcess::readyReadStandardError,
                     [this] { m_standardError += m_process.readAllStandardError(); });
}

LocalRelay::~LocalRelay() {
    if (m_process.state() != QProcess::NotRunning)
        stop(SIGKILL);
    if (runningZidire())
        killZidire();
    for (const auto& [name, value] : m_savedEnvironment) {
        if (value)
            qputenv(name.constData(), *value);
        else
            qunsetenv(name.constData());
    }
}

QString LocalRelay::zidireProgram() {
    return QStringLiteral(ZIDIRE_PROGRAM);
}

QString LocalRelay::logFile() const {
    return QDir(stateDirectory()).filePath(QLatin1String(RelayContract::logFileName));
}

LocalDaemonSetup LocalRelay::setup(const QString& program) const {
    return LocalDaemonSetup::forUser(
        program,
        {QStringLiteral("--smtp-ports"),
         QStringLiteral("%1,%2,%3").arg(m_smtpPorts[0]).arg(m_smtpPorts[1]).arg(m_smtpPorts[2])});
}

AutostartLocation LocalRelay::loginItem() const {
    return AutostartLocation::forUser(QStringLiteral("/usr/bin/moxtrel"));
}

std::optional<pid_t> LocalRelay::runningZidire() const {
    const QString pidFile =
        QDir(stateDirectory()).filePath(QLatin1String(RelayContract::pidFileName));
    const int fd = ::open(QFile::encodeName(pidFile).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::optional<pid_t> pid;
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        char text[32] = {};
        if (::pread(fd, text, sizeof text - 1, 0) > 0)
            pid = pid_t(QByteArray(text).trimmed().toInt());
    }
    ::close(fd);
    return pid;
}

void LocalRelay::killZidire() const {
    const std::optional<pid_t> pid = runningZidire();
    if (!pid || *pid <= 0)
        return;
    const int process = int(::syscall(SYS_pidfd_open, *pid, 0));
    if (process < 0)
        return;
    ::syscall(SYS_pidfd_send_signal, process, SIGKILL, nullptr, 0);
    pollfd ended{process, POLLIN, 0};
    ::poll(&ended, 1, 10000);
    ::close(process);
}

void LocalRelay::writeSettings(const QByteArray& json) const {
    QDir().mkpath(stateDirectory());
    QFile file(QDir(stateDirectory()).filePath(QStringLiteral("settings.json")));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(json);
}

bool LocalRelay::start(const QStringList& extraArguments, RelayMode mode) {
    if (!QFile::exists(QDir(stateDirectory()).filePath(QStringLiteral("settings.json"))))
        writeSettings(
            R"({"listen_host":"127.0.0.1","ZIDIRE_MICROSOFT_LOGIN_BASE":"http://127.0.0.1:9",)"
            R"("ZIDIRE_GRAPH_BASE":"http://127.0.0.1:9",)"
            R"("ZIDIRE_GOOGLE_TOKEN_URL":"http://127.0.0.1:9/token",)"
            R"("ZIDIRE_GMAIL_BASE":"http://127.0.0.1:9"})");
    m_standardError.clear();
    QStringList modeArguments{QStringLiteral("--user")};
    if (mode == RelayMode::system) {
        modeArguments = {"--socket",       socketPath(), "--state-dir",
                         stateDirectory(), "--log-dir",  stateDirectory()};
        QProcessEnvironment environment = m_process.processEnvironment();
        environment.insert(QStringLiteral("MOXTREL_AUTHORITY_DIR"), authorityDirectory());
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                           QStringLiteral("unix:path=") + path(QStringLiteral("no-bus")));
        m_process.setProcessEnvironment(environment);
    }
    m_process.setArguments(modeArguments + setup().extraArguments + extraArguments);
    m_process.start();
    const QByteArray running =
        mode == RelayMode::local ? " running in local mode" : " running in system mode";
    for (const QDeadlineTimer deadline(startTimeoutMs); !deadline.hasExpired();) {
        if (m_standardError.contains(running)) {
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

int LocalRelay::stop(int signal) {
    // Without a process its id is 0, and kill(0, …) would signal the test's own process group.
    if (const pid_t pid = pid_t(m_process.processId()); pid > 0)
        ::kill(pid, signal);
    return waitForExit();
}

int LocalRelay::waitForExit() {
    m_process.waitForFinished(startTimeoutMs);
    m_standardError += m_process.readAllStandardError();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

QString LocalRelay::mintToken(int ageSeconds) const {
    QByteArray token(RelayContract::authorityTokenBytes, '\0');
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(token.data()),
                                          token.size() / 4);
    QDir().mkpath(authorityDirectory());
    QFile file(QDir(authorityDirectory()).filePath(QString::fromLatin1(token.toHex())));
    file.open(QIODevice::WriteOnly);
    file.write(token);
    file.flush(); // before the time is set: a later write would set it again
    file.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-ageSeconds),
                     QFileDevice::FileModificationTime);
    return QString::fromLatin1(token.toBase64());
}
