#include "OpenFiles.h"
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

    // The same command where it gets another reply.
    Step expecting(const char* reply) const { return {send, {reply}}; }
};
using Script = QList<Step>;

QByteArray base64(const QByteArray& text) {
    return text.toBase64();
}

// A command line and the one reply it gets.
Step cmd(const QByteArray& line, const char* reply) {
    return {line + "\r\n", {reply}};
}

const QByteArray plainCredentials = base64(QByteArray("\0copier\0secret", 14));
const QByteArray authPlain = "AUTH PLAIN " + plainCredentials + "\r\n";
const QByteArray wrongAuth = "AUTH PLAIN " + base64(QByteArray("\0copier\0nope", 12)) + "\r\n";

const Step ehlo = cmd("EHLO copier", "250");
const Step auth{authPlain, {"235 2.7.0"}};
const Step mail = cmd("MAIL FROM:<scan@copier.test>", "250 2.1.0");
const Step rcpt = cmd("RCPT TO:<me@example.test>", "250 2.1.5");
const Script inData{ehlo, auth, mail, rcpt, cmd("DATA", "354")};

// `count` text lines of `width` bytes each, CRLF included.
QByteArray textLines(int count, int width) {
    QByteArray text;
    for (int i = 0; i < count; ++i)
        text += QByteArray(width - 2, 'x') + "\r\n";
    return text;
}

// The stored message without the trace field on top (it ends with the date line).
QByteArray clientText(const QByteArray& stored) {
    return stored.mid(stored.indexOf("\r\n", stored.indexOf(";\r\n\t") + 4) + 2);
}

QStringList finalReplyLines(const QByteArray& bytes) {
    QStringList lines;
    for (const QByteArray& line : bytes.split('\n'))
        if (line.size() >= 4 && line[3] == ' ')
            lines.append(QString::fromLatin1(line.trimmed()));
    return lines;
}

QString mismatch(const QStringList& got, const QStringList& expected) {
    bool same = got.size() == expected.size();
    for (qsizetype i = 0; same && i < got.size(); ++i)
        same = got[i].startsWith(expected[i]);
    return same ? QString()
                : QStringLiteral("got [%1], expected [%2]")
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
    bool m_authAdmitted = true;
    int m_failuresReported = 0;

    QString spoolPath() const { return m_directory.filePath(QStringLiteral("spool")); }

    std::unique_ptr<SmtpSession> session(ListenerSecurity security = ListenerSecurity::plain,
                                         qint64 maxMessageBytes = 4096) {
        return std::make_unique<SmtpSession>(
            SmtpSessionSettings{security, QStringLiteral("relay.test"),
                                QStringLiteral("192.0.2.7:4000"), maxMessageBytes, true, 10ms},
            *m_spool, *m_log,
            SmtpSessionHooks{[this] { return m_login; }, [this] { return m_roomInSpool; },
                             [this] { return m_authAdmitted; }, [this] { ++m_failuresReported; }});
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
            if (output.open)
                output = session.opened(output.open());
            else if (output.commit)
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

private Q_SLOTS:
    void init() {
        m_log = std::make_unique<Log>(m_directory.filePath(QStringLiteral("zidire.log")), false);
        m_spool.reset();
        QDir(spoolPath()).removeRecursively();
        m_spool = std::make_unique<Spool>(spoolPath(), *m_log);
        m_login = DeviceLogin{QStringLiteral("copier"), QStringLiteral("secret")};
        m_roomInSpool = true;
        m_authAdmitted = true;
        m_failuresReported = 0;
    }

    void conversations_data() {
        QTest::addColumn<int>("security");
        QTest::addColumn<Script>("script");
        const auto row = [](const char* name, ListenerSecurity security, const Script& script) {
            QTest::newRow(name) << int(security) << script;
        };
        const auto plain = ListenerSecurity::plain, startTls = ListenerSecurity::startTls;
        const auto wrongPlain = [](const QByteArray& response) {
            return cmd("AUTH PLAIN " + base64(response), "535 5.7.8");
        };
        const auto text = [](const QByteArray& lines, const char* reply) {
            return Step{lines + ".\r\n", {reply}};
        };

        // Authentication; each row also checks a command out of place.
        row("PLAIN, initial response", plain,
            {auth.expecting("503"), ehlo, auth, auth.expecting("503"), mail,
             mail.expecting("503")});
        row("PLAIN without separators, not Base64, then in two steps", plain,
            {ehlo, cmd("STARTTLS", "503"), cmd("AUTH PLAIN " + base64("copier"), "501 5.5.2"),
             cmd("AUTH PLAIN %%%", "501 5.5.2"), cmd("AUTH PLAIN", "334"),
             cmd(plainCredentials, "235")});
        row("LOGIN, three steps", plain,
            {ehlo, cmd("AUTH LOGIN", "334 VXNlcm5hbWU6"), cmd(base64("copier"), "334 UGFzc3dvcmQ6"),
             cmd(base64("secret"), "235 2.7.0")});
        row("wrong password, a prefix of it, acting for someone else; identity equal to the user",
            plain,
            {mail.expecting("503"), ehlo, wrongPlain(QByteArray("\0copier\0secreT", 14)),
             wrongPlain(QByteArray("\0copier\0secre", 13)),
             wrongPlain(QByteArray("boss\0copier\0secret", 18)), mail.expecting("530 5.7.0"),
             cmd("AUTH PLAIN " + base64(QByteArray("copier\0copier\0secret", 20)), "235")});
        row("wrong user, the password and a NUL, user on the command line", plain,
            {ehlo, cmd("AUTH LOGIN " + base64("Copier"), "334"), cmd(base64("secret"), "535 5.7.8"),
             cmd("auth login " + base64("copier"), "334 UGFzc3dvcmQ6"),
             cmd(base64(QByteArray("secret\0", 7)), "535 5.7.8"),
             cmd("AUTH LOGIN " + base64("copier"), "334"), cmd(base64("secret"), "235")});
        row("answer over the line limit ends the exchange", plain,
            {ehlo, cmd("AUTH LOGIN", "334"), cmd(QByteArray(600, 'x'), "500 5.5.6"),
             cmd("NOOP", "250")});
        row("cancelled, unknown mechanism", plain,
            {ehlo, cmd("AUTH LOGIN", "334"), cmd("*", "501 5.7.0"), cmd("AUTH CRAM-MD5", "504"),
             auth});

        // TLS per listener
        row("STARTTLS port: AUTH before STARTTLS", startTls,
            {ehlo, auth.expecting("538 5.7.11"), mail.expecting("530")});
        row("STARTTLS port: STARTTLS starts over, then AUTH", startTls,
            {ehlo, cmd("STARTTLS", "220"), mail.expecting("503"), ehlo, cmd("STARTTLS", "503"),
             auth, mail});
        row("commands behind STARTTLS", startTls,
            {ehlo, Step{"STARTTLS\r\n" + authPlain, {"554 5.5.1"}}, Step{"EHLO x\r\n", {}}});

        // Envelope
        row("HELO, null reverse path, no recipients yet, paths that are no addresses, old forms",
            plain,
            {cmd("EHLO", "501"), cmd("HELO copier", "250 relay.test"), auth,
             cmd("MAIL FROM:<>", "250"), cmd("DATA", "554"), cmd("RCPT TO:<me>", "501 5.1.3"),
             cmd("RCPT TO:<m e@example.test>", "501"), cmd("RCPT TO: me@example.test", "250"),
             cmd("RCPT TO:<@relay.test:me@example.test>", "250")});
        row("paths that are no RFC 5321 mailboxes", plain,
            {ehlo, auth, cmd("MAIL FROM:<a(@x.example>", "501 5.1.7"),
             cmd("MAIL FROM:<\"a,b\"@[IPv6:2001:db8::1]>", "250"),
             cmd("RCPT TO:<victim,attacker@x.example>", "501 5.1.3"),
             cmd("RCPT TO:<a..b@x.example>", "501"), cmd("RCPT TO:<a@-x.example>", "501"),
             cmd("RCPT TO:<a@[192.0.2.256]>", "501"),
             cmd("RCPT TO:<o'neil+scan@[192.0.2.1]>", "250")});
        row("MAIL parameters, RSET ends the transaction", plain,
            {ehlo, auth, cmd("MAIL FROM:<a@b.test> SIZE=4097", "552 5.3.4"),
             cmd("MAIL FROM:<a@b.test> RET=FULL", "555"),
             cmd("MAIL FROM:<a@b.test> SIZE=4096 BODY=8BITMIME", "250"), cmd("RSET", "250"),
             rcpt.expecting("503")});

        // Lines and message text
        row("command lines of 512 and 513 bytes, endless in pieces, ended by a bare LF", plain,
            {cmd("NOOP " + QByteArray(505, 'x'), "250"),
             cmd("NOOP " + QByteArray(506, 'x'), "500 5.5.2"), Step{QByteArray(400, 'x'), {}},
             Step{QByteArray(400, 'x'), {}}, Step{"\r\nNOOP\nNOOP\r\n", {"500", "250", "250"}},
             cmd("BDAT 10 LAST", "500 5.5.2")});
        row("twenty errors end the session", plain,
            Script(19, cmd("XYZZY", "500")) +
                Script{Step{"XYZZY\r\nNOOP\r\n", {"500", "421 4.7.0"}}});
        row("text line of 1001 bytes", plain,
            inData + Script{text(textLines(1, 1001), "500 5.5.2"), mail});
        row("long text line ending in a dot, in pieces", plain,
            inData + Script{Step{QByteArray(1500, 'x'), {}}, Step{".\r\nNOOP\r\n", {}},
                            cmd(".", "500 5.5.2"), mail});
        row("message at the size limit", plain,
            inData + Script{text(textLines(4, 1000) + textLines(1, 96), "250")});
        row("message over the size limit", plain,
            inData + Script{text(textLines(4, 1000) + textLines(1, 97), "552 5.3.4")});
        row("stuffed dots count once", plain,
            inData + Script{text("." + textLines(1, 999) + textLines(3, 1000) + textLines(1, 97),
                                 "250")});
        // What a server that ends the text at a bare line end would take as a second message.
        row("bare LF before the dot", plain,
            inData + Script{Step{"Hi\n.\r\nRSET\r\n", {}}, cmd(".", "550 5.6.0")});
        row("bare LF after the dot", plain,
            inData + Script{Step{"Hi\r\n.\n.\r\n", {}}, cmd("\r\n.", "550 5.6.0")});
        row("bare CR before the dot", plain,
            inData + Script{Step{"Hi\r.\r\n", {}}, cmd(".", "550 5.6.0"), mail});
    }

    void conversations() {
        QFETCH(int, security);
        QFETCH(Script, script);
        const auto s = session(ListenerSecurity(security));
        run(*s, script);
    }

    void advertisesWhatEachListenerAllows() {
        // The listener, whether STARTTLS went before, whether STARTTLS and AUTH are offered.
        const std::tuple<ListenerSecurity, bool, bool, bool> listeners[] = {
            {ListenerSecurity::plain, false, false, true},
            {ListenerSecurity::startTls, false, true, false},
            {ListenerSecurity::startTls, true, false, true},
            {ListenerSecurity::implicitTls, false, false, true}};
        for (const auto& [security, afterStartTls, startTlsOffered, authOffered] : listeners) {
            const auto s = session(security);
            if (afterStartTls)
                exchange(*s, "EHLO a\r\nSTARTTLS\r\n");
            const QByteArray reply = exchange(*s, "EHLO copier\r\n").replies;
            QVERIFY(reply.startsWith("250-relay.test\r\n"));
            for (const char* always : {"PIPELINING", "SIZE 4096", "8BITMIME"})
                QVERIFY2(reply.contains(QByteArray("250-") + always + "\r\n"), always);
            QCOMPARE(reply.contains("STARTTLS"), startTlsOffered);
            QCOMPARE(reply.contains("-AUTH PLAIN LOGIN\r\n"), authOffered);
            QCOMPARE(reply.contains("AUTH=PLAIN LOGIN\r\n"), authOffered);
            QCOMPARE(finalReplyLines(reply).size(), 1);
        }
    }

    // Each failure is answered later than the one before, commands pipelined behind it waiting in
    // order, and the fifth ends the connection.
    void failedAuthenticationsSlowDownThenClose() {
        const auto s = session();
        exchange(*s, "EHLO copier\r\n");
        QList<std::chrono::milliseconds> delays{s->receive(wrongAuth + "NOOP\r\n").delay};
        QVERIFY(s->receive("RSET\r\n").reply.isEmpty());
        QCOMPARE(finalReplyLines(s->resume().reply), (QStringList{"250 2.0.0 Ok", "250 2.0.0 Ok"}));
        for (int attempt = 2; attempt <= 4; ++attempt) {
            const Result result = exchange(*s, wrongAuth);
            QCOMPARE(finalReplyLines(result.replies),
                     QStringList{"535 5.7.8 Authentication credentials invalid"});
            QVERIFY(!result.closed);
            delays += result.delays;
        }
        const Result last = exchange(*s, wrongAuth + "NOOP\r\n");
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

    // A flood while a failed AUTH waits for its answer ends the connection.
    void floodDuringTheDelay() {
        const auto s = session();
        exchange(*s, "EHLO copier\r\n");
        QVERIFY(s->receive(wrongAuth).delay > 0ms);
        for (int i = 0; i < 17; ++i)
            QVERIFY(s->receive(QByteArray(64 * 1024, 'x')).reply.isEmpty());
        const SmtpSession::Output output = s->resume();
        QVERIFY(output.close);
        QVERIFY(output.reply.startsWith("421 4.7.0"));
    }

    // "250" comes only with the result of the commit, and commands behind the message wait.
    // With a file made ahead of need, "354" comes at once.
    void acknowledgesOnlyWhatIsDurable() {
        const auto s = session();
        m_spool->prepare();
        run(*s, {ehlo, auth, mail, rcpt});
        const SmtpSession::Output data = s->receive("DATA\r\n");
        QVERIFY(!data.open);
        QVERIFY(data.reply.startsWith("354"));
        const SmtpSession::Output pending =
            s->receive("Subject: scan\r\n\r\n..leading dot\r\n.\r\nNOOP\r\n");
        QVERIFY(pending.commit);
        QVERIFY(pending.reply.isEmpty());
        QVERIFY(m_spool->pending().isEmpty());
        QVERIFY(s->receive("RSET\r\n").reply.isEmpty());

        const SmtpSession::CommitOutcome outcome = SmtpSession::commit(*pending.commit);
        const SmtpSession::Output done = s->committed(outcome);
        QCOMPARE(finalReplyLines(done.reply), (QStringList{"250 2.0.0 Ok: queued as " + outcome.id,
                                                           "250 2.0.0 Ok", "250 2.0.0 Ok"}));
        const Spool::Message message = m_spool->read(outcome.id);
        QCOMPARE(clientText(message.content), QByteArray("Subject: scan\r\n\r\n.leading dot\r\n"));
        QCOMPARE(message.envelope.mailFrom, QStringLiteral("scan@copier.test"));
        QCOMPARE(message.envelope.recipients, QStringList{"me@example.test"});
        QCOMPARE(message.envelope.clientAddress, QStringLiteral("192.0.2.7:4000"));
        QVERIFY(m_log->tail().contains(QStringLiteral("accepted message ") + outcome.id));
    }

    // The same bytes give the same conversation however the network cuts them, and the text is
    // stored exactly, stuffed dots removed.
    void conversationInPieces() {
        QByteArray sent;
        QByteArray stored;
        for (int i = 0; i < 3000; ++i) {
            const QByteArray line =
                (i % 7 == 0 ? "." : "") + QByteArray(i % 90, char('a' + i % 26)) + "\r\n";
            sent += (line.startsWith('.') ? "." : "") + line;
            stored += line;
        }
        const QByteArray conversation = "EHLO a\r\n" + authPlain +
                                        "MAIL FROM:<a@b.test>\r\nRCPT TO:<c@d.test>\r\nDATA\r\n" +
                                        sent + ".\r\nQUIT\r\n";
        for (const int piece : {1, 2, 77, 1000, 4096, 65536, 300000}) {
            const auto s = session(ListenerSecurity::plain, stored.size());
            Result all;
            for (qsizetype offset = 0; offset < conversation.size(); offset += piece) {
                const Result result = exchange(*s, conversation.mid(offset, piece));
                all.replies += result.replies;
                all.accepted += result.accepted;
            }
            const QString problem =
                mismatch(finalReplyLines(all.replies),
                         {"250", "235", "250", "250", "354", "250 2.0.0", "221"});
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
            QCOMPARE(all.accepted.size(), 1);
            QCOMPARE(clientText(m_spool->read(all.accepted[0]).content), stored);
        }
    }

    // Guesses stay out of the log: one is often the password with a typo.
    void failedSignInsShowNoCredentials() {
        const auto s = session();
        run(*s, {ehlo, cmd("AUTH PLAIN " + base64(QByteArray("\0guess-secret\0x", 15)), "535"),
                 cmd("AUTH LOGIN " + base64("guess"), "334"), cmd(base64("secret"), "535")});
        QVERIFY(!m_log->tail().contains(QStringLiteral("guess")));
        QCOMPARE(m_failuresReported, 2);
        m_authAdmitted = false;
        run(*s, {auth.expecting("454 4.7.0")});
    }

    void traceOnTop_data() {
        QTest::addColumn<int>("security");
        QTest::addColumn<QByteArray>("hello");
        QTest::addColumn<QByteArray>("trace");
        QTest::newRow("EHLO, plain")
            << int(ListenerSecurity::plain) << QByteArray("EHLO copier")
            << QByteArray("Received: from copier ([192.0.2.7])\r\n\tby "
                          "relay.test (zidire, plain listener) with ESMTPA;");
        // A bare CR is a line break to some readers: the rest would be a header of its own.
        QTest::newRow("EHLO name with a header behind a bare CR")
            << int(ListenerSecurity::implicitTls) << QByteArray("EHLO x\rBcc: a@b.test (c)")
            << QByteArray("Received: from x?Bcc:?a@b.test??c? ([192.0.2.7])\r\n\tby relay.test "
                          "(zidire, implicit TLS listener) with ESMTPSA;");
    }

    void traceOnTop() {
        QFETCH(int, security);
        QFETCH(QByteArray, hello);
        QFETCH(QByteArray, trace);
        run(*session(ListenerSecurity(security)),
            {cmd(hello, "250"), auth, cmd("MAIL FROM:<%1@copier.test>", "250"), rcpt,
             cmd("DATA", "354"), cmd("Hi\r\n.", "250")});
        const QByteArray content = m_spool->read(m_spool->pending().first()).content;
        QCOMPARE(content.left(trace.size()), trace);
        QCOMPARE(clientText(content), QByteArray("Hi\r\n"));
        // Formatted once: the client's "%1" is not filled in.
        QVERIFY(m_log->tail().contains(QStringLiteral("<%1@copier.test> to 1 recipient(s)")));
    }

    void hundredsOfRecipients() {
        Script script{ehlo, auth, mail};
        for (int i = 0; i < SmtpSession::maxRecipients; ++i)
            script += cmd("RCPT TO:<user" + QByteArray::number(i) + "@example.test>", "250 2.1.5");
        run(*session(), script + Script{cmd("RCPT TO:<more@example.test>", "452 4.5.3"),
                                        cmd("DATA", "354"), cmd("Hi\r\n.", "250")});
        QCOMPARE(m_spool->read(m_spool->pending().first()).envelope.recipients.size(),
                 SmtpSession::maxRecipients);
    }

    // Low disk refuses at MAIL; a spool that fails at DATA or at the end of the text keeps
    // nothing and ends the transaction.
    void spoolTrouble() {
        m_roomInSpool = false;
        const auto s = session();
        run(*s, {ehlo, auth, mail.expecting("452 4.3.1")});
        m_roomInSpool = true;
        run(*s, {mail, rcpt});
        QVERIFY(QDir(spoolPath()).removeRecursively());
        run(*s, {cmd("DATA", "451 4.3.0"), rcpt.expecting("503"), mail, rcpt});
        QVERIFY(QDir().mkpath(spoolPath()));
        run(*s, {cmd("DATA", "354")});
        exchange(*s, "Subject: lost\r\n");
        // The spool directory vanishes under the open message: its rename has nowhere to go.
        QVERIFY(QDir(spoolPath()).removeRecursively());
        run(*s, {cmd(".", "451 4.3.0")});
        QVERIFY(!QFileInfo::exists(spoolPath()));
    }

    // At once, not only at the end of a message that may go on for megabytes.
    void refusedMessageLeavesNoFile() {
        const auto s = session();
        run(*s, inData);
        exchange(*s, textLines(3, 1000));
        QCOMPARE(openFileSizesIn(spoolPath()).size(), 1); // the message being written
        exchange(*s, "bare\n");
        QVERIFY(openFileSizesIn(spoolPath()).isEmpty());
        QVERIFY(QDir(spoolPath()).entryList(QDir::Files).isEmpty());
        run(*s, {cmd(".\r\n.", "550")});
    }
};

QTEST_GUILESS_MAIN(SmtpSessionTest)
#include "tst_SmtpSession.moc"
