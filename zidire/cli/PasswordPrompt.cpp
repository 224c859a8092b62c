#include "PasswordPrompt.h"

#include "daemon/DaemonOptions.h"

#include <QByteArray>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <optional>
#include <termios.h>
#include <unistd.h>

namespace zidire {

namespace {

// The signals that end a prompt from the keyboard or the session.
constexpr std::array endingSignals{SIGINT, SIGQUIT, SIGTERM, SIGHUP};

// Read by the signal handler: set before the handler is installed, never changed while it is.
termios terminalBeforePrompt{};

void restoreTerminalAndEnd(int signal) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &terminalBeforePrompt);
    // The handler was installed for one delivery: the signal now does what it did before.
    ::raise(signal);
}

// Echo off for the object's lifetime. The line break the person types is still echoed, so what
// follows starts on a line of its own.
class HiddenInput {
public:
    HiddenInput() {
        ::tcgetattr(STDIN_FILENO, &terminalBeforePrompt);
        struct sigaction restore {};
        restore.sa_handler = restoreTerminalAndEnd;
        restore.sa_flags = SA_RESETHAND;
        sigemptyset(&restore.sa_mask);
        for (std::size_t i = 0; i < endingSignals.size(); ++i)
            ::sigaction(endingSignals[i], &restore, &m_previousActions[i]);
        termios hidden = terminalBeforePrompt;
        hidden.c_lflag = (hidden.c_lflag & ~tcflag_t(ECHO)) | ECHONL;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);
    }
    ~HiddenInput() {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &terminalBeforePrompt);
        for (std::size_t i = 0; i < endingSignals.size(); ++i)
            ::sigaction(endingSignals[i], &m_previousActions[i], nullptr);
    }
    HiddenInput(const HiddenInput&) = delete;
    HiddenInput& operator=(const HiddenInput&) = delete;

private:
    std::array<struct sigaction, endingSignals.size()> m_previousActions{};
};

// One line of standard input without its line break; what there is at the end of the input.
// Byte by byte, so that nothing after the line is taken from whoever reads next.
QByteArray readLine() {
    QByteArray line;
    char c = 0;
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || c == '\n')
            break;
        line.append(c);
    }
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

} // namespace

QString readPassword(const QString& prompt) {
    std::optional<HiddenInput> hidden;
    if (::isatty(STDIN_FILENO)) {
        std::fputs(prompt.toLocal8Bit().constData(), stderr);
        std::fflush(stderr);
        hidden.emplace();
    }
    const QByteArray password = readLine();
    if (password.isEmpty())
        throw UsageError(QStringLiteral("the password is empty"));
    return QString::fromUtf8(password);
}

} // namespace zidire
