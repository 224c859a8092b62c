#include "control/ControlSocketFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace zidire;

namespace {

mode_t modeOf(const QString& path) {
    struct stat info {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

} // namespace

// The local mode and a stale or live socket are seen through a real zidire; this is the rest.
class ControlSocketFileTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void systemModeLetsAnyLocalUserConnect() {
        QTemporaryDir home;
        const QString created = home.filePath("moxtrel");
        ControlSocketFile socket(created + "/control.sock", SocketAccess::anyLocalUser);
        QCOMPARE(modeOf(socket.path()), 0666u);
        QCOMPARE(modeOf(created), 0755u);

        // A directory that was there already keeps its permissions.
        QCOMPARE(::chmod(QFile::encodeName(home.path()).constData(), 0711), 0);
        ControlSocketFile inExisting(home.filePath("other.sock"), SocketAccess::anyLocalUser);
        QCOMPARE(modeOf(home.path()), 0711u);
    }

    void leavesAFileThatIsNotASocket() {
        QTemporaryDir home;
        const QString path = home.filePath("control.sock");
        QFile regular(path);
        QVERIFY(regular.open(QIODevice::WriteOnly));
        QVERIFY_THROWS_EXCEPTION(ControlSocketError,
                                 ControlSocketFile(path, SocketAccess::ownerOnly));
        QVERIFY(regular.exists());
    }
};

QTEST_GUILESS_MAIN(ControlSocketFileTest)
#include "tst_ControlSocketFile.moc"
