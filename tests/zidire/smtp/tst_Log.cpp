#include "log/Log.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace zidire;

namespace {

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class LogTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_directory;

    QString logPath() const { return m_directory.filePath(QStringLiteral("zidire.log")); }

private Q_SLOTS:
    void init() {
        QFile::remove(logPath());
        QFile::remove(logPath() + ".1");
    }

    // Each line is 75 bytes: with 1000 bytes per file, lines 0-13 and then 14-27 were rotated out
    // (the second replacing the first), 28 and 29 are in the file.
    void tailReadsAcrossTheRotation_data() {
        QTest::addColumn<qint64>("maxBytes");
        QTest::addColumn<int>("firstLine");
        QTest::newRow("all of both files") << qint64(4000) << 14;
        QTest::newRow("cut inside the rotated file") << qint64(400) << 25;
        QTest::newRow("cut inside the file") << qint64(100) << 29;
    }

    void tailReadsAcrossTheRotation() {
        QFETCH(qint64, maxBytes);
        QFETCH(int, firstLine);
        Log log(logPath(), false, 1000);
        for (int i = 0; i < 30; ++i)
            log.info(QStringLiteral("line %1 ").arg(i, 2, 10, QLatin1Char('0')) +
                     QString(40, u'x'));
        QCOMPARE(fileBytes(logPath()).count('\n'), 2);
        QCOMPARE(fileBytes(logPath() + ".1").count('\n'), 14);

        const QString tail = log.tail(maxBytes);
        QVERIFY(tail.size() <= maxBytes);
        QStringList expected;
        for (int i = firstLine; i < 30; ++i)
            expected.append(QStringLiteral("info line %1 ").arg(i, 2, 10, QLatin1Char('0')) +
                            QString(40, u'x'));
        QStringList lines = tail.split(u'\n', Qt::SkipEmptyParts);
        static const QRegularExpression time(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT[\\d:]{8}Z "));
        for (QString& line : lines) {
            QVERIFY2(time.match(line).hasMatch(), qPrintable(line));
            line.remove(time);
        }
        QCOMPARE(lines, expected);
    }

    // Wherever a secret turns up, even in a message that was never meant to hold it.
    void secretsMasked() {
        Log log(logPath(), false);
        log.addSecret(QStringLiteral("s3cret-token"));
        log.addSecret(QString());
        log.addSecret(QStringLiteral("access-1"));
        log.removeSecret(QStringLiteral("access-1"));
        log.error(QStringLiteral("refresh with s3cret-token failed:\nsaid s3cret-token, access-1"));
        const QByteArray line = fileBytes(logPath());
        QVERIFY2(line.endsWith(" error refresh with ‹redacted› failed: said ‹redacted›, "
                               "access-1\n"),
                 line.constData());
        QCOMPARE(log.tail(), QString::fromUtf8(line));
    }
};

QTEST_GUILESS_MAIN(LogTest)
#include "tst_Log.moc"
