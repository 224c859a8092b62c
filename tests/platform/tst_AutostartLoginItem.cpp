#include "AutostartLoginItem.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

Q_DECLARE_METATYPE(ServiceStatus)

namespace {

// For the test's life XDG_CONFIG_HOME is a temporary directory: the login item's default place.
struct Fixture {
    QTemporaryDir home;
    QByteArray savedConfigHome = qgetenv("XDG_CONFIG_HOME");

    Fixture() { qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path())); }
    ~Fixture() { qputenv("XDG_CONFIG_HOME", savedConfigHome); }

    AutostartLoginItem item(const QString& program = "/usr/bin/moxtrel") const {
        return AutostartLoginItem(AutostartLocation::forUser(program));
    }
    QString entryPath() const { return home.filePath("autostart/moxtrel.desktop"); }
    QByteArray entry() const {
        QFile file(entryPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

std::optional<QString> failureOf(const std::function<void()>& change) {
    try {
        change();
        return std::nullopt;
    } catch (const ServiceManagementError& error) {
        return error.localizedDescription();
    }
}

} // namespace

class AutostartLoginItemTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void registerWritesTheEntryAndUnregisterRemovesIt() {
        Fixture f;
        AutostartLoginItem item = f.item();
        QCOMPARE(item.status(), ServiceStatus::notRegistered);

        item.registerService();
        QCOMPARE(item.status(), ServiceStatus::enabled);
        QCOMPARE(f.entry(), "[Desktop Entry]\n"
                            "Type=Application\n"
                            "Name=Moxtrel\n"
                            "Comment=Scan-to-email relay for copiers and scanners\n"
                            "Exec=/usr/bin/moxtrel\n"
                            "Terminal=false\n"
                            "X-GNOME-Autostart-Delay=5\n"
                            "X-KDE-autostart-after=panel\n"
                            "X-LXQt-Need-Tray=true\n");

        item.unregisterService();
        QVERIFY(!QFile::exists(f.entryPath()));
        QCOMPARE(item.status(), ServiceStatus::notRegistered);
        QCOMPARE(failureOf([&] { item.unregisterService(); }), std::nullopt);
    }

    void programPathIsQuotedAsTheFormatAsks_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QByteArray>("exec");
        QTest::newRow("plain") << "/opt/moxtrel-1.0/bin/moxtrel"
                               << QByteArray("Exec=/opt/moxtrel-1.0/bin/moxtrel\n");
        QTest::newRow("space") << "/home/a b/moxtrel" << QByteArray("Exec=\"/home/a b/moxtrel\"\n");
        QTest::newRow("shell characters") << "/x/$HOME`id`\"q\"\\/m"
                                          << QByteArray("Exec=\"/x/\\\\$HOME\\\\`id\\\\`\\\\\"q"
                                                        "\\\\\"\\\\\\\\/m\"\n");
        QTest::newRow("percent") << "/x/100%/m" << QByteArray("Exec=/x/100%%/m\n");
    }

    void programPathIsQuotedAsTheFormatAsks() {
        QFETCH(QString, program);
        QFETCH(QByteArray, exec);
        Fixture f;
        f.item(program).registerService();
        QVERIFY2(f.entry().contains(exec), f.entry().constData());
    }

    void statusOfEntriesFoundThere_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<ServiceStatus>("status");
        const QByteArray entry = "[Desktop Entry]\nType=Application\nExec=/usr/bin/moxtrel\n";
        QTest::newRow("entry") << entry << ServiceStatus::enabled;
        QTest::newRow("hidden") << entry + "Hidden = true\n" << ServiceStatus::notRegistered;
        QTest::newRow("not hidden") << entry + "Hidden=false\n" << ServiceStatus::enabled;
        QTest::newRow("hidden elsewhere") << entry + "[Desktop Action x]\nHidden=true\n"
                                          << ServiceStatus::enabled;
        // Desktops skip an entry without a command: it starts nothing, so it is not enabled.
        QTest::newRow("half-written")
            << QByteArray("[Desktop Entry]\nType=Applic") << ServiceStatus::notRegistered;
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe[\n=\x01", 7)
                                << ServiceStatus::notRegistered;
    }

    void statusOfEntriesFoundThere() {
        QFETCH(QByteArray, text);
        QFETCH(ServiceStatus, status);
        Fixture f;
        QVERIFY(QDir().mkpath(f.home.filePath("autostart")));
        QFile file(f.entryPath());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
        file.close();

        AutostartLoginItem item = f.item();
        QCOMPARE(item.status(), status);
        item.registerService();
        QCOMPARE(item.status(), ServiceStatus::enabled);
    }

    void whatCannotBeAnEntryIsNotEnabledAndNeverBlocks() {
        Fixture f;
        QVERIFY(QDir().mkpath(f.home.filePath("autostart")));
        // A reader would wait forever on a FIFO with no writer.
        QCOMPARE(::mkfifo(QFile::encodeName(f.entryPath()).constData(), 0600), 0);
        QCOMPARE(f.item().status(), ServiceStatus::notRegistered);
        QVERIFY(QFile::remove(f.entryPath()));

        QVERIFY(QDir().mkpath(f.entryPath()));
        QCOMPARE(f.item().status(), ServiceStatus::notRegistered);
        const std::optional<QString> failure = failureOf([&] { f.item().unregisterService(); });
        QVERIFY(failure &&
                failure->startsWith("can't remove the autostart entry " + f.entryPath()));
    }

    void unwritableAutostartFolderIsAClearFailure() {
        Fixture f;
        QFile blocker(f.home.filePath("autostart"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        QCOMPARE(failureOf([&] { f.item().registerService(); }),
                 "can't create the autostart folder " + f.home.filePath("autostart"));
    }
};

QTEST_GUILESS_MAIN(AutostartLoginItemTest)
#include "tst_AutostartLoginItem.moc"
