#include "control/ControlSocketFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace zidire;

namespace {

mode_t modeOf(const QString& path) {
    struct stat info {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

// A socket file nobody listens on any more, as a crashed zidire leaves it.
void leaveStaleSocket(const QString& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = QFile::encodeName(path);
    std::memcpy(address.sun_path, bytes.constData(), size_t(bytes.size()));
    QCOMPARE(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
}

QString failureOf(const QString& path) {
    try {
        ControlSocketFile socket(path, SocketAccess::ownerOnly);
    } catch (const ControlSocketError& error) {
        return QString::fromUtf8(error.what());
    }
    return {};
}

} // namespace

Q_DECLARE_METATYPE(SocketAccess)

class ControlSocketFileTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void permissions_data() {
        QTest::addColumn<SocketAccess>("access");
        QTest::addColumn<uint>("socketMode");
        QTest::addColumn<uint>("directoryMode");
        QTest::newRow("system service") << SocketAccess::anyLocalUser << 0666u << 0755u;
        QTest::newRow("local") << SocketAccess::ownerOnly << 0600u << 0700u;
    }

    void permissions() {
        QFETCH(SocketAccess, access);
        QFETCH(uint, socketMode);
        QFETCH(uint, directoryMode);
        QTemporaryDir home;
        const QString created = home.filePath(QStringLiteral("moxtrel"));
        ControlSocketFile socket(created + QStringLiteral("/control.sock"), access);
        QCOMPARE(modeOf(socket.path()), socketMode);
        QCOMPARE(modeOf(created), directoryMode);

        // A directory that was there already keeps its permissions.
        QCOMPARE(::chmod(QFile::encodeName(home.path()).constData(), 0711), 0);
        ControlSocketFile inExisting(home.filePath(QStringLiteral("other.sock")), access);
        QCOMPARE(modeOf(home.path()), 0711u);
    }

    void whatIsAlreadyThere() {
        QTemporaryDir home;
        const QString path = home.filePath(QStringLiteral("control.sock"));

        leaveStaleSocket(path);
        std::optional<ControlSocketFile> first(std::in_place, path, SocketAccess::ownerOnly);
        QVERIFY(failureOf(path).startsWith(QStringLiteral("another zidire is already running")));
        first.reset();
        QVERIFY2(!QFile::exists(path), "removed on shutdown");

        QFile regular(path);
        QVERIFY(regular.open(QIODevice::WriteOnly));
        QVERIFY(failureOf(path).contains(QStringLiteral("isn't a socket")));
        QVERIFY2(QFile::exists(path), "a file that isn't a socket stays");
    }

    // A socket that replaced ours (after someone removed ours) isn't removed on our shutdown.
    void removesOnlyItsOwnFile() {
        QTemporaryDir home;
        const QString path = home.filePath(QStringLiteral("control.sock"));
        std::optional<ControlSocketFile> replaced(std::in_place, path, SocketAccess::ownerOnly);
        QVERIFY(QFile::remove(path));
        ControlSocketFile replacement(path, SocketAccess::ownerOnly);
        replaced.reset();
        QVERIFY(QFileInfo::exists(path));
    }
};

QTEST_GUILESS_MAIN(ControlSocketFileTest)
#include "tst_ControlSocketFile.moc"
