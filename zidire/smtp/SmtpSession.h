#pragma once

// One SMTP conversation without a socket: bytes from the client go in, reply bytes and what the
// connection must do next come out. Everything a client can influence is decided here, so the
// protocol rules can be tested and fuzzed without the network.

#include "SmtpService.h"
#include "spool/Spool.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace zidire {

class Log;

enum class ListenerSecurity { plain, startTls, implicitTls };

struct SmtpSessionSettings {
    ListenerSecurity security = ListenerSecurity::plain;
    QString hostName;
    QString clientAddress; // "host:port", for the envelope and the log
    qint64 maxMessageBytes = 35 * 1024 * 1024;
    bool tlsAvailable = true; // false when no certificate could be made
    std::chrono::milliseconds authFailureDelay{1000};
    // Why messages are limited to maxMessageBytes (the provider's limit), for the 552 reply.
    QString sizeLimitReason{};
    // Replies of class 4 or 5 a client may collect before the session answers 421 and closes: a
    // copier that makes this many mistakes is not going to deliver, and probing costs a reply
    // each. Accepting a message starts the count over.
    int maxErrorReplies = 20;
};

struct SmtpSessionHooks {
    std::function<std::optional<DeviceLogin>()> deviceLogin;
    std::function<bool()> spoolHasRoom; // enough free disk to take a message
    // Asked before an AUTH exchange starts; false when the client's address has used up its
    // failure budget (the session then answers 454 4.7.0 and logs nothing more).
    std::function<bool()> authAdmitted;
    // Told of every failed authentication.
    std::function<void()> authFailed;
};

class SmtpSession {
public:
    static constexpr int maxAuthFailures = 5;
    static constexpr int maxRecipients = 1000;
    static constexpr qsizetype maxCommandLine = 512; // including CRLF (RFC 5321 4.5.3.1.4)
    static constexpr qsizetype maxTextLine = 1000;   // including CRLF (RFC 5321 4.5.3.1.6)

    // The spool file of a message about to be received, or why it couldn't be created.
    struct Opening {
        std::shared_ptr<SpoolWriter> writer;
        QString error;
    };

    // What the connection does with one step's result, in this order: wait `delay`, send
    // `reply`, then start TLS, close, open or commit. After a delay it calls resume(), after an
    // open opened(), after a commit committed(), to go on with input that arrived meanwhile.
    struct Output {
        QByteArray reply;
        std::chrono::milliseconds delay{0};
        bool startTls = false;
        bool close = false;
        // Creates the spool file for the message whose text follows "354"; run on any thread,
        // since creating a file can take long on some file systems.
        std::function<Opening()> open;
        // A complete message to make durable with commit(), on any thread, before it is
        // acknowledged.
        std::shared_ptr<SpoolWriter> commit;
        QStringList accepted; // ids of messages that are durable and acknowledged by `reply`
    };

    struct CommitOutcome {
        QString id;    // the message id, or empty when it failed
        QString error; // why it failed
    };
    static CommitOutcome commit(SpoolWriter& writer);

    SmtpSession(SmtpSessionSettings settings, Spool& spool, Log& log, SmtpSessionHooks hooks);
    ~SmtpSession();
    SmtpSession(const SmtpSession&) = delete;
    SmtpSession& operator=(const SmtpSession&) = delete;

    // The "220" banner, sent once the connection is ready (after the handshake on implicit TLS).
    QByteArray greeting() const;

    Output receive(QByteArrayView bytes);
    // Whether the client has authenticated (and not started over with STARTTLS since).
    bool signedIn() const { return m_authenticated; }
    Output resume();
    Output opened(const Opening& opening);
    Output committed(const CommitOutcome& outcome);

    // The STARTTLS handshake finished: the client starts over with EHLO (RFC 3207 4.2).
    void tlsEstablished();

    // Grows whenever a command or a line of message text has been handled; the connection's
    // idle timer restarts on progress, so a client trickling bytes still times out.
    quint64 progress() const { return m_progress; }

private:
    enum class Phase { command, authPlain, authLoginUser, authLoginPassword, data, closed };

    struct Transaction {
        bool active = false;
        Envelope envelope;
        std::shared_ptr<SpoolWriter> writer;
        qint64 contentBytes = 0;
        QByteArray refusal; // set when the text is being read only to be thrown away
    };

    void feed(QByteArrayView bytes);
    void keepUnhandled(QByteArrayView bytes);
    qsizetype handleLines(QByteArrayView buffer); // returns how many bytes it handled
    void handleCommandLine(QByteArrayView line);
    void handleCommand(const QByteArray& verb, const QByteArray& argument);
    void startData(const Opening& opening);
    void handleDataLine(QByteArrayView line, bool tooLong);
    void flushContentRun();
    void writeContent(QByteArrayView bytes);
    void refuseMessage(const QByteArray& text);
    void logStoreFailure(const QString& error);
    QByteArray sizeRefusal() const;
    void finishMessage();

    void ehlo(const QByteArray& argument, bool extended);
    bool authAllowedHere() const;
    void auth(const QByteArray& argument);
    std::optional<QByteArray> authResponse(const QByteArray& line);
    void authPlainResponse(const QByteArray& line);
    void authLoginUser(const QByteArray& line);
    void authLoginPassword(const QByteArray& line);
    void checkCredentials(const QByteArray& username, const QByteArray& password);
    void failAuthentication(const char* why);
    void refuseLongLine();
    void closeAfterTooManyErrors();
    void mail(const QByteArray& argument);
    void rcpt(const QByteArray& argument);
    void data(const QByteArray& argument);
    void startTls(const QByteArray& argument);
    QByteArray traceField() const;

    void reply(const char* text);
    void reply(const QByteArray& text);
    void resetTransaction();
    void close(const char* text);

    SmtpSessionSettings m_settings;
    Spool& m_spool;
    Log& m_log;
    SmtpSessionHooks m_hooks;

    QByteArray m_input;                   // received, not handled yet
    qsizetype m_unhandledAfterBuffer = 0; // input beyond the buffer being handled
    qsizetype m_unhandledAfterLine = 0;   // input beyond the line being handled
    QByteArrayView m_contentRun;          // message text handled but not yet passed on
    Output m_output;
    Phase m_phase = Phase::command;
    bool m_discardingLongLine = false;
    bool m_dataAtLineStart = true;
    bool m_paused = false;
    bool m_overflowWhilePaused = false;
    bool m_tls = false;
    bool m_greeted = false;
    bool m_extendedHello = false;
    QByteArray m_helloName;
    bool m_authenticated = false;
    QByteArray m_pendingLoginUser;
    int m_authFailures = 0;
    int m_errorReplies = 0;
    Transaction m_transaction;
    quint64 m_progress = 0;
};

} // namespace zidire
