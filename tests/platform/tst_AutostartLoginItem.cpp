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
};

} // namespace

class AutostartLoginItemTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void entryIsReadWrittenAndRemoved_data() {
        QTest::addColumn<QByteArray>("found"); // there before; empty: nothing
        QTest::addColumn<ServiceStatus>("foundStatus");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QByteArray>("exec");
        auto row = [](const char* name, const QByteArray& found, ServiceStatus foundStatus,
                      const QString& program = "/usr/bin/moxtrel",
                      const QByteArray& exec = "/usr/bin/moxtrel") {
            QTest::newRow(name) << found << foundStatus << program << exec;
        };
        const ServiceStatus on = ServiceStatus::enabled, off = ServiceStatus::notRegistered;
        row("plain path", {}, off, "/opt/moxtrel-1.0/bin/moxtrel", "/opt/moxtrel-1.0/bin/moxtrel");
        row("space", {}, off, "/home/a b/moxtrel", "\"/home/a b/moxtrel\"");
        row("shell characters", {}, off, "/x/$HOME`id`\"q\"\\/m",
            "\"/x/\\\\$HOME\\\\`id\\\\`\\\\\"q\\\\\"\\\\\\\\/m\"");
        row("percent", {}, off, "/x/100%/m", "/x/100%%/m");
        const QByteArray entry = "[Desktop Entry]\nType=Application\nExec=/usr/bin/moxtrel\n";
        row("entry", entry, on);
        row("hidden", entry + "Hidden = true\n", off);
        row("not hidden", entry + "Hidden=false\n", on);
        row("hidden elsewhere", entry + "[Desktop Action x]\nHidden=true\n", on);
        row("switched off in GNOME", entry + "X-GNOME-Autostart-enabled=false\n", off);
        // Desktops skip an entry without a command: it starts nothing, so it is not enabled.
        row("half-written", "[Desktop Entry]\nType=Applic", off);
    }

    void entryIsReadWrittenAndRemoved() {
        QFETCH(QByteArray, found);
        QFETCH(ServiceStatus, foundStatus);
        QFETCH(QString, program);
        QFETCH(QByteArray, exec);
        Fixture f;
        QFile file(f.entryPath());
        QVERIFY(found.isEmpty() || (QDir().mkpath(f.home.filePath("autostart")) &&
                                    file.open(QIODevice::WriteOnly) && file.write(found) > 0));
        file.close();
        AutostartLoginItem item = f.item(program);
        QCOMPARE(item.status(), foundStatus);

        item.registerService();
        QCOMPARE(item.status(), ServiceStatus::enabled);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), "[Desktop Entry]\nType=Application\nName=Moxtrel\n"
                                 "Comment=Scan-to-email relay for copiers and scanners\nExec=" +
                                     exec +
                                     "\nTerminal=false\nX-GNOME-Autostart-Delay=5\n"
                                     "X-KDE-autostart-after=panel\nX-LXQt-Need-Tray=true\n");

        item.unregisterService();
        QVERIFY(!QFile::exists(f.entryPath()));
        item.unregisterService(); // nothing left to remove is no failure
    }

    void whatCannotBeAnEntryIsNotEnabledAndFails() {
        Fixture f;
        QFile blocker(f.home.filePath("autostart"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        QVERIFY_THROWS_EXCEPTION(ServiceManagementError, f.item().registerService());
        QVERIFY(blocker.remove() && QDir().mkpath(f.home.filePath("autostart")));

        // A reader would wait forever on a FIFO with no writer.
        QCOMPARE(::mkfifo(QFile::encodeName(f.entryPath()).constData(), 0600), 0);
        QCOMPARE(f.item().status(), ServiceStatus::notRegistered);
        QVERIFY(QFile::remove(f.entryPath()) && QDir().mkpath(f.entryPath()));
        QVERIFY_THROWS_EXCEPTION(ServiceManagementError, f.item().unregisterService());
    }
};

QTEST_GUILESS_MAIN(AutostartLoginItemTest)
#include "tst_AutostartLoginItem.moc"
