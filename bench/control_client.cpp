// One "GetStatus" exchange through ControlClient, beside the floor: the same connect, write, read
// and close of the same bytes with no JSON work, against the same in-process server, in turns.

#include "BenchRatio.h"
#include "ControlClient.h"
#include "FakeZidire.h"

#include <chrono>
#include <functional>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

FakeZidire& server() {
    static FakeZidire zidire;
    static const bool configured = [] {
        zidire.setReply(ControlCommand::getStatus, {statusReplyJson(12)});
        return true;
    }();
    (void)configured;
    return zidire;
}

// One raw exchange: connect, write the request, read to the end, close. False when it failed.
bool rawExchange(const sockaddr_un& address) {
    static const QByteArray request = R"({"command":"GetStatus"})";
    char buffer[4096];
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool sent =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::write(fd, request.constData(), request.size()) == request.size();
    size_t received = 0;
    for (ssize_t n; sent && (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        received += static_cast<size_t>(n);
    ::close(fd);
    return received > 0;
}

double secondsOf(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Each iteration times one exchange through ControlClient and one raw exchange, in turns, so
// that both meet the same scheduling delays of the server's threads. Which goes first changes
// every iteration: in a fixed order each side always had the same place in every other exchange,
// and the server's cost follows such a pattern, so the median swung between 0.8 and 1.6 from
// run to run. The ratio is the client's time over the raw exchange's.
void BM_ClientBesideRawExchange(benchmark::State& state) {
    const ControlClient client(server().socketPath(), 3);
    const QByteArray path = server().socketPath().toUtf8();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::copy(path.begin(), path.end(), address.sun_path);
    RoundRatios ratios;
    bool clientFirst = true;
    for (auto _ : state) {
        bool answered = false;
        const auto throughClient = [&] { benchmark::DoNotOptimize(client.status()); };
        const auto raw = [&] { answered = rawExchange(address); };
        double clientSeconds = 0;
        double rawSeconds = 0;
        if (clientFirst) {
            clientSeconds = secondsOf(throughClient);
            rawSeconds = secondsOf(raw);
        } else {
            rawSeconds = secondsOf(raw);
            clientSeconds = secondsOf(throughClient);
        }
        clientFirst = !clientFirst;
        state.SetIterationTime(clientSeconds);
        ratios.add(clientSeconds, rawSeconds);
        if (!answered) {
            state.SkipWithError("the in-process server did not answer");
            return;
        }
    }
    ratios.report(state);
}

} // namespace

BENCHMARK(BM_ClientBesideRawExchange)->UseManualTime()->MinTime(1.0);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    return runWithRatios({{"control client: GetStatus / raw exchange, time",
                           "BM_ClientBesideRawExchange/min_time:1.000/manual_time",
                           {},
                           1.5}});
}
