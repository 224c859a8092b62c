// Connects to a control socket as an unprivileged user and prints how the exchange ended, so that
// a test running as root can still see what a user without access sees.

#include "ControlClient.h"

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    constexpr uid_t nobody = 65534;
    if (::geteuid() == 0 && (::setgid(nobody) != 0 || ::setuid(nobody) != 0))
        return 3;
    try {
        ControlClient(QString::fromUtf8(argv[1]), 3).retryNow();
        std::puts("ok");
    } catch (const ControlClientError& error) {
        std::printf("%d: %s\n", int(error.kind()), error.what());
    }
    return 0;
}
