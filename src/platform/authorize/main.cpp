// moxtrel-authorize: run by pkexec once an administrator confirmed a request, so it runs as root.
// Mints one authority token for the system zidire and prints its hex for the application.

#include "AuthorityToken.h"
#include "RelayPaths.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    // For package checks; pkexec runs it without arguments.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return std::puts("moxtrel-authorize " MOXTREL_VERSION) < 0;
    // pkexec hands over a cleared environment, so this is the system's directory; run by anyone
    // else, the helper has no more rights than its caller and the token no more worth.
    const QString directory = RelayPaths::authorityDirectory(RelayMode::system);
    try {
        const QByteArray token = mintAuthorityToken(directory);
        std::printf("%s\n", token.toHex().constData());
        return std::fflush(stdout) == 0 ? 0 : 1;
    } catch (const AuthorityTokenError& error) {
        std::fprintf(stderr, "moxtrel-authorize: %s\n", error.what());
        return 1;
    }
}
