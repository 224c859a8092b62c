// SMTP intake: clients deliver small (20 KB) messages over 1, 4 and 16 connections and large
// (10 MB) ones over 4 to the real SMTP service over loopback, each message stored durably before
// its "250". Beside them, the floors of the same run: the same bytes written, fsynced and renamed
// by plain loops on as many threads as there are connections (in turns with the intake's own
// rounds), and the same bytes sent over loopback TCP to a reader that throws them away. And one
// copier alone beside the same copier while another host (127.0.0.2) holds 100 connections open.

#include "BenchRatio.h"
#include "LoopbackSmtp.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace zidire;

namespace {

constexpr int largeClients = 4;
constexpr qsizetype smallBytes = 20 * 1024;
constexpr qsizetype largeBytes = 10 * 1024 * 1024;
constexpr int smallPerClient = 8; // messages per client and iteration
constexpr int largePerClient = 1;

// Mail-like text: 78-byte lines ending in CRLF, no line starting with a dot.
QByteArray messageText(qsizetype bytes) {
    QByteArray text;
    text.reserve(bytes);
    const QByteArray line = QByteArray(76, 'Q') + "\r\n";
    while (text.size() + line.size() <= bytes)
        text += line;
    return text;
}

const QByteArray& text(qsizetype bytes) {
    static const QByteArray small = messageText(smallBytes);
    static const QByteArray large = messageText(largeBytes);
    return bytes == smallBytes ? small : large;
}

// What a client sends after "354": the text and the line that ends it.
const QByteArray& terminatedText(qsizetype bytes) {
    static const QByteArray small = text(smallBytes) + ".\r\n";
    static const QByteArray large = text(largeBytes) + ".\r\n";
    return bytes == smallBytes ? small : large;
}

struct Server {
    QTemporaryDir directory{QDir::tempPath() + QStringLiteral("/bench-zidire-smtp-XXXXXX")};
    LoopbackSmtp intake{directory.path(),
                        [](SmtpOptions& options) { options.maxMessageBytes = 64 * 1024 * 1024; }};

    // Called from the benchmark thread, so it goes by the directory, not the Spool object.
    void emptySpool() const {
        QDir spoolDirectory(intake.spool.directory());
        for (const QString& name : spoolDirectory.entryList({QStringLiteral("msg-*")}, QDir::Files))
            spoolDirectory.remove(name);
    }
};

Server* server = nullptr;

constexpr in_addr_t hostileHost = INADDR_LOOPBACK + 1;
constexpr in_addr_t copierHosts = INADDR_LOOPBACK + 0x100; // 127.0.1.1 and up
constexpr int hostileConnections = 100;

int connectTo(quint16 port, in_addr_t from = INADDR_LOOPBACK) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(from);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

bool sendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// A minimal SMTP client that reads replies line by line and checks their codes.
class SmtpClient {
public:
    explicit SmtpClient(quint16 port, in_addr_t from = INADDR_LOOPBACK)
        : m_fd(connectTo(port, from)) {}
    ~SmtpClient() {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool signIn() {
        return expect("220") && command("EHLO bench\r\n", "250") &&
               command("AUTH PLAIN " + QByteArray("\0copier\0secret", 14).toBase64() + "\r\n",
                       "235");
    }

    // The text goes out with the line that ends it in one piece, as a buffered client sends it.
    bool deliver(const QByteArray& terminated) {
        const QByteArray envelope =
            "MAIL FROM:<scan@copier.test>\r\nRCPT TO:<me@example.test>\r\nDATA\r\n";
        return sendAll(m_fd, envelope.constData(), size_t(envelope.size())) && expect("250") &&
               expect("250") && expect("354") &&
               sendAll(m_fd, terminated.constData(), size_t(terminated.size())) && expect("250");
    }

private:
    bool command(const QByteArray& line, const char* code) {
        return sendAll(m_fd, line.constData(), size_t(line.size())) && expect(code);
    }

    // Reads up to the end of the next complete reply and checks its code.
    bool expect(const char* code) {
        while (true) {
            const qsizetype newline = m_buffer.indexOf('\n');
            if (newline >= 0) {
                const QByteArray line = m_buffer.left(newline + 1);
                m_buffer.remove(0, newline + 1);
                if (line.size() >= 4 && line[3] == '-')
                    continue;
                return line.startsWith(code);
            }
            char chunk[4096];
            const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return false;
            m_buffer.append(chunk, n);
        }
    }

    int m_fd;
    QByteArray m_buffer;
};

using Sessions = std::vector<std::unique_ptr<SmtpClient>>;

// `count` signed-in connections, each from a host of its own (127.0.1.x) as copiers are, or none
// when one could not sign in.
Sessions signedInSessions(int count) {
    Sessions sessions;
    for (int i = 0; i < count; ++i) {
        sessions.push_back(
            std::make_unique<SmtpClient>(server->intake.port(), copierHosts + in_addr_t(i)));
        if (!sessions.back()->signIn())
            return {};
    }
    return sessions;
}

// Every session delivers `perSession` messages of `bytes`, all at once; false when one was not
// accepted.
bool deliverFromAll(const Sessions& sessions, qsizetype bytes, int perSession) {
    std::atomic<bool> ok = true;
    std::vector<std::thread> threads;
    for (const auto& session : sessions)
        threads.emplace_back([&, s = session.get()] {
            for (int m = 0; m < perSession; ++m)
                if (!s->deliver(terminatedText(bytes)))
                    ok = false;
        });
    for (std::thread& thread : threads)
        thread.join();
    return ok;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One copier's small messages, with (1) or without (0) the other host's connections open. Those
// the service refuses are opened again, so the other host holds every session it can get.
void BM_OneCopier(benchmark::State& state) {
    std::atomic<bool> hostile = state.range(0) != 0;
    std::thread holder([&] {
        std::vector<pollfd> fds;
        for (int i = 0; hostile && i < hostileConnections; ++i)
            fds.push_back({connectTo(server->intake.port(), hostileHost), POLLIN, 0});
        while (hostile) {
            ::poll(fds.data(), fds.size(), 50);
            for (pollfd& p : fds) {
                char discard[512];
                if ((p.revents & (POLLIN | POLLHUP)) &&
                    ::recv(p.fd, discard, sizeof discard, 0) <= 0) {
                    ::close(p.fd);
                    p.fd = connectTo(server->intake.port(), hostileHost);
                }
            }
        }
        for (const pollfd& p : fds)
            ::close(p.fd);
    });
    SmtpClient copier(server->intake.port());
    if (!copier.signIn()) {
        state.SkipWithError("couldn't sign in to the SMTP service");
        hostile = false;
        holder.join();
        return;
    }
    for (auto _ : state) {
        for (int m = 0; m < smallPerClient; ++m)
            if (!copier.deliver(terminatedText(smallBytes)))
                state.SkipWithError("a message was not accepted");
        state.PauseTiming();
        server->emptySpool();
        state.ResumeTiming();
    }
    hostile = false;
    holder.join();
    state.SetItemsProcessed(state.iterations() * smallPerClient);
}

// `count` messages, one after the other: temp file, write, fsync, rename, fsync of the directory.
bool durablyWriteInTurn(const QByteArray& directory, const QByteArray& content, int count,
                        const QByteArray& writer) {
    for (int i = 0; i < count; ++i) {
        const QByteArray name = writer + '-' + QByteArray::number(i);
        const QByteArray temp = directory + "/tmp-" + name;
        const QByteArray final = directory + "/msg-" + name + ".eml";
        const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 ||
            !(::write(fd, content.constData(), size_t(content.size())) == content.size()) ||
            ::fsync(fd) != 0 || ::close(fd) != 0 ||
            ::rename(temp.constData(), final.constData()) != 0)
            return false;
        const int dirFd = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

// `writers` threads at once, each writing `perWriter` messages in turn into the same directory,
// as the spool's commits do. Returns the seconds until the last one is durable, or -1.
double durablyWrite(const QString& directory, const QByteArray& content, int writers,
                    int perWriter) {
    const QByteArray dir = QFile::encodeName(directory);
    std::atomic<bool> ok = true;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w)
        threads.emplace_back([&, writer = QByteArray::number(w)] {
            if (!durablyWriteInTurn(dir, content, perWriter, writer))
                ok = false;
        });
    for (std::thread& thread : threads)
        thread.join();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    // Like the spool, every iteration starts with new names, not by replacing files.
    QDir spool(directory);
    for (const QString& name : spool.entryList({QStringLiteral("msg-*")}, QDir::Files))
        spool.remove(name);
    return ok ? elapsed.count() : -1;
}

// The same messages from `clients` connections to one reader thread that discards them.
double sendOverLoopback(const QByteArray& content, int clients, int perClient) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, clients);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const quint16 port = ntohs(address.sin_port);

    const qint64 total = qint64(content.size()) * clients * perClient;
    std::thread reader([&] {
        std::vector<pollfd> fds;
        for (int i = 0; i < clients; ++i)
            fds.push_back({::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC), POLLIN, 0});
        static char buffer[256 * 1024];
        for (qint64 received = 0; received < total;) {
            ::poll(fds.data(), fds.size(), -1);
            for (pollfd& p : fds)
                if (p.revents & POLLIN) {
                    const ssize_t n = ::recv(p.fd, buffer, sizeof buffer, 0);
                    received += std::max<ssize_t>(n, 0);
                }
        }
        for (const pollfd& p : fds)
            ::send(p.fd, "k", 1, MSG_NOSIGNAL), ::close(p.fd);
    });

    std::vector<int> senders;
    for (int i = 0; i < clients; ++i)
        senders.push_back(connectTo(port));
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (const int fd : senders)
        threads.emplace_back([&content, fd, perClient] {
            for (int m = 0; m < perClient; ++m)
                sendAll(fd, content.constData(), size_t(content.size()));
            char ack;
            ::recv(fd, &ack, 1, 0);
        });
    for (std::thread& thread : threads)
        thread.join();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    reader.join();
    for (const int fd : senders)
        ::close(fd);
    ::close(listener);
    return elapsed.count();
}

// Small messages over `connections` (the argument), each round beside a round of the floor at
// the same concurrency (as many threads writing durably), so that both meet the same disk and
// the same neighbours. The ratio is the intake's rate over the floor's.
void BM_SmallIntakeBesideFloor(benchmark::State& state) {
    const int connections = int(state.range(0));
    const Sessions sessions = signedInSessions(connections);
    QTemporaryDir floorDirectory(QDir::tempPath() + QStringLiteral("/bench-floor-XXXXXX"));
    if (sessions.empty()) {
        state.SkipWithError("couldn't sign in to the SMTP service");
        return;
    }
    RoundRatios ratios;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (!deliverFromAll(sessions, smallBytes, smallPerClient)) {
            state.SkipWithError("a message was not accepted");
            return;
        }
        const double seconds = secondsSince(start);
        state.SetIterationTime(seconds);
        server->emptySpool();
        const double floor =
            durablyWrite(floorDirectory.path(), text(smallBytes), connections, smallPerClient);
        if (floor < 0) {
            state.SkipWithError("couldn't write the floor's files");
            return;
        }
        ratios.add(floor, seconds); // rates: the intake's over the floor's
    }
    state.SetItemsProcessed(state.iterations() * connections * smallPerClient);
    ratios.report(state);
}

// Large messages over four connections.
void BM_LargeIntake(benchmark::State& state) {
    const Sessions sessions = signedInSessions(largeClients);
    if (sessions.empty()) {
        state.SkipWithError("couldn't sign in to the SMTP service");
        return;
    }
    for (auto _ : state) {
        if (!deliverFromAll(sessions, largeBytes, largePerClient)) {
            state.SkipWithError("a message was not accepted");
            return;
        }
        state.PauseTiming();
        server->emptySpool();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * largeClients * largePerClient);
    state.SetBytesProcessed(state.iterations() * largeClients * largePerClient * largeBytes);
}

// Per iteration, the slower of two floors for the large messages of the intake: all of them
// written durably one after the other, and all of them sent over loopback.
void BM_SlowerFloor(benchmark::State& state) {
    const int clients = largeClients;
    const int perClient = largePerClient;
    QTemporaryDir directory(QDir::tempPath() + QStringLiteral("/bench-floor-XXXXXX"));
    for (auto _ : state) {
        const double disk =
            durablyWrite(directory.path(), text(largeBytes), 1, clients * perClient);
        const double network = sendOverLoopback(text(largeBytes), clients, perClient);
        if (disk < 0) {
            state.SkipWithError("couldn't write the floor's files");
            return;
        }
        state.SetIterationTime(std::max(disk, network));
    }
    state.SetItemsProcessed(state.iterations() * clients * perClient);
}

} // namespace

BENCHMARK(BM_SmallIntakeBesideFloor)->Arg(1)->Arg(4)->Arg(16)->UseManualTime()->MinTime(2.0);
BENCHMARK(BM_LargeIntake)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_SlowerFloor)->Arg(largeBytes)->UseManualTime()->MinTime(1.0);
BENCHMARK(BM_OneCopier)->Arg(0)->Arg(1)->UseRealTime()->MinTime(1.0);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    QCoreApplication application(argc, argv);
    Server instance;
    server = &instance;
    // The service runs on this thread's event loop; the benchmarks drive it from another one.
    int result = 0;
    std::thread runner([&] {
        std::vector<BenchRatio> ratios;
        for (const char* connections : {"1", "4", "16"})
            ratios.push_back({std::string("zidire SMTP: 20 KB, ") + connections +
                                  " connection(s) / durable writes on as many threads",
                              std::string("BM_SmallIntakeBesideFloor/") + connections +
                                  "/min_time:2.000/manual_time",
                              {},
                              0.7,
                              true});
        ratios.push_back({"zidire SMTP: 10 MB, 4 connections / slower of disk and loopback",
                          "BM_LargeIntake/min_time:1.000/real_time",
                          "BM_SlowerFloor/10485760/min_time:1.000/manual_time", 0.5, true});
        ratios.push_back({"zidire SMTP: one copier beside 100 connections of another host / alone",
                          "BM_OneCopier/1/min_time:1.000/real_time",
                          "BM_OneCopier/0/min_time:1.000/real_time", 0.8, true});
        result = runWithRatios(ratios);
        QMetaObject::invokeMethod(&application, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    QCoreApplication::exec();
    runner.join();
    return result;
}
