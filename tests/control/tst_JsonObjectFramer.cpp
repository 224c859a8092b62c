#include "JsonObjectFramer.h"

#include <QTest>

Q_DECLARE_METATYPE(JsonObjectFramer::State)

class JsonObjectFramerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void frames_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<JsonObjectFramer::State>("state");
        QTest::addColumn<qsizetype>("end");
        using S = JsonObjectFramer::State;
        QTest::newRow("leading whitespace") << QByteArray(" \n{}") << S::complete << qsizetype(4);
        QTest::newRow("bytes after the end ignored")
            << QByteArray("{}{\"x\"") << S::complete << qsizetype(2);
        QTest::newRow("braces in strings")
            << QByteArray("{\"a\":\"}{\",\"b\":\"]\"}") << S::complete << qsizetype(18);
        QTest::newRow("escaped quote in string")
            << QByteArray("{\"a\":\"\\\"}\"}") << S::complete << qsizetype(11);
        QTest::newRow("escaped backslash before quote")
            << QByteArray("{\"a\":\"\\\\\"}") << S::complete << qsizetype(10);
        QTest::newRow("nested") << QByteArray("{\"a\":{\"b\":[{}]}}") << S::complete
                                << qsizetype(16);
        QTest::newRow("half an object") << QByteArray("{\"a\":{") << S::incomplete << qsizetype(6);
        QTest::newRow("open string") << QByteArray("{\"a}") << S::incomplete << qsizetype(4);
        QTest::newRow("array is not an object") << QByteArray("[]") << S::invalid << qsizetype(1);
        QTest::newRow("garbage") << QByteArray("GET / HTTP/1.1") << S::invalid << qsizetype(1);
        QTest::newRow("too deep") << QByteArray(600, '[').prepend('{') << S::invalid
                                  << qsizetype(513);
    }

    // The same bytes must frame identically whether they arrive at once or one byte at a time.
    void frames() {
        QFETCH(QByteArray, bytes);
        QFETCH(JsonObjectFramer::State, state);
        QFETCH(qsizetype, end);

        JsonObjectFramer whole;
        QCOMPARE(whole.feed(bytes.constData(), bytes.size()), state);
        QCOMPARE(whole.endOffset(), end);

        JsonObjectFramer pieces;
        for (char c : bytes)
            pieces.feed(&c, 1);
        QCOMPARE(pieces.state(), state);
        QCOMPARE(pieces.endOffset(), end);
    }
};

QTEST_GUILESS_MAIN(JsonObjectFramerTest)
#include "tst_JsonObjectFramer.moc"
