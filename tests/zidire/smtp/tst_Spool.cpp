#include "OpenFiles.h"
#include "fs/DurableFile.h"
#include "log/Log.h"
#include "spool/FreeSpace.h"
#include "spool/Spool.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace zidire;

class SpoolTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_directory;
    std::unique_ptr<Log> m_log;

    QString spoolPath() const { return m_directory.filePath(QStringLiteral("spool")); }
    QStringList files() const { return QDir(spoolPath()).entryList(QDir::Files, QDir::Name); }

    static Envelope envelope(const QString& from = QStringLiteral("scan@copier.test")) {
        return {from,
                {QStringLiteral("a@example.test"), QStringLiteral("b@example.test")},
                QStringLiteral("192.0.2.7:4000"),
                QDateTime(QDate(2026, 3, 1), QTime(8, 30, 15, 250), Qt::UTC)};
    }

    static QString store(Spool& spool, const QByteArray& content, const Envelope& e = envelope()) {
        const auto writer = spool.begin(e);
        writer->write(content.constData(), content.size());
        return writer->commit();
    }

    static void writeFile(const QString& path, const QByteArray& bytes) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

private Q_SLOTS:
    void init() {
        QDir(spoolPath()).removeRecursively();
        m_log = std::make_unique<Log>(m_directory.filePath(QStringLiteral("zidire.log")), false);
    }

    // What was stored reads back as it was; a file without an envelope line doesn't read at all.
    void roundTripsEnvelopeAndContent() {
        Spool spool(spoolPath(), *m_log);
        const char raw[] = "Subject: x\r\n\r\n{\"not\": \"an envelope\"}\n\0binary";
        const QByteArray content(raw, sizeof raw - 1);
        const QString id = store(spool, content, envelope(QString()));
        const Spool::Message message = spool.read(id);
        QCOMPARE(message.content, content);
        QCOMPARE(message.envelope.mailFrom, QString());
        QCOMPARE(message.envelope.recipients, envelope().recipients);
        QCOMPARE(message.envelope.clientAddress, envelope().clientAddress);
        QCOMPARE(message.envelope.receivedAt, envelope().receivedAt);
        QCOMPARE(QFile::permissions(spoolPath() + "/msg-" + id + ".eml") & 0x0077, 0);

        const QString unreadable = QStringLiteral("0000000000000000042");
        writeFile(spoolPath() + "/msg-" + unreadable + ".eml", "no envelope here");
        QVERIFY_THROWS_EXCEPTION(DurableFileError, spool.read(unreadable));
    }

    // A message is either fully there under its final name or not there at all; an abandoned one
    // leaves nothing.
    void visibleOnlyOnceCommitted() {
        Spool spool(spoolPath(), *m_log);
        const auto writer = spool.begin(envelope());
        writer->write("Subject: x\r\n", 12);
        QCOMPARE(openFileSizesIn(spoolPath()).size(), 1);
        QVERIFY(files().filter(QStringLiteral("msg-")).isEmpty());
        QVERIFY(spool.pending().isEmpty());
        QCOMPARE(spool.depth(), 0);

        const QString id = writer->commit();
        QCOMPARE(files(), QStringList{"msg-" + id + ".eml"});
        spool.begin(envelope())->write("partial", 7);
        QCOMPARE(files(), QStringList{"msg-" + id + ".eml"});
        QVERIFY(openFileSizesIn(spoolPath()).isEmpty());
        QCOMPARE(spool.pending(), QStringList{id});
        QCOMPARE(spool.depth(), 1);
    }

    // In arrival order, each under its own id. After a crash: unfinished files go, finished ones
    // stay queued, unknown files are left alone, and new ids sort after everything already there,
    // even one stamped in the future.
    void arrivalOrderAcrossARestart() {
        QStringList ids;
        {
            Spool spool(spoolPath(), *m_log);
            for (int i = 0; i < 50; ++i)
                ids.append(store(spool, QByteArray::number(i)));
            QCOMPARE(spool.pending(), ids);
        }
        const QString future = QStringLiteral("9000000000000000000");
        writeFile(spoolPath() + "/tmp-0000000000000000001", "cut off");
        writeFile(spoolPath() + "/tmp-0000000000000000002", ""); // made ahead, never used
        writeFile(spoolPath() + "/msg-" + future + ".eml",
                  "{\"mailFrom\":\"\",\"recipients\":[]}\nlate");
        writeFile(spoolPath() + "/notes.txt", "someone else's");

        Spool spool(spoolPath(), *m_log);
        QCOMPARE(spool.depth(), 51);
        QVERIFY(!files().contains(QStringLiteral("tmp-0000000000000000001")));
        QVERIFY(!files().contains(QStringLiteral("tmp-0000000000000000002")));
        QVERIFY(files().contains(QStringLiteral("notes.txt")));
        QVERIFY(m_log->tail().contains(QStringLiteral("removed 1 incomplete message")));
        const QString next = store(spool, "next");
        QCOMPARE(spool.pending(), ids + QStringList({future, next}));
        QCOMPARE(spool.read(ids[17]).content, QByteArray("17"));
    }

    // A file made ahead of need takes its id when its message begins, so ids keep the order of
    // arrival; text written in pieces large and small, reads back whole and is counted.
    void preparedFiles() {
        Spool spool(spoolPath(), *m_log);
        QVERIFY(!spool.beginPrepared(envelope()));
        spool.prepare();
        QCOMPARE(openFileSizesIn(spoolPath()), QList<qint64>(Spool::maxPrepared, 0));
        const auto first = spool.begin(envelope());
        const auto second = spool.beginPrepared(envelope());
        QVERIFY(second);
        const QByteArray large(100 * 1024, 'L');
        for (const QByteArray& piece : {QByteArray("small "), large, QByteArray(" end")})
            second->write(piece.constData(), piece.size());
        QCOMPARE(second->size(), 6 + large.size() + 4);
        const QString secondId = second->commit();
        const QString firstId = first->commit();
        QCOMPARE(spool.pending(), (QStringList{firstId, secondId}));
        QCOMPARE(spool.read(secondId).content, "small " + large + " end");
    }

    // Removed for the failed folder or delivered: out of the queue at once, counted once. A
    // delivered one's file goes with the next purge, which also finishes one that a previous run
    // left half done.
    void removedAndDelivered() {
        Spool spool(spoolPath(), *m_log);
        const QString failed = store(spool, "x"), delivered = store(spool, "y"),
                      last = store(spool, "z");
        spool.remove(failed);
        QVERIFY_THROWS_EXCEPTION(DurableFileError, spool.remove(failed));
        spool.removeDelivered(delivered);
        QCOMPARE(spool.pending(), QStringList{last});
        QCOMPARE(spool.depth(), 1);
        QVERIFY(QDir().mkpath(spoolPath() + "/purging"));
        writeFile(spoolPath() + "/purging/msg-0000000000000000001.eml", "left by a crash");
        spool.purgeDelivered();
        QCOMPARE(QDir(spoolPath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{"msg-" + last + ".eml"});
        // Its directory went with the purge.
        spool.removeDelivered(last);
        QCOMPARE(spool.depth(), 0);
        QCOMPARE(Spool(spoolPath(), *m_log).depth(), 0);
        QVERIFY_THROWS_EXCEPTION(DurableFileError, spool.removeDelivered(last));
    }

    // Read again when its reading is too old or much has been stored since, else from memory.
    void freeSpaceIsReadAgainOnlyWhenStale() {
        const QString directory = m_directory.filePath(QStringLiteral("space"));
        QVERIFY(QDir().mkpath(directory));
        FreeSpace lasting(directory, std::chrono::hours(1));
        FreeSpace fresh(directory, std::chrono::milliseconds(0));
        QVERIFY(lasting.bytesAvailable() && fresh.bytesAvailable());
        QVERIFY(QDir(directory).removeRecursively()); // unreadable from now on
        QVERIFY(lasting.bytesAvailable());
        QVERIFY(!fresh.bytesAvailable());
        lasting.stored(FreeSpace::rereadAfterBytes / 2);
        QVERIFY(lasting.bytesAvailable());
        lasting.stored(FreeSpace::rereadAfterBytes / 2);
        QVERIFY(!lasting.bytesAvailable());
    }
};

QTEST_GUILESS_MAIN(SpoolTest)
#include "tst_Spool.moc"
