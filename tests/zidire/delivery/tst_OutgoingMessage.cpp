#include "delivery/OutgoingMessage.h"

#include <QTest>

using namespace zidire;

namespace {

const QString relaySender = QStringLiteral("scans@example.com");

// What the provider gets for a spooled message: whole, its header section as name → unfolded
// values, and the body.
struct Parts {
    QByteArray whole;
    QMultiMap<QByteArray, QByteArray> headers;
    QByteArray body;
};

Parts prepare(const QByteArray& content, const QStringList& recipients = {"a@x.test"}) {
    const Spool::Message message{QStringLiteral("0001733471234567000"),
                                 {QStringLiteral("copier@printer.example.org"), recipients,
                                  QStringLiteral("192.0.2.7:50000"),
                                  QDateTime(QDate(2024, 12, 6), QTime(8, 30), Qt::UTC)},
                                 content};
    Parts parts{prepareForProvider(message, relaySender), {}, {}};
    const qsizetype end = parts.whole.indexOf("\r\n\r\n");
    parts.body = parts.whole.mid(end + 4);
    const QByteArray section = QByteArray(parts.whole.left(end)).replace("\r\n ", " ");
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
        const auto row = [](const char* name, const QByteArray& value,
                            const QList<QByteArray>& addresses) {
            QTest::newRow(name) << value << addresses;
        };
        row("bare", "a@x.test", {"a@x.test"});
        row("list with names", R"(Ann <a@x.test>, "Doe, Bob" <b@y.test>)",
            {"a@x.test", "b@y.test"});
        row("@ in an unquoted name", "scan@copier <scanner@example.com>", {"scanner@example.com"});
        row("@ and comma in a quoted name", R"("a@b, c" <real@example.com>)", {"real@example.com"});
        row("comment", "c@z.test (Copier, 2nd floor)", {"c@z.test"});
        row("group", "Team: a@x.test, b@y.test;, c@z.test", {"a@x.test", "b@y.test", "c@z.test"});
        row("empty group", "undisclosed-recipients:;", {});
        row("no address", "copier", {});
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
        const auto row = [](const char* name, const QByteArray& content,
                            const QStringList& recipients, const QByteArray& replyTo,
                            const QByteArray& bcc, const QByteArray& body = "x\r\n") {
            QTest::newRow(name) << content << recipients << replyTo << bcc << body;
        };
        const QByteArray envelopeSender = "copier@printer.example.org";
        const QStringList one{"a@x.test"};

        row("real sender kept as Reply-To",
            "From: Copier <scan@printer.example.org>\r\nTo: a@x.test\r\nSubject: Scan\r\n\r\nx\r\n",
            one, "scan@printer.example.org", "");
        row("placeholder sender dropped", "From: scanner@192.168.1.20\r\nTo: a@x.test\r\n\r\nx\r\n",
            one, "", "");
        row("host-only sender dropped", "From: copier@localhost\r\nTo: a@x.test\r\n\r\nx\r\n", one,
            "", "");
        row("whitespace before the colon",
            "From : scan@printer.example.org\r\nSubject\t: Scan\r\nTo: a@x.test\r\n\r\nx\r\n", one,
            "scan@printer.example.org", "");
        row("existing Reply-To wins",
            "From: scan@printer.example.org\r\nReply-To: desk@x.test\r\nTo: a@x.test\r\n\r\nx\r\n",
            one, "desk@x.test", "");
        row("envelope-only recipients as Bcc, case-insensitive match",
            "From: s@printer.example.org\r\nTo: A@X.test\r\nCc: b@y.test\r\n\r\nx\r\n",
            {"a@x.test", "b@y.test", "hidden@z.test", "also@z.test"}, "s@printer.example.org",
            "hidden@z.test, also@z.test");
        row("copier's own Bcc merged into one field", "To: a@x.test\r\nBcc: b@y.test\r\n\r\nx\r\n",
            {"a@x.test", "b@y.test", "c@z.test"}, envelopeSender, "b@y.test, c@z.test");
        row("no headers: the envelope sender and recipients", "Scanned page attached.\r\n", one,
            envelopeSender, "a@x.test", "Scanned page attached.\r\n");
        row("no empty line after the headers", "To: a@x.test\r\nthis line is text\r\n", one,
            envelopeSender, "", "this line is text\r\n");
        row("8-bit text passes unchanged",
            "To: a@x.test\r\nSubject: Pr\xc3\xbc"
            "fbericht\r\n\r\nGr\xfc\xdf\x65\r\n",
            one, envelopeSender, "", "Gr\xfc\xdf\x65\r\n");
    }

    void preparation() {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, recipients);
        QFETCH(QByteArray, replyTo);
        QFETCH(QByteArray, bcc);
        QFETCH(QByteArray, body);

        const Parts parts = prepare(content, recipients);
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
    }

    void dateAndMessageIdAddedOnlyWhenMissing() {
        const Parts bare = prepare("To: a@x.test\r\n\r\nx\r\n");
        QCOMPARE(bare.headers.value("date"), QByteArray("06 Dec 2024 08:30:00 +0000"));
        // The same id for the same spooled message: a resend after a crash is one message.
        QCOMPARE(bare.headers.value("message-id"),
                 QByteArray("<zidire.0001733471234567000@example.com>"));

        const Parts given =
            prepare("Date: Fri, 6 Dec 2024 09:00:00 +0100\r\nMessage-ID: <1@printer>\r\n\r\nx\r\n");
        QCOMPARE(given.headers.values("date"), QList<QByteArray>{"Fri, 6 Dec 2024 09:00:00 +0100"});
        QCOMPARE(given.headers.values("message-id"), QList<QByteArray>{"<1@printer>"});
    }

    void manyEnvelopeRecipientsFoldedIntoShortLines() {
        QStringList recipients;
        for (int i = 0; i < 300; ++i)
            recipients.append(QStringLiteral("recipient-%1@example.org").arg(i));
        const Parts parts = prepare("x\r\n", recipients);
        for (const QByteArray& line : parts.whole.split('\n'))
            QVERIFY(line.size() <= 998);
        QCOMPARE(addressesIn(parts.headers.value("bcc")).size(), 300);
    }
};

QTEST_GUILESS_MAIN(OutgoingMessageTest)
#include "tst_OutgoingMessage.moc"
