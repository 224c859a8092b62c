#include "LocalServiceManager.h"

#include "ControlClient.h"
#include "FileDescriptor.h"
#include "PrivateDirectory.h"
#include "RelayContract.h"
#include "RelayPaths.h"
#include "SystemSettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// How often a starting zidire is asked whether it answers yet.
constexpr std::chrono::milliseconds startProbeInterval{20};

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// A pidfd names one process for good: unlike a pid it can't come to mean another one, and it
// becomes readable when the process ends, whoever's child it is.
FileDescriptor openProcess(pid_t pid) {
    return FileDescriptor(int(::syscall(SYS_pidfd_open, pid, 0)));
}

bool waitForExit(const FileDescriptor& process, std::chrono::milliseconds timeout) {
    pollfd ended{process.get(), POLLIN, 0};
    int result;
    do {
        result = ::poll(&ended, 1, int(timeout.count()));
    } while (result < 0 && errno == EINTR);
    return result > 0;
}

bool socketAnswers(const QString& path) {
    try {
        ControlClient(path, 1).status();
        return true;
    } catch (const ControlClientError& error) {
        // A refusal is an answer all the same.
        return error.kind() == ControlClientError::Kind::serverError;
    } catch (const std::exception&) {
        return false;
    }
}

// Why zidire stopped, from what it wrote to standard error: its last "zidire: " line (a usage
// error is followed by a hint), else its last line.
QString stopReason(const QString& standardErrorPath) {
    QFile file(standardErrorPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    constexpr qint64 tail = 4096;
    file.seek(std::max<qint64>(0, file.size() - tail));
    const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    static const QByteArray ownPrefix = "zidire: ";
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        if (line->startsWith(ownPrefix))
            return QString::fromUtf8(line->mid(ownPrefix.size()).trimmed());
    }
    return QString::fromUtf8(lines.constLast().trimmed());
}

class LocalDaemonService : public AppService {
public:
    explicit LocalDaemonService(LocalDaemonSetup setup)
        : m_setup(std::move(setup))
        , m_state(m_setup.stateDirectory) {}

    ServiceStatus status() const override {
        if (!programInstalled())
            return ServiceStatus::notFound;
        return QFileInfo::exists(registrationPath()) ? ServiceStatus::enabled
                                                     : ServiceStatus::notRegistered;
    }

    void registerService() override {
        requireProgram();
        try {
            createPrivateDirectory(m_setup.stateDirectory);
        } catch (const PrivateDirectoryError& error) {
            throw ServiceManagementError(QString::fromStdString(error.what()));
        }
        writeRegistration();
        if (runningPid())
            return;
        try {
            start();
        } catch (const ServiceManagementError&) {
            QFile::remove(registrationPath());
            throw;
        }
    }

    void unregisterService() override {
        stop();
        QFile registration(registrationPath());
        if (registration.exists() && !registration.remove())
            throw ServiceManagementError(QStringLiteral("can't remove the registration %1: %2")
                                             .arg(registrationPath(), registration.errorString()));
    }

    void startIfRegistered() const {
        if (!QFileInfo::exists(registrationPath()) || runningPid())
            return;
        requireProgram();
        start();
    }

private:
    QString registrationPath() const {
        return m_state.filePath(QLatin1String(LocalServiceManager::registrationFileName));
    }
    QString pidFilePath() const {
        return m_state.filePath(QLatin1String(RelayContract::pidFileName));
    }
    QString standardErrorPath() const {
        return m_state.filePath(QLatin1String(LocalServiceManager::standardErrorFileName));
    }

    bool programInstalled() const {
        const QFileInfo program(m_setup.program);
        return program.isFile() && program.isExecutable();
    }

    void requireProgram() const {
        if (!programInstalled())
            throw ServiceManagementError(
                QStringLiteral("the relay program zidire is not installed (%1 is missing)")
                    .arg(m_setup.program));
    }

    void writeRegistration() const {
        QSaveFile registration(registrationPath());
        if (!registration.open(QIODevice::WriteOnly) ||
            registration.write(QFile::encodeName(m_setup.program) + '\n') < 0 ||
            !registration.commit())
            throw ServiceManagementError(QStringLiteral("can't record the registration in %1: %2")
                                             .arg(registrationPath(), registration.errorString()));
    }

    // The pid of the zidire running on this state: zidire holds a lock on its pid file for as
    // long as it runs, so a file nobody locks is a leftover. 0 when its pid is not written yet.
    std::optional<pid_t> runningPid() const {
        const FileDescriptor file(::open(QFile::encodeName(pidFilePath()).constData(),
                                         O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (!file.isValid())
            return std::nullopt;
        if (::flock(file.get(), LOCK_SH | LOCK_NB) == 0)
            return std::nullopt; // closing the file releases the lock again
        char text[32] = {};
        const ssize_t length = ::pread(file.get(), text, sizeof text - 1, 0);
        return pid_t(QByteArray(text, std::max<ssize_t>(length, 0)).trimmed().toInt());
    }

    void start() const {
        QProcess zidire;
        zidire.setProgram(m_setup.program);
        zidire.setArguments(QStringList{QStringLiteral("--user")} + m_setup.extraArguments);
        zidire.setWorkingDirectory(m_setup.stateDirectory);
        zidire.setStandardInputFile(QProcess::nullDevice());
        zidire.setStandardOutputFile(QProcess::nullDevice());
        zidire.setStandardErrorFile(standardErrorPath());
        qint64 pid = 0;
        if (!zidire.startDetached(&pid))
            throw ServiceManagementError(
                QStringLiteral("can't start %1: %2").arg(m_setup.program, zidire.errorString()));
        waitUntilAnswering(pid_t(pid));
    }

    // Returns when zidire answers on its socket; throws with its last words when it stops first.
    // One still starting after the time-out is left to it: the status polls show when it answers.
    void waitUntilAnswering(pid_t pid) const {
        const FileDescriptor process = openProcess(pid);
        const auto deadline = Clock::now() + m_setup.startTimeout;
        bool stopped = !process.isValid();
        while (!stopped && Clock::now() < deadline) {
            if (socketAnswers(m_setup.controlSocket))
                return;
            stopped = waitForExit(process, startProbeInterval);
        }
        if (!stopped)
            return;
        const QString reason = stopReason(standardErrorPath());
        throw ServiceManagementError(
            reason.isEmpty() ? QStringLiteral("zidire stopped as soon as it started; see %1")
                                   .arg(m_state.filePath(QLatin1String(RelayContract::logFileName)))
                             : QStringLiteral("zidire stopped as soon as it started: ") + reason);
    }

    void stop() const {
        const std::optional<pid_t> pid = runningPid();
        if (!pid)
            return;
        if (*pid <= 0)
            throw ServiceManagementError(
                QStringLiteral("zidire is just starting (%1); try again").arg(pidFilePath()));
        const FileDescriptor process = openProcess(*pid);
        // The pid was read before the process was opened: make sure it still names the zidire
        // that holds the lock, not a process that got the number after it ended.
        if (!process.isValid() || runningPid() != pid)
            return;
        for (const int signal : {SIGTERM, SIGKILL}) {
            if (::syscall(SYS_pidfd_send_signal, process.get(), signal, nullptr, 0) != 0 &&
                errno != ESRCH)
                throw ServiceManagementError(QStringLiteral("can't stop zidire (pid %1): %2")
                                                 .arg(*pid)
                                                 .arg(errnoText(errno)));
            if (waitForExit(process, m_setup.stopTimeout))
                return;
        }
        throw ServiceManagementError(QStringLiteral("zidire (pid %1) doesn't stop").arg(*pid));
    }

    LocalDaemonSetup m_setup;
    QDir m_state;
};

} // namespace

LocalDaemonSetup LocalDaemonSetup::forUser(QString program, QStringList extraArguments) {
    return {.program = std::move(program),
            .extraArguments = std::move(extraArguments),
            .stateDirectory = RelayPaths::stateDirectory(RelayMode::local),
            .controlSocket = RelayPaths::controlSocket(RelayMode::local)};
}

LocalServiceManager::LocalServiceManager(LocalDaemonSetup daemon, AutostartLocation loginItem)
    : m_daemon(std::move(daemon))
    , m_loginItem(std::move(loginItem)) {}

std::unique_ptr<AppService> LocalServiceManager::daemonService(const QString&) const {
    return std::make_unique<LocalDaemonService>(m_daemon);
}

std::unique_ptr<AppService> LocalServiceManager::mainAppService() const {
    return std::make_unique<AutostartLoginItem>(m_loginItem);
}

void LocalServiceManager::openSystemSettingsLoginItems() const {
    openDesktopLoginItemsSettings();
}

void LocalServiceManager::startRegisteredDaemon() const {
    LocalDaemonService(m_daemon).startIfRegistered();
}
