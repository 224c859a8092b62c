#include "ShutdownSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <sys/signalfd.h>
#include <unistd.h>

namespace zidire {

namespace {

sigset_t shutdownSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

} // namespace

void ShutdownSignals::block() {
    const sigset_t set = shutdownSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

ShutdownSignals::ShutdownSignals(QObject* parent)
    : QObject(parent) {
    const sigset_t set = shutdownSignals();
    m_fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_fd < 0)
        throw std::runtime_error(std::string("can't watch for signals: ") + std::strerror(errno));
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &ShutdownSignals::readSignals);
}

ShutdownSignals::~ShutdownSignals() {
    m_notifier->setEnabled(false);
    ::close(m_fd);
}

void ShutdownSignals::readSignals() {
    signalfd_siginfo info{};
    while (::read(m_fd, &info, sizeof info) == ssize_t(sizeof info))
        Q_EMIT received(QString::fromLatin1(sigabbrev_np(int(info.ssi_signo))).prepend(u"SIG"));
}

} // namespace zidire
