// One "GetStatus" exchange through ControlClient, beside the floor: the same connect, write, read
// and close of the same bytes with no JSON work, against the same in-process server.

#include "BenchRatio.h"
#include "ControlClient.h"
#include "FakeZidire.h"

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

void BM_GetStatusThroughClient(benchmark::State& state) {
    const ControlClient client(server().socketPath(), 3);
    for (auto _ : state)
        benchmark::DoNotOptimize(client.status());
}

void BM_RawExchangeFloor(benchmark::State& state) {
    const QByteArray path = server().socketPath().toUtf8();
    const QByteArray request = R"({"command":"GetStatus"})";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::copy(path.begin(), path.end(), address.sun_path);
    char buffer[4096];
    for (auto _ : state) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::write(fd, request.constData(), request.size()) != request.size()) {
            state.SkipWithError("the in-process server did not answer");
            ::close(fd);
            break;
        }
        size_t received = 0;
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
            received += static_cast<size_t>(n);
        benchmark::DoNotOptimize(received);
        ::close(fd);
    }
}

} // namespace

BENCHMARK(BM_GetStatusThroughClient)->UseRealTime();
BENCHMARK(BM_RawExchangeFloor)->UseRealTime();

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    return runWithRatios(
        {{"BM_GetStatusThroughClient/real_time", "BM_RawExchangeFloor/real_time", 1.5}});
}
