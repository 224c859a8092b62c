#include "log/Log.h"
#include "store/ProviderEndpoints.h"
#include "store/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace zidire;

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

uint modeOf(const QString& path) {
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 0777;
}

} // namespace

class SettingsStoreTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() {
        m_dir.emplace();
        m_log.emplace(m_dir->filePath(QStringLiteral("zidire.log")), false);
    }

    void savedRecordsReadBack() {
        Settings settings;
        settings.provider = QStringLiteral("gmail");
        settings.listenHost = QStringLiteral("192.168.1.5");
        settings.allowLegacyTls = true;
        settings.gmailBase = QStringLiteral("http://127.0.0.1:9/gmail");
        Secrets secrets;
        secrets.refreshToken = QStringLiteral("rt");
        secrets.devicePassword = QStringLiteral("pw");
        {
            SettingsStore store(m_dir->path(), *m_log);
            QCOMPARE(store.settings(), Settings{});
            store.save(settings);
            store.save(secrets);
        }
        SettingsStore reloaded(m_dir->path(), *m_log);
        QCOMPARE(reloaded.settings(), settings);
        QCOMPARE(reloaded.secrets(), secrets);
        for (const char* name : {SettingsStore::settingsFileName, SettingsStore::secretsFileName})
            QCOMPARE(modeOf(m_dir->filePath(QLatin1String(name))), 0600u);
    }

    void unreadableFileMovedAside_data() {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("reason");
        QTest::newRow("settings cut short") << SettingsStore::settingsFileName
                                            << QByteArray(R"({"provider":"gm)") << "not valid JSON";
        QTest::newRow("settings not an object")
            << SettingsStore::settingsFileName << QByteArray("[]") << "not a JSON object";
        QTest::newRow("setting of the wrong type")
            << SettingsStore::settingsFileName << QByteArray(R"({"allow_legacy_tls":"yes"})")
            << "\"allow_legacy_tls\" isn't true or false";
        QTest::newRow("empty secrets")
            << SettingsStore::secretsFileName << QByteArray() << "not valid JSON";
    }

    // Started from defaults, with the unreadable bytes kept beside for someone to look at.
    void unreadableFileMovedAside() {
        QFETCH(QString, fileName);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, reason);
        writeFile(m_dir->filePath(fileName), bytes);

        SettingsStore store(m_dir->path(), *m_log);
        QCOMPARE(store.settings(), Settings{});
        QCOMPARE(store.secrets(), Secrets{});
        QVERIFY(!QFile::exists(m_dir->filePath(fileName)));
        const QStringList aside =
            QDir(m_dir->path()).entryList({fileName + QStringLiteral(".corrupt-*")});
        QCOMPARE(aside.size(), 1);
        QCOMPARE(readFile(m_dir->filePath(aside.first())), bytes);
        const QString log = m_log->tail();
        QVERIFY2(log.contains(reason) && log.contains(aside.first()), qPrintable(log));
    }

    void secretsMaskedInTheLog() {
        Secrets secrets;
        secrets.devicePassword = QStringLiteral("pw-on-file");
        {
            SettingsStore store(m_dir->path(), *m_log);
            store.save(secrets);
            secrets.refreshToken = QStringLiteral("rt-just-saved");
            store.save(secrets);
            m_log->info(QStringLiteral("rt-just-saved was saved"));
        }
        Log freshLog(m_dir->filePath(QStringLiteral("fresh.log")), false);
        SettingsStore reloaded(m_dir->path(), freshLog);
        freshLog.info(QStringLiteral("loaded pw-on-file"));
        QVERIFY(!m_log->tail().contains(QStringLiteral("rt-just-saved")));
        QVERIFY(!freshLog.tail().contains(QStringLiteral("pw-on-file")));
    }

    void providerEndpoints_data() {
        QTest::addColumn<QString>("inSettings");
        QTest::addColumn<QByteArray>("inEnvironment");
        QTest::addColumn<QString>("expected");
        QTest::newRow("real host") << QString() << QByteArray() << "https://graph.microsoft.com";
        QTest::newRow("settings") << "http://127.0.0.1:1/graph" << QByteArray()
                                  << "http://127.0.0.1:1/graph";
        QTest::newRow("environment wins")
            << "http://127.0.0.1:1/graph" << QByteArray("http://127.0.0.1:2/graph")
            << "http://127.0.0.1:2/graph";
    }

    void providerEndpoints() {
        QFETCH(QString, inSettings);
        QFETCH(QByteArray, inEnvironment);
        QFETCH(QString, expected);
        qputenv("ZIDIRE_GRAPH_BASE", inEnvironment);
        Settings settings;
        settings.graphBase = inSettings;
        const ProviderEndpoints endpoints = zidire::providerEndpoints(settings);
        qunsetenv("ZIDIRE_GRAPH_BASE");
        QCOMPARE(endpoints.graphBase, expected);
        QCOMPARE(endpoints.microsoftLoginBase, QStringLiteral("https://login.microsoftonline.com"));
    }

private:
    std::optional<QTemporaryDir> m_dir;
    std::optional<Log> m_log;
};

QTEST_GUILESS_MAIN(SettingsStoreTest)
#include "tst_SettingsStore.moc"
