// Feeds arbitrary client bytes to an SMTP session on any of the three kinds of listener, carrying
// out delays, STARTTLS, spool file creation and commits the way the connection does, twice: once
// in one piece and once cut where the fuzzer chooses. The replies must be the same, since the
// network may cut the bytes anywhere; a difference aborts.
//
// Input: the first byte picks the listener (byte % 3), the next `cutBytes` give the sizes of the
// pieces in turn (1 + byte each, repeated), the rest is what the client sends.

#include "log/Log.h"
#include "smtp/SmtpSession.h"
#include "spool/Spool.h"

#include <QDir>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace zidire;

namespace {

constexpr size_t cutBytes = 8;
// Past 1 MiB held back behind a delayed reply the session gives up, and how much it holds back
// then depends on the cuts.
constexpr size_t maxInput = 512 * 1024;

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

// All replies to `input`, sent in pieces of the sizes in `pieceSizes` (all at once when it is
// empty). Message ids become "ID", since each run queues messages of its own.
QByteArray converse(ListenerSecurity security, QByteArrayView input, QByteArrayView pieceSizes) {
    Environment& env = environment();
    SmtpSession session(
        SmtpSessionSettings{security, QStringLiteral("fuzz.test"), QStringLiteral("192.0.2.1:25"),
                            64 * 1024, true, std::chrono::milliseconds(1)},
        env.spool, env.log,
        SmtpSessionHooks{[] {
                             return std::optional(
                                 DeviceLogin{QStringLiteral("copier"), QStringLiteral("secret")});
                         },
                         [] { return true; }, [] { return true; }, [] {}});
    (void)session.greeting();

    QByteArray replies;
    bool closed = false;
    for (qsizetype offset = 0, piece = 0; offset < input.size() && !closed; ++piece) {
        const qsizetype length =
            pieceSizes.isEmpty()
                ? input.size()
                : std::min<qsizetype>(
                      1 + static_cast<unsigned char>(pieceSizes[piece % pieceSizes.size()]),
                      input.size() - offset);
        SmtpSession::Output output = session.receive(input.sliced(offset, length));
        offset += length;
        while (true) {
            for (const QString& id : std::as_const(output.accepted))
                output.reply.replace(id.toLatin1(), "ID");
            replies += output.reply;
            closed = closed || output.close;
            if (closed)
                break;
            if (output.startTls)
                session.tlsEstablished();
            if (output.open)
                output = session.opened(output.open());
            else if (output.commit)
                output = session.committed(SmtpSession::commit(*output.commit));
            else if (output.delay.count() > 0)
                output = session.resume();
            else
                break;
        }
    }
    return replies;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size <= cutBytes || size > maxInput)
        return 0;
    const auto security = static_cast<ListenerSecurity>(data[0] % 3);
    const auto bytes = reinterpret_cast<const char*>(data);
    const QByteArrayView pieceSizes(bytes + 1, qsizetype(cutBytes));
    const QByteArrayView input(bytes + 1 + cutBytes, qsizetype(size - 1 - cutBytes));

    const QByteArray whole = converse(security, input, {});
    const QByteArray inPieces = converse(security, input, pieceSizes);
    // Except for STARTTLS, which is refused when commands came with it: the cut decides that.
    if (security != ListenerSecurity::startTls && whole != inPieces) {
        std::fprintf(stderr, "replies depend on the cuts:\n--- whole\n%s\n--- in pieces\n%s\n",
                     whole.constData(), inPieces.constData());
        std::abort();
    }
    Environment& env = environment();
    for (const QString& id : env.spool.pending())
        env.spool.remove(id);
    return 0;
}
