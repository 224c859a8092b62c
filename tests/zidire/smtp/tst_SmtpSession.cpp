#include "log/Log.h"
#include "smtp/SmtpSession.h"
#include "spool/Spool.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace zidire;
using namespace std::chrono_literals;

namespace {

// One exchange: what the client sends in one piece, and the replies it gets, each given by its
// beginning ("250", "535 5.7.8"); a multi-line reply counts by its last line.
struct Step {
    QByteArray send;
    QStringList replies;
};
using Script = QList<Step>;

QByteArray base64(const QByteArray& text) {
    return text.toBase64();
}

const QByteArray plainCredentials = base64(QByteArray("\0copier\0secret", 14));
const QByteArray authPlain = "AUTH PLAIN " + plainCredentials + "\r\n";

// `count` text lines of `width` bytes each, CRLF included.
QByteArray textLines(int count, int width) {
    QByteArray text;
    for (int i = 0; i < count; ++i)
        text += QByteArray(width - 2, 'x') + "\r\n";
    return text;
}

QStringList finalReplyLines(const QByteArray& bytes) {
    QStringList lines;
    for (const QByteArray& line : bytes.split('\n'))
        if (line.size() >= 4 && line[3] == ' ')
            lines.append(QString::fromLatin1(line.trimmed()));
    return lines;
}

QString mismatch(const QStringList& got, const QStringList& expected) {
    if (got.size() == expected.size()) {
        bool same = true;
        for (qsizetype i = 0; i < got.size(); ++i)
            same = same && got[i].startsWith(expected[i]);
        if (same)
            return {};
    }
    return QStringLiteral("got [%1], expected [%2]")
        .arg(got.join(QStringLiteral(" | ")), expected.join(QStringLiteral(" | ")));
}

} // namespace

Q_DECLARE_METATYPE(Script)

class SmtpSessionTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_directory;
    std::unique_ptr<Log> m_log;
    std::unique_ptr<Spool> m_spool;
    std::optional<DeviceLogin> m_login;
    bool m_roomInSpool = true;

    QString spoolPath() const { return m_directory.filePath(QStringLiteral("spool")); }

    std::unique_ptr<SmtpSession> session(ListenerSecurity security = ListenerSecurity::plain,
                                         qint64 maxMessageBytes = 4096) {
        return std::make_unique<SmtpSession>(
            SmtpSessionSettings{security, QStringLiteral("relay.test"),
                                QStringLiteral("192.0.2.7:4000"), maxMessageBytes, true, 10ms},
            *m_spool, *m_log,
            SmtpSessionHooks{[this] { return m_login; }, [this] { return m_roomInSpool; }});
    }

    // Carries out delays, STARTTLS and commits as the connection would, and returns all replies.
    struct Result {
        QByteArray replies;
        bool closed = false;
        QList<std::chrono::milliseconds> delays;
        QStringList accepted;
    };
    static Result exchange(SmtpSession& session, const QByteArray& bytes) {
        Result result;
        SmtpSession::Output output = session.receive(bytes);
        while (true) {
            result.replies += output.reply;
            result.closed = result.closed || output.close;
            result.accepted += output.accepted;
            if (output.startTls)
                session.tlsEstablished();
            if (output.delay.count() > 0)
                result.delays.append(output.delay);
            if (output.close)
                return result;
            if (output.commit)
                output = session.committed(SmtpSession::commit(*output.commit));
            else if (output.delay.count() > 0)
                output = session.resume();
            else
                return result;
        }
    }

    static void run(SmtpSession& session, const Script& script) {
        for (const Step& step : script) {
            const QString problem =
                mismatch(finalReplyLines(exchange(session, step.send).replies), step.replies);
            QVERIFY2(problem.isEmpty(), qPrintable(QString::fromLatin1(step.send.left(60)) +
                                                   QStringLiteral(": ") + problem));
        }
    }

    Script authenticated() const { return {{"EHLO copier\r\n", {"250"}}, {authPlain, {"235"}}}; }
    Script inData() const {
        return authenticated() + Script{{"MAIL FROM:<scan@copier.test>\r\n", {"250"}},
                                        {"RCPT TO:<me@example.test>\r\n", {"250"}},
                                        {"DATA\r\n", {"354"}}};
    }

private Q_SLOTS:
    void init() {
        QVERIFY(m_directory.isValid());
        m_log = std::make_unique<Log>(m_directory.filePath(QStringLiteral("zidire.log")), false);
        m_spool.reset();
        QDir(spoolPath()).removeRecursively();
        m_spool = std::make_unique<Spool>(spoolPath(), *m_log);
        m_login = DeviceLogin{QStringLiteral("copier"), QStringLiteral("secret")};
        m_roomInSpool = true;
    }

    void conversations_data() {
        QTest::addColumn<int>("security");
        QTest::addColumn<Script>("script");
        const int plain = int(ListenerSecurity::plain);
        const int startTls = int(ListenerSecurity::startTls);
        const int implicitTls = int(ListenerSecurity::implicitTls);
        const Step ehlo{"EHLO copier\r\n", {"250"}};
        const Step auth{authPlain, {"235 2.7.0"}};
        const Step mail{"MAIL FROM:<scan@copier.test>\r\n", {"250 2.1.0"}};
        const Step rcpt{"RCPT TO:<me@example.test>\r\n", {"250 2.1.5"}};
        const Step data{"DATA\r\n", {"354"}};
        const auto wrongPlain = [](const QByteArray& response) {
            return Step{"AUTH PLAIN " + base64(response) + "\r\n", {"535 5.7.8"}};
        };

        // Authentication
        QTest::newRow("PLAIN, initial response") << plain << Script{ehlo, auth, mail};
        QTest::newRow("PLAIN, two steps")
            << plain
            << Script{ehlo, {"AUTH PLAIN\r\n", {"334"}}, {plainCredentials + "\r\n", {"235"}}};
        QTest::newRow("LOGIN, three steps")
            << plain
            << Script{ehlo,
                      {"AUTH LOGIN\r\n", {"334 VXNlcm5hbWU6"}},
                      {base64("copier") + "\r\n", {"334 UGFzc3dvcmQ6"}},
                      {base64("secret") + "\r\n", {"235 2.7.0"}}};
        QTest::newRow("LOGIN, user on the command line")
            << plain
            << Script{ehlo,
                      {"auth login " + base64("copier") + "\r\n", {"334 UGFzc3dvcmQ6"}},
                      {base64("secret") + "\r\n", {"235"}}};
        QTest::newRow("wrong password")
            << plain
            << Script{ehlo, wrongPlain(QByteArray("\0copier\0secreT", 14)), {mail.send, {"530"}}};
        QTest::newRow("wrong user") << plain
                                    << Script{ehlo,
                                              {"AUTH LOGIN " + base64("Copier") + "\r\n", {"334"}},
                                              {base64("secret") + "\r\n", {"535 5.7.8"}}};
        QTest::newRow("password is a prefix")
            << plain << Script{ehlo, wrongPlain(QByteArray("\0copier\0secre", 13))};
        QTest::newRow("acting for someone else")
            << plain << Script{ehlo, wrongPlain(QByteArray("boss\0copier\0secret", 18))};
        QTest::newRow("identity equal to the user")
            << plain
            << Script{ehlo,
                      {"AUTH PLAIN " + base64(QByteArray("copier\0copier\0secret", 20)) + "\r\n",
                       {"235"}}};
        QTest::newRow("cancelled")
            << plain << Script{ehlo, {"AUTH LOGIN\r\n", {"334"}}, {"*\r\n", {"501 5.7.0"}}, auth};
        QTest::newRow("not Base64") << plain << Script{ehlo, {"AUTH PLAIN %%%\r\n", {"501 5.5.2"}}};
        QTest::newRow("PLAIN without separators")
            << plain << Script{ehlo, {"AUTH PLAIN " + base64("copier") + "\r\n", {"501 5.5.2"}}};
        QTest::newRow("unknown mechanism") << plain << Script{ehlo, {"AUTH CRAM-MD5\r\n", {"504"}}};
        QTest::newRow("AUTH before EHLO") << plain << Script{{authPlain, {"503"}}};
        QTest::newRow("AUTH twice") << plain << Script{ehlo, auth, {authPlain, {"503"}}};
        QTest::newRow("MAIL before AUTH") << plain << Script{ehlo, {mail.send, {"530 5.7.0"}}};
        QTest::newRow("MAIL before EHLO") << plain << Script{{mail.send, {"503"}}};

        // TLS per listener
        QTest::newRow("STARTTLS port: AUTH before STARTTLS")
            << startTls << Script{ehlo, {authPlain, {"538 5.7.11"}}, {mail.send, {"530"}}};
        QTest::newRow("STARTTLS port: AUTH after STARTTLS")
            << startTls << Script{ehlo, {"STARTTLS\r\n", {"220"}}, ehlo, auth, mail};
        QTest::newRow("STARTTLS starts the session over")
            << startTls << Script{ehlo, {"STARTTLS\r\n", {"220"}}, {mail.send, {"503"}}};
        QTest::newRow("commands behind STARTTLS")
            << startTls
            << Script{ehlo, {"STARTTLS\r\n" + authPlain, {"554 5.5.1"}}, {"EHLO x\r\n", {}}};
        QTest::newRow("STARTTLS twice")
            << startTls << Script{ehlo, {"STARTTLS\r\n", {"220"}}, ehlo, {"STARTTLS\r\n", {"503"}}};
        QTest::newRow("STARTTLS on the plain port")
            << plain << Script{ehlo, {"STARTTLS\r\n", {"503"}}};
        QTest::newRow("implicit TLS: AUTH at once") << implicitTls << Script{ehlo, auth, mail};

        // Envelope
        QTest::newRow("HELO is enough")
            << plain << Script{{"HELO copier\r\n", {"250 relay.test"}}, auth, mail};
        QTest::newRow("EHLO without a name") << plain << Script{{"EHLO\r\n", {"501"}}};
        QTest::newRow("nested MAIL") << plain << Script{ehlo, auth, mail, {mail.send, {"503"}}};
        QTest::newRow("null reverse path, RCPT without brackets")
            << plain
            << Script{ehlo,
                      auth,
                      {"MAIL FROM:<>\r\n", {"250"}},
                      {"RCPT TO: me@example.test\r\n", {"250"}}};
        QTest::newRow("source route ignored")
            << plain
            << Script{ehlo, auth, mail, {"RCPT TO:<@relay.test:me@example.test>\r\n", {"250"}}};
        QTest::newRow("recipient without a domain")
            << plain << Script{ehlo, auth, mail, {"RCPT TO:<me>\r\n", {"501 5.1.3"}}};
        QTest::newRow("address with a space")
            << plain << Script{ehlo, auth, mail, {"RCPT TO:<m e@example.test>\r\n", {"501"}}};
        QTest::newRow("RCPT before MAIL") << plain << Script{ehlo, auth, {rcpt.send, {"503"}}};
        QTest::newRow("DATA without recipients")
            << plain << Script{ehlo, auth, mail, {data.send, {"554"}}};
        QTest::newRow("declared SIZE too large")
            << plain << Script{ehlo, auth, {"MAIL FROM:<a@b.test> SIZE=4097\r\n", {"552 5.3.4"}}};
        QTest::newRow("declared SIZE fits, 8BITMIME")
            << plain
            << Script{ehlo, auth, {"MAIL FROM:<a@b.test> SIZE=4096 BODY=8BITMIME\r\n", {"250"}}};
        QTest::newRow("unknown MAIL parameter")
            << plain << Script{ehlo, auth, {"MAIL FROM:<a@b.test> RET=FULL\r\n", {"555"}}};
        QTest::newRow("RSET ends the transaction")
            << plain << Script{ehlo, auth, mail, {"RSET\r\n", {"250"}}, {rcpt.send, {"503"}}};

        // Lines and message text
        QTest::newRow("command line of 512 bytes")
            << plain << Script{{"NOOP " + QByteArray(505, 'x') + "\r\n", {"250"}}};
        QTest::newRow("command line of 513 bytes")
            << plain
            << Script{{"NOOP " + QByteArray(506, 'x') + "\r\n", {"500 5.5.2"}},
                      {"NOOP\r\n", {"250"}}};
        QTest::newRow("endless command line in pieces") << plain
                                                        << Script{{QByteArray(400, 'x'), {}},
                                                                  {QByteArray(400, 'x'), {}},
                                                                  {"\r\nNOOP\r\n", {"500", "250"}}};
        QTest::newRow("pipelined transaction")
            << plain
            << Script{ehlo,
                      auth,
                      {mail.send + rcpt.send + data.send + "Hi\r\n.\r\nQUIT\r\n",
                       {"250", "250", "354", "250 2.0.0", "221"}}};
        QTest::newRow("text line of 1000 bytes")
            << plain
            << Script{ehlo, auth, mail, rcpt, data, {textLines(1, 1000) + ".\r\n", {"250 2.0.0"}}};
        QTest::newRow("text line of 1001 bytes")
            << plain
            << Script{ehlo, auth, mail, rcpt, data, {textLines(1, 1001) + ".\r\n", {"500 5.5.2"}},
                      mail};
        QTest::newRow("message at the size limit")
            << plain
            << Script{ehlo, auth, mail,
                      rcpt, data, {textLines(4, 1000) + textLines(1, 96) + ".\r\n", {"250"}}};
        QTest::newRow("message over the size limit")
            << plain
            << Script{ehlo, auth, mail,
                      rcpt, data, {textLines(4, 1000) + textLines(1, 97) + ".\r\n", {"552 5.3.4"}}};
        QTest::newRow("stuffed dots count once")
            << plain
            << Script{
                   ehlo,
                   auth,
                   mail,
                   rcpt,
                   data,
                   {"." + textLines(1, 999) + textLines(3, 1000) + textLines(1, 97) + ".\r\n", {"250"}}};
        QTest::newRow("bare LF before the dot does not end the text")
            << plain << Script{ehlo,
                               auth,
                               mail,
                               rcpt,
                               data,
                               {"Hi\n.\r\nRSET\r\n", {}},
                               {".\r\n", {"550 5.6.0"}}};
        QTest::newRow("bare LF after the dot does not end the text")
            << plain << Script{ehlo,
                               auth,
                               mail,
                               rcpt,
                               data,
                               {"Hi\r\n.\n.\r\n", {}},
                               {"\r\n.\r\n", {"550 5.6.0"}}};
        QTest::newRow("bare CR before the dot")
            << plain
            << Script{ehlo, auth, mail, rcpt, data, {"Hi\r.\r\n", {}}, {".\r\n", {"550 5.6.0"}}};
        QTest::newRow("bare CR in a line")
            << plain
            << Script{ehlo, auth, mail, rcpt, data, {"Hi\rthere\r\n.\r\n", {"550 5.6.0"}}, mail};

        QTest::newRow("QUIT") << plain << Script{{"QUIT\r\n", {"221"}}, {"NOOP\r\n", {}}};
        QTest::newRow("not a command") << plain << Script{{"BDAT 10 LAST\r\n", {"500 5.5.2"}}};
        QTest::newRow("bare LF ends a command")
            << plain << Script{{"NOOP\nNOOP\r\n", {"250", "250"}}};
    }

    void conversations() {
        QFETCH(int, security);
        QFETCH(Script, script);
        const auto s = session(ListenerSecurity(security));
        run(*s, script);
    }

    void advertisesWhatEachListenerAllows_data() {
        QTest::addColumn<int>("security");
        QTest::addColumn<bool>("afterStartTls");
        QTest::addColumn<bool>("startTlsOffered");
        QTest::addColumn<bool>("authOffered");
        QTest::newRow("plain") << int(ListenerSecurity::plain) << false << false << true;
        QTest::newRow("STARTTLS, before")
            << int(ListenerSecurity::startTls) << false << true << false;
        QTest::newRow("STARTTLS, after")
            << int(ListenerSecurity::startTls) << true << false << true;
        QTest::newRow("implicit TLS")
            << int(ListenerSecurity::implicitTls) << false << false << true;
    }

    void advertisesWhatEachListenerAllows() {
        QFETCH(int, security);
        QFETCH(bool, afterStartTls);
        QFETCH(bool, startTlsOffered);
        QFETCH(bool, authOffered);
        const auto s = session(ListenerSecurity(security));
        if (afterStartTls)
            exchange(*s, "EHLO a\r\nSTARTTLS\r\n");
        const QByteArray reply = exchange(*s, "EHLO copier\r\n").replies;
        QVERIFY(reply.startsWith("250-relay.test\r\n"));
        for (const char* always : {"PIPELINING", "SIZE 4096", "8BITMIME"})
            QVERIFY2(reply.contains(QByteArray("250-") + always + "\r\n"), always);
        QCOMPARE(reply.contains("STARTTLS"), startTlsOffered);
        QCOMPARE(reply.contains("-AUTH PLAIN LOGIN\r\n"), authOffered);
        QCOMPARE(reply.contains("AUTH=PLAIN LOGIN\r\n"), authOffered);
        QVERIFY(reply.endsWith("\r\n") && finalReplyLines(reply).size() == 1);
    }

    // Each failure is answered later than the one before, and the fifth ends the connection.
    void failedAuthenticationsSlowDownThenClose() {
        const auto s = session();
        exchange(*s, "EHLO copier\r\n");
        const QByteArray wrong = "AUTH PLAIN " + base64(QByteArray("\0copier\0nope", 12)) + "\r\n";
        QList<std::chrono::milliseconds> delays;
        for (int attempt = 1; attempt <= 4; ++attempt) {
            const Result result = exchange(*s, wrong);
            QCOMPARE(finalReplyLines(result.replies),
                     QStringList{"535 5.7.8 Authentication credentials invalid"});
            QVERIFY(!result.closed);
            delays += result.delays;
        }
        const Result last = exchange(*s, wrong + "NOOP\r\n");
        QVERIFY(last.closed);
        QCOMPARE(finalReplyLines(last.replies).size(), 2);
        QVERIFY(last.replies.contains("\r\n421 4.7.0"));
        delays += last.delays;
        QCOMPARE(delays, (QList<std::chrono::milliseconds>{10ms, 20ms, 30ms, 40ms, 50ms}));
        QVERIFY(exchange(*s, "NOOP\r\n").replies.isEmpty());

        const QString log = m_log->tail();
        QVERIFY(log.contains(QStringLiteral("192.0.2.7:4000")));
        QVERIFY(log.contains(QStringLiteral("refused SMTP session")));
        QVERIFY(!log.contains(QStringLiteral("nope")));
    }

    // Commands pipelined behind a failing AUTH wait for its delayed answer, in order.
    void inputDuringTheDelayWaits() {
        const auto s = session();
        exchange(*s, "EHLO copier\r\n");
        const SmtpSession::Output failed =
            s->receive("AUTH PLAIN " + base64(QByteArray("\0copier\0x", 9)) + "\r\nNOOP\r\n");
        QCOMPARE(failed.delay, 10ms);
        QVERIFY(s->receive("RSET\r\n").reply.isEmpty());
        QCOMPARE(finalReplyLines(s->resume().reply), (QStringList{"250 2.0.0 Ok", "250 2.0.0 Ok"}));
    }

    void floodDuringTheDelayCloses() {
        const auto s = session();
        exchange(*s, "EHLO copier\r\n");
        QCOMPARE(s->receive("AUTH PLAIN " + base64(QByteArray("\0copier\0x", 9)) + "\r\n").delay,
                 10ms);
        for (int i = 0; i < 17; ++i)
            QVERIFY(s->receive(QByteArray(64 * 1024, 'x')).reply.isEmpty());
        const SmtpSession::Output output = s->resume();
        QVERIFY(output.close);
        QVERIFY(output.reply.startsWith("421 4.7.0"));
    }

    // "250" comes only with the result of the commit, and commands behind the message wait.
    void acknowledgesOnlyWhatIsDurable() {
        const auto s = session();
        run(*s, inData());
        const SmtpSession::Output pending =
            s->receive("Subject: scan\r\n\r\n..leading dot\r\n.\r\nNOOP\r\n");
        QVERIFY(pending.commit);
        QVERIFY(pending.reply.isEmpty());
        QVERIFY(m_spool->pending().isEmpty());
        QVERIFY(s->receive("RSET\r\n").reply.isEmpty());

        const SmtpSession::CommitOutcome outcome = SmtpSession::commit(*pending.commit);
        QCOMPARE(m_spool->pending(), QStringList{outcome.id});
        const SmtpSession::Output done = s->committed(outcome);
        QCOMPARE(finalReplyLines(done.reply), (QStringList{"250 2.0.0 Ok: queued as " + outcome.id,
                                                           "250 2.0.0 Ok", "250 2.0.0 Ok"}));
        QCOMPARE(done.accepted, QStringList{outcome.id});
        const Spool::Message message = m_spool->read(outcome.id);
        QCOMPARE(message.content, QByteArray("Subject: scan\r\n\r\n.leading dot\r\n"));
        QCOMPARE(message.envelope.mailFrom, QStringLiteral("scan@copier.test"));
        QCOMPARE(message.envelope.recipients, QStringList{"me@example.test"});
        QCOMPARE(message.envelope.clientAddress, QStringLiteral("192.0.2.7:4000"));
        QVERIFY(m_log->tail().contains(QStringLiteral("accepted message ") + outcome.id));
    }

    // The same bytes give the same conversation however the network cuts them.
    void oneByteAtATime() {
        const QByteArray conversation = "EHLO copier\r\n" + authPlain +
                                        "MAIL FROM:<a@b.test>\r\nRCPT TO:<c@d.test>\r\nDATA\r\n"
                                        "line\r\n..dot\r\n.\r\nQUIT\r\n";
        const auto whole = session();
        const QByteArray expected = exchange(*whole, conversation).replies;
        const auto pieces = session();
        QByteArray replies;
        for (const char byte : conversation)
            replies += exchange(*pieces, QByteArray(1, byte)).replies;
        QCOMPARE(replies.replace(m_spool->pending().last().toUtf8(), "ID"),
                 QByteArray(expected).replace(m_spool->pending().first().toUtf8(), "ID"));
        QCOMPARE(m_spool->read(m_spool->pending().last()).content, QByteArray("line\r\n.dot\r\n"));
    }

    // Text arriving in pieces of any size is stored exactly, stuffed dots removed.
    void textInPiecesIsStoredExactly() {
        QByteArray sent;
        QByteArray stored;
        for (int i = 0; i < 3000; ++i) {
            const QByteArray line =
                (i % 7 == 0 ? "." : "") + QByteArray(i % 90, char('a' + i % 26)) + "\r\n";
            sent += (line.startsWith('.') ? "." : "") + line;
            stored += line;
        }
        for (const int piece : {1, 2, 77, 1000, 4096, 65536, 300000}) {
            const auto s = session(ListenerSecurity::plain, stored.size());
            run(*s, {{"EHLO a\r\n", {"250"}},
                     {authPlain, {"235"}},
                     {"MAIL FROM:<a@b.test>\r\nRCPT TO:<c@d.test>\r\nDATA\r\n",
                      {"250", "250", "354"}}});
            const QByteArray data = sent + ".\r\n";
            QStringList accepted;
            for (qsizetype offset = 0; offset < data.size(); offset += piece)
                accepted += exchange(*s, data.mid(offset, piece)).accepted;
            QCOMPARE(accepted.size(), 1);
            QCOMPARE(m_spool->read(accepted[0]).content, stored);
        }
    }

    void hundredsOfRecipients() {
        const auto s = session();
        run(*s, authenticated() + Script{{"MAIL FROM:<a@b.test>\r\n", {"250"}}});
        QByteArray rcpts;
        for (int i = 0; i < SmtpSession::maxRecipients; ++i)
            rcpts += "RCPT TO:<user" + QByteArray::number(i) + "@example.test>\r\n";
        const QStringList replies = finalReplyLines(exchange(*s, rcpts).replies);
        QCOMPARE(replies.size(), SmtpSession::maxRecipients);
        QVERIFY(replies.filter(QStringLiteral("250 2.1.5")).size() == replies.size());
        run(*s, {{"RCPT TO:<more@example.test>\r\n", {"452 4.5.3"}},
                 {"DATA\r\n", {"354"}},
                 {"Hi\r\n.\r\n", {"250"}}});
        QCOMPARE(m_spool->read(m_spool->pending().first()).envelope.recipients.size(),
                 SmtpSession::maxRecipients);
    }

    void lowDiskRefusesAtMail() {
        m_roomInSpool = false;
        const auto s = session();
        run(*s, authenticated() + Script{{"MAIL FROM:<a@b.test>\r\n", {"452 4.3.1"}}});
    }

    void storeFailureAtDataLeavesNothing() {
        const auto s = session();
        run(*s, authenticated() + Script{{"MAIL FROM:<a@b.test>\r\n", {"250"}},
                                         {"RCPT TO:<c@d.test>\r\n", {"250"}}});
        QVERIFY(QDir(spoolPath()).removeRecursively());
        run(*s, {{"DATA\r\n", {"451 4.3.0"}}, {"RCPT TO:<c@d.test>\r\n", {"503"}}});
    }

    void storeFailureAtTheEndLeavesNothing() {
        const auto s = session();
        run(*s, inData());
        exchange(*s, "Subject: lost\r\n");
        // The spool directory vanishes under the open message: its rename has nowhere to go.
        QVERIFY(QDir(spoolPath()).removeRecursively());
        run(*s, {{".\r\n", {"451 4.3.0"}}});
        QVERIFY(!QFileInfo::exists(spoolPath()));
        QDir().mkpath(spoolPath());
        QVERIFY(m_spool->pending().isEmpty());
    }

    void refusedMessageLeavesNoFile() {
        const auto s = session();
        run(*s, inData());
        exchange(*s, textLines(3, 1000));
        QCOMPARE(QDir(spoolPath()).entryList(QDir::Files).size(), 1); // the message being written
        run(*s, {{"bare\n.\r\n.\r\n", {"550"}}});
        QVERIFY(QDir(spoolPath()).entryList(QDir::Files).isEmpty());
    }

    void abandonedMessageLeavesNoFile() {
        auto s = session();
        run(*s, inData());
        exchange(*s, "Subject: cut off\r\n");
        s.reset();
        QVERIFY(QDir(spoolPath()).entryList(QDir::Files).isEmpty());
    }
};

QTEST_GUILESS_MAIN(SmtpSessionTest)
#include "tst_SmtpSession.moc"
