// Feeds arbitrary client bytes to one SMTP session, cut into pieces, on any of the three kinds of
// listener, carrying out delays, STARTTLS and commits the way the connection does.
//
// Input: the first byte picks the listener (byte % 3) and the piece size (1 + byte / 3); the rest
// is what the client sends.

#include "log/Log.h"
#include "smtp/SmtpSession.h"
#include "spool/Spool.h"

#include <QDir>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

using namespace zidire;

namespace {

struct Environment {
    // tmpfs when there is one: accepted messages are fsynced, which is slow on a real disk.
    QTemporaryDir directory{QDir(QStringLiteral("/dev/shm")).exists()
                                ? QStringLiteral("/dev/shm/fuzz_smtp_session-XXXXXX")
                                : QDir::tempPath() + QStringLiteral("/fuzz_smtp_session-XXXXXX")};
    Log log{directory.filePath(QStringLiteral("zidire.log")), false, 1024 * 1024};
    Spool spool{directory.filePath(QStringLiteral("spool")), log};
};

Environment& environment() {
    static Environment instance;
    return instance;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    Environment& env = environment();
    const auto security = static_cast<ListenerSecurity>(data[0] % 3);
    const size_t pieceSize = 1 + data[0] / 3;
    SmtpSession session(
        SmtpSessionSettings{security, QStringLiteral("fuzz.test"), QStringLiteral("192.0.2.1:25"),
                            64 * 1024, true, std::chrono::milliseconds(1)},
        env.spool, env.log,
        SmtpSessionHooks{[] {
                             return std::optional(
                                 DeviceLogin{QStringLiteral("copier"), QStringLiteral("secret")});
                         },
                         [] { return true; }});
    (void)session.greeting();

    bool closed = false;
    for (size_t offset = 1; offset < size && !closed; offset += pieceSize) {
        const size_t length = std::min(pieceSize, size - offset);
        SmtpSession::Output output = session.receive(
            QByteArrayView(reinterpret_cast<const char*>(data + offset), qsizetype(length)));
        while (!closed) {
            closed = output.close;
            if (output.startTls)
                session.tlsEstablished();
            if (output.commit)
                output = session.committed(SmtpSession::commit(*output.commit));
            else if (output.delay.count() > 0)
                output = session.resume();
            else
                break;
        }
    }
    for (const QString& id : env.spool.pending())
        env.spool.remove(id);
    return 0;
}
