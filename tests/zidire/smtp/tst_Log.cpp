#include "delivery/ProviderReplies.h"
#include "log/Log.h"
#include "log/LogText.h"

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

    void oneMessageCannotFillTheTail() {
        Log log(logPath(), false);
        log.info(QString(100'000, u'x'));
        const QString line = log.tail();
        QVERIFY(line.size() < 2100 && line.endsWith(u"x…\n"));
    }

    // A provider's error text cannot start a line of its own nor fill in the line's own fields.
    void providerErrorStaysInItsPlace() {
        Log log(logPath(), false);
        const HttpResponse response{400, R"({"error":{"message":"a\u2028b\rc %2"}})", {}, {}};
        log.error(QStringLiteral("not sent: %1").arg(readSendResponse(response, "Gmail")->reason));
        QVERIFY(log.tail().endsWith(
            u" error not sent: Gmail refused the message: a\\u2028b\\x0dc %2 (HTTP 400)\n"));
    }

    void logText_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("logged");
        QTest::newRow("CR, LF") << QByteArray("a\r\nb") << "a\\x0d\\x0ab";
        QTest::newRow("line and paragraph separators")
            << QByteArray("a\u2028b\u2029") << "a\\u2028b\\u2029";
        QTest::newRow("placeholders") << QByteArray("<%3%1@x>") << "<%3%1@x>";
        QTest::newRow("invalid UTF-8")
            << QByteArray("\xc3(\xed\xa0\x80é") << "\\xc3(\\xed\\xa0\\x80é";
        QTest::newRow("a backslash apart from escapes") << QByteArray("\\x0a") << "\\\\x0a";
        QTest::newRow("the cut") << QByteArray(300, 'y') << QString(256, u'y') + u'…';
    }

    // A client's text in a log line: escaped once, then formatted in one step with the others.
    void logText() {
        QFETCH(QByteArray, text);
        QFETCH(QString, logged);
        QCOMPARE(QStringLiteral("%1 %2").arg(zidire::logText(text), QStringLiteral("end")),
                 logged + QStringLiteral(" end"));
    }
};

QTEST_GUILESS_MAIN(LogTest)
#include "tst_Log.moc"
