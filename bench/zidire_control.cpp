// "GetStatus" throughput of a real zidire with 32 clients at once, beside the floor: a minimal
// blocking Unix-socket responder that answers the very same bytes, one connection after another,
// with no event loop and no JSON work. Both are driven by the same raw client exchange.

#include "BenchRatio.h"
#include "JsonObjectFramer.h"
#include "LocalRelay.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QByteArray getStatus = R"({"command":"GetStatus"})";

sockaddr_un addressOf(const QString& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = QFile::encodeName(path);
    std::memcpy(address.sun_path, bytes.constData(), size_t(bytes.size()));
    return address;
}

// One exchange as the application makes it: connect, one write, read to the end, close.
QByteArray exchange(const sockaddr_un& address) {
    QByteArray answer;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::write(fd, getStatus.constData(), size_t(getStatus.size())) == getStatus.size()) {
        char buffer[4096];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
            answer.append(buffer, n);
    }
    ::close(fd);
    return answer;
}

// Accepts and answers one connection at a time, blocking. It runs in a process of its own, as
// zidire does, so that both servers pay the same for switching between client and server.
class BlockingResponder {
public:
    BlockingResponder(const QString& path, const QByteArray& answer) {
        const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un address = addressOf(path);
        ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::listen(listener, SOMAXCONN);
        m_pid = ::fork();
        if (m_pid == 0)
            serve(listener, answer); // never returns
        ::close(listener);
    }
    ~BlockingResponder() {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }

private:
    [[noreturn]] static void serve(int listener, const QByteArray& answer) {
        for (int client; (client = ::accept(listener, nullptr, nullptr)) >= 0;) {
            JsonObjectFramer framer;
            char buffer[4096];
            ssize_t n = 0;
            while (framer.state() == JsonObjectFramer::State::incomplete &&
                   (n = ::read(client, buffer, sizeof buffer)) > 0)
                framer.feed(buffer, n);
            ::send(client, answer.constData(), size_t(answer.size()), MSG_NOSIGNAL);
            ::close(client);
        }
        ::_exit(0);
    }

    pid_t m_pid;
};

LocalRelay* zidire = nullptr;
QString floorPath;

void runExchanges(benchmark::State& state, const QString& path) {
    const sockaddr_un address = addressOf(path);
    for (auto _ : state) {
        if (exchange(address).isEmpty()) {
            state.SkipWithError("no answer");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_ZidireGetStatus(benchmark::State& state) {
    runExchanges(state, zidire->socketPath());
}
void BM_BlockingResponderFloor(benchmark::State& state) {
    runExchanges(state, floorPath);
}

} // namespace

BENCHMARK(BM_ZidireGetStatus)->Threads(32)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_BlockingResponderFloor)->Threads(32)->MinTime(2.0)->UseRealTime();

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    LocalRelay underTest;
    // zidire's own answer, for the floor to repeat.
    const QByteArray answer =
        underTest.start() ? exchange(addressOf(underTest.socketPath())) : QByteArray();
    if (answer.isEmpty()) {
        std::fprintf(stderr, "zidire did not answer: %s\n", qPrintable(underTest.standardError()));
        return 1;
    }
    floorPath = underTest.path(QStringLiteral("floor.sock"));
    BlockingResponder responder(floorPath, answer);
    zidire = &underTest;
    return runWithRatios(
        {{"zidire control: GetStatus, 32 clients / blocking responder",
          "BM_ZidireGetStatus/min_time:2.000/real_time/threads:32",
          "BM_BlockingResponderFloor/min_time:2.000/real_time/threads:32", 0.5, true}});
}
