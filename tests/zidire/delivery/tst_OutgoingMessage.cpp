#include "delivery/OutgoingMessage.h"

#include <QTest>

using namespace zidire;

namespace {

const QString relaySender = QStringLiteral("scans@example.com");

Spool::Message message(const QByteArray& content, const QStringList& recipients,
                       const QString& mailFrom = QStringLiteral("copier@printer.example.org")) {
    return {QStringLiteral("0001733471234567000"),
            {mailFrom, recipients, QStringLiteral("192.0.2.7:50000"),
             QDateTime(QDate(2024, 12, 6), QTime(8, 30), Qt::UTC)},
            content};
}

// The header section as name → unfolded values, and the body.
struct Parts {
    QMultiMap<QByteArray, QByteArray> headers;
    QByteArray body;
};

Parts split(const QByteArray& prepared) {
    Parts parts;
    const qsizetype end = prepared.indexOf("\r\n\r\n");
    parts.body = prepared.mid(end + 4);
    const QByteArray section = QByteArray(prepared.left(end)).replace("\r\n ", " ");
    for (const QByteArray& line : section.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        parts.headers.insert(line.left(colon).toLower(), line.mid(colon + 1).trimmed());
    }
    return parts;
}

} // namespace

class OutgoingMessageTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void addressesInHeaderValues_data() {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QList<QByteArray>>("addresses");
        using List = QList<QByteArray>;
        QTest::newRow("bare") << QByteArray("a@x.test") << List{"a@x.test"};
        QTest::newRow("list with names") << QByteArray(R"(Ann <a@x.test>, "Doe, Bob" <b@y.test>)")
                                         << List{"a@x.test", "b@y.test"};
        QTest::newRow("@ in an unquoted name")
            << QByteArray("scan@copier <scanner@example.com>") << List{"scanner@example.com"};
        QTest::newRow("@ and comma in a quoted name")
            << QByteArray(R"("a@b, c" <real@example.com>)") << List{"real@example.com"};
        QTest::newRow("comment") << QByteArray("c@z.test (Copier, 2nd floor)") << List{"c@z.test"};
        QTest::newRow("group") << QByteArray("Team: a@x.test, b@y.test;, c@z.test")
                               << List{"a@x.test", "b@y.test", "c@z.test"};
        QTest::newRow("empty group") << QByteArray("undisclosed-recipients:;") << List{};
        QTest::newRow("no address") << QByteArray("copier") << List{};
    }

    void addressesInHeaderValues() {
        QFETCH(QByteArray, value);
        QFETCH(QList<QByteArray>, addresses);
        QCOMPARE(addressesIn(value), addresses);
    }

    // Each row: what a copier sent, and what the provider must get.
    void preparation_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("recipients");
        QTest::addColumn<QByteArray>("replyTo"); // empty: none
        QTest::addColumn<QByteArray>("bcc");     // empty: none
        QTest::addColumn<QByteArray>("body");

        QTest::newRow("real sender kept as Reply-To")
            << QByteArray("From: Copier <scan@printer.example.org>\r\nTo: a@x.test\r\n"
                          "Subject: Scan\r\n\r\nbody\r\n")
            << QStringList{"a@x.test"} << QByteArray("scan@printer.example.org") << QByteArray()
            << QByteArray("body\r\n");
        QTest::newRow("placeholder sender dropped")
            << QByteArray("From: scanner@192.168.1.20\r\nTo: a@x.test\r\n\r\nbody\r\n")
            << QStringList{"a@x.test"} << QByteArray() << QByteArray() << QByteArray("body\r\n");
        QTest::newRow("host-only sender dropped")
            << QByteArray("From: copier@localhost\r\nTo: a@x.test\r\n\r\nx\r\n")
            << QStringList{"a@x.test"} << QByteArray() << QByteArray() << QByteArray("x\r\n");
        QTest::newRow("@ in the display name")
            << QByteArray(
                   "From: scan@copier <scan@printer.example.org>\r\nTo: a@x.test\r\n\r\nx\r\n")
            << QStringList{"a@x.test"} << QByteArray("scan@printer.example.org") << QByteArray()
            << QByteArray("x\r\n");
        QTest::newRow("existing Reply-To wins")
            << QByteArray("From: scan@printer.example.org\r\nReply-To: desk@x.test\r\n"
                          "To: a@x.test\r\n\r\nx\r\n")
            << QStringList{"a@x.test"} << QByteArray("desk@x.test") << QByteArray()
            << QByteArray("x\r\n");
        QTest::newRow("envelope-only recipients as Bcc, case-insensitive match")
            << QByteArray(
                   "From: s@printer.example.org\r\nTo: A@X.test\r\nCc: b@y.test\r\n\r\nx\r\n")
            << QStringList{"a@x.test", "b@y.test", "hidden@z.test", "also@z.test"}
            << QByteArray("s@printer.example.org") << QByteArray("hidden@z.test, also@z.test")
            << QByteArray("x\r\n");
        QTest::newRow("only Bcc recipients")
            << QByteArray("From: s@printer.example.org\r\nSubject: Scan\r\n\r\nx\r\n")
            << QStringList{"a@x.test", "b@y.test"} << QByteArray("s@printer.example.org")
            << QByteArray("a@x.test, b@y.test") << QByteArray("x\r\n");
        QTest::newRow("copier's own Bcc merged into one field")
            << QByteArray("To: a@x.test\r\nBcc: b@y.test\r\n\r\nx\r\n")
            << QStringList{"a@x.test", "b@y.test", "c@z.test"}
            << QByteArray("copier@printer.example.org") << QByteArray("b@y.test, c@z.test")
            << QByteArray("x\r\n");
        QTest::newRow("no headers: the envelope sender and recipients")
            << QByteArray("Scanned page attached.\r\n") << QStringList{"a@x.test"}
            << QByteArray("copier@printer.example.org") << QByteArray("a@x.test")
            << QByteArray("Scanned page attached.\r\n");
        QTest::newRow("no empty line after the headers")
            << QByteArray("To: a@x.test\r\nthis line is text\r\n") << QStringList{"a@x.test"}
            << QByteArray("copier@printer.example.org") << QByteArray()
            << QByteArray("this line is text\r\n");
        QTest::newRow("8-bit text passes unchanged")
            << QByteArray("To: a@x.test\r\nSubject: Pr\xc3\xbc"
                          "fbericht\r\n\r\nGr\xfc\xdf\x65\r\n")
            << QStringList{"a@x.test"} << QByteArray("copier@printer.example.org") << QByteArray()
            << QByteArray("Gr\xfc\xdf\x65\r\n");
    }

    void preparation() {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, recipients);
        QFETCH(QByteArray, replyTo);
        QFETCH(QByteArray, bcc);
        QFETCH(QByteArray, body);

        const QByteArray prepared = prepareForProvider(message(content, recipients), relaySender);
        const Parts parts = split(prepared);
        QCOMPARE(parts.headers.values("from"), QList<QByteArray>{relaySender.toUtf8()});
        QVERIFY(!parts.headers.contains("sender"));
        QCOMPARE(parts.headers.value("reply-to"), replyTo);
        QCOMPARE(parts.headers.values("bcc").size(), bcc.isEmpty() ? 0 : 1);
        QCOMPARE(parts.headers.value("bcc").replace(",", ", ").simplified(), bcc);
        QCOMPARE(parts.body, body);
        // Nothing else the copier wrote is lost.
        const QByteArray lowered = "\n" + content.toLower();
        for (const char* name : {"subject", "to", "cc"})
            QCOMPARE(parts.headers.contains(name), lowered.contains("\n" + QByteArray(name) + ':'));
        for (const QByteArray& line : prepared.split('\n'))
            QVERIFY2(line.size() <= 998, "a header line over the RFC 5322 limit");
    }

    void dateAndMessageIdAddedOnlyWhenMissing() {
        const Parts bare = split(
            prepareForProvider(message("To: a@x.test\r\n\r\nx\r\n", {"a@x.test"}), relaySender));
        QCOMPARE(bare.headers.value("date"), QByteArray("06 Dec 2024 08:30:00 +0000"));
        // The same id for the same spooled message: a resend after a crash is one message.
        QCOMPARE(bare.headers.value("message-id"),
                 QByteArray("<zidire.0001733471234567000@example.com>"));

        const Parts given = split(prepareForProvider(
            message("Date: Fri, 6 Dec 2024 09:00:00 +0100\r\nMessage-ID: <1@printer>\r\n\r\nx\r\n",
                    {"a@x.test"}),
            relaySender));
        QCOMPARE(given.headers.values("date"), QList<QByteArray>{"Fri, 6 Dec 2024 09:00:00 +0100"});
        QCOMPARE(given.headers.values("message-id"), QList<QByteArray>{"<1@printer>"});
    }

    void manyEnvelopeRecipientsFoldedIntoShortLines() {
        QStringList recipients;
        for (int i = 0; i < 300; ++i)
            recipients.append(QStringLiteral("recipient-%1@example.org").arg(i));
        const QByteArray prepared = prepareForProvider(message("x\r\n", recipients), relaySender);
        for (const QByteArray& line : prepared.split('\n'))
            QVERIFY(line.size() <= 998);
        QCOMPARE(addressesIn(split(prepared).headers.value("bcc")).size(), 300);
    }
};

QTEST_GUILESS_MAIN(OutgoingMessageTest)
#include "tst_OutgoingMessage.moc"
