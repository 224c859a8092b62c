#include "SmtpSession.h"

#include "fs/DurableFile.h"
#include "log/Log.h"
#include "log/LogText.h"

#include <QHostAddress>

#include <algorithm>
#include <cctype>
#include <cstring>

// Message text: only CRLF "." CRLF ends it. A bare LF or bare CR anywhere in the text refuses the
// whole message (after reading it to its end, so the conversation stays in step): another server
// that treats "LF . LF" as an end of data would otherwise see a different message than we do
// (SMTP smuggling), and such text is not valid mail anyway.

namespace zidire {

namespace {

constexpr qsizetype maxBufferedWhilePaused = 1024 * 1024;
constexpr qsizetype maxPathLength = 256;     // RFC 5321 4.5.3.1.3
constexpr qsizetype maxLocalPartLength = 64; // RFC 5321 4.5.3.1.1
constexpr qsizetype maxDomainLength = 255;   // RFC 5321 4.5.3.1.2
constexpr qsizetype maxLabelLength = 63;     // RFC 1035 2.3.4
constexpr qsizetype recipientsLogged = 3;

const char* const refusedBareLineEnd =
    "550 5.6.0 Message refused: it contains a bare CR or LF; lines must end with CRLF";
const char* const refusedLongLine = "500 5.5.2 Message refused: a line is longer than 1000 bytes";
const char* const refusedSize = "552 5.3.4 Message size exceeds the fixed maximum message size";
const char* const storeFailed = "451 4.3.0 Could not store the message, try again later";

// "VERB rest of line" → {"VERB", "rest of line"}.
std::pair<QByteArray, QByteArray> splitFirstWord(const QByteArray& text) {
    const qsizetype space = text.indexOf(' ');
    if (space < 0)
        return {text, {}};
    return {text.left(space), text.mid(space + 1).trimmed()};
}

bool equalsInConstantTime(const QByteArray& a, const QByteArray& b) {
    const qsizetype length = std::max(a.size(), b.size());
    unsigned difference = a.size() == b.size() ? 0 : 1;
    for (qsizetype i = 0; i < length; ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        difference |= x ^ y;
    }
    return difference == 0;
}

// Splits "FROM:<path> PARAM=VALUE ..." after the keyword. Old clients put a space after the colon
// or leave out the angle brackets; both are accepted.
struct PathArgument {
    bool valid = false;
    QByteArray path;
    QList<QByteArray> parameters;
};

PathArgument parsePathArgument(const QByteArray& argument, const char* keyword) {
    PathArgument result;
    const qsizetype keywordLength = qsizetype(std::strlen(keyword));
    if (!argument.left(keywordLength).toUpper().startsWith(keyword))
        return result;
    QByteArray rest = argument.mid(keywordLength).trimmed();
    QByteArray parameters;
    if (rest.startsWith('<')) {
        const qsizetype close = rest.indexOf('>');
        if (close < 0)
            return result;
        result.path = rest.mid(1, close - 1);
        parameters = rest.mid(close + 1);
        if (!parameters.isEmpty() && parameters[0] != ' ')
            return result;
    } else {
        std::tie(result.path, parameters) = splitFirstWord(rest);
    }
    // A source route ("@relay1,@relay2:user@host") must be accepted and may be ignored.
    if (result.path.startsWith('@')) {
        const qsizetype colon = result.path.indexOf(':');
        if (colon < 0)
            return result;
        result.path = result.path.mid(colon + 1);
    }
    if (result.path.size() > maxPathLength)
        return result;
    for (const char c : std::as_const(result.path))
        if (static_cast<unsigned char>(c) <= ' ' || c == '<' || c == '>' || c == 127)
            return result;
    for (const QByteArray& parameter : parameters.split(' '))
        if (!parameter.isEmpty())
            result.parameters.append(parameter);
    result.valid = true;
    return result;
}

// The mailbox grammar of RFC 5321 4.1.2, in ASCII (no SMTPUTF8). Envelope addresses end up in the
// Bcc and Reply-To headers of the message we send on, so anything looser could add recipients.
bool isAtext(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) ||
           (c != '\0' && std::strchr("!#$%&'*+-/=?^_`{|}~", c));
}

bool isDotString(QByteArrayView text) {
    bool atAtomStart = true;
    for (const char c : text) {
        if (c == '.' ? atAtomStart : !isAtext(c))
            return false;
        atAtomStart = c == '.';
    }
    return !atAtomStart;
}

bool isQuotedString(QByteArrayView text) {
    if (text.size() < 2 || !text.startsWith('"') || !text.endsWith('"'))
        return false;
    const QByteArrayView content = text.sliced(1, text.size() - 2);
    for (qsizetype i = 0; i < content.size(); ++i) {
        char c = content[i];
        if (c == '"')
            return false;
        if (c == '\\') {
            if (++i == content.size())
                return false;
            c = content[i];
        }
        if (c < ' ' || c > '~')
            return false;
    }
    return true;
}

bool isLabel(QByteArrayView label) {
    if (label.isEmpty() || label.size() > maxLabelLength || label.startsWith('-') ||
        label.endsWith('-'))
        return false;
    for (const char c : label)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-')
            return false;
    return true;
}

bool isDomain(const QByteArray& text) {
    if (text.size() > maxDomainLength)
        return false;
    for (const QByteArray& label : text.split('.'))
        if (!isLabel(label))
            return false;
    return true;
}

bool isIPv4Literal(const QByteArray& text) {
    const QList<QByteArray> parts = text.split('.');
    for (const QByteArray& part : parts) {
        const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
        if (part.isEmpty() || part.size() > 3 || !std::all_of(part.begin(), part.end(), isDigit) ||
            part.toInt() > 255)
            return false;
    }
    return parts.size() == 4;
}

bool isAddressLiteral(const QByteArray& text) {
    if (!text.startsWith('[') || !text.endsWith(']'))
        return false;
    const QByteArray inner = text.mid(1, text.size() - 2);
    if (!inner.startsWith("IPv6:"))
        return isIPv4Literal(inner);
    const QHostAddress address(QString::fromLatin1(inner.mid(5)));
    return address.protocol() == QAbstractSocket::IPv6Protocol && address.scopeId().isEmpty();
}

bool isMailbox(const QByteArray& path) {
    const qsizetype at = path.lastIndexOf('@');
    if (at < 0)
        return false;
    const QByteArray localPart = path.left(at);
    const QByteArray domain = path.mid(at + 1);
    return localPart.size() <= maxLocalPartLength &&
           (isDotString(localPart) || isQuotedString(localPart)) &&
           (isDomain(domain) || isAddressLiteral(domain));
}

// The client's EHLO name as one token of the trace field: whatever it sent, no line break, no
// comment or clause delimiter, bounded length.
QByteArray traceToken(const QByteArray& name) {
    QByteArray token = name.left(maxDomainLength);
    for (char& c : token)
        if (c <= ' ' || c > '~' || std::strchr("()\\;\"", c))
            c = '?';
    return token;
}

// "192.0.2.7:4000" → "[192.0.2.7]", "2001:db8::1:4000" → "[IPv6:2001:db8::1]".
QByteArray addressLiteralOf(const QString& clientAddress) {
    const QString host = clientAddress.left(clientAddress.lastIndexOf(u':'));
    return (host.contains(u':') ? "[IPv6:" : "[") + host.toLatin1() + ']';
}

QByteArray listenerName(ListenerSecurity security) {
    switch (security) {
    case ListenerSecurity::plain:
        return "plain listener";
    case ListenerSecurity::startTls:
        return "STARTTLS listener";
    case ListenerSecurity::implicitTls:
        return "implicit TLS listener";
    }
    return {};
}

// The count and the first few, so a message to a thousand recipients still makes a short line.
QString recipientSummary(const QStringList& recipients) {
    QStringList shown;
    for (const QString& recipient : recipients.first(std::min(recipients.size(), recipientsLogged)))
        shown.append(QLatin1Char('<') + logText(recipient) + QLatin1Char('>'));
    if (recipients.size() > recipientsLogged)
        shown.append(QStringLiteral("…"));
    return QStringLiteral("%1 recipient(s): %2")
        .arg(QString::number(recipients.size()), shown.join(QStringLiteral(", ")));
}

std::optional<QByteArray> decodeBase64(const QByteArray& text) {
    if (text == "=") // RFC 4954: an empty initial response
        return QByteArray();
    auto decoded = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || text.isEmpty())
        return std::nullopt;
    return *decoded;
}

} // namespace

SmtpSession::SmtpSession(SmtpSessionSettings settings, Spool& spool, Log& log,
                         SmtpSessionHooks hooks)
    : m_settings(std::move(settings))
    , m_spool(spool)
    , m_log(log)
    , m_hooks(std::move(hooks))
    , m_tls(m_settings.security == ListenerSecurity::implicitTls) {}

SmtpSession::~SmtpSession() = default;

QByteArray SmtpSession::greeting() const {
    return "220 " + m_settings.hostName.toUtf8() + " ESMTP ready\r\n";
}

SmtpSession::Output SmtpSession::receive(QByteArrayView bytes) {
    if (m_phase == Phase::closed)
        return {};
    if (m_paused)
        keepUnhandled(bytes);
    else
        feed(bytes);
    return std::exchange(m_output, {});
}

SmtpSession::Output SmtpSession::resume() {
    if (m_phase == Phase::closed)
        return std::exchange(m_output, {});
    m_paused = false;
    if (m_overflowWhilePaused) {
        m_log.warning(QStringLiteral("refused SMTP session from %1: it kept sending while its "
                                     "reply was held back")
                          .arg(m_settings.clientAddress));
        close("421 4.7.0 Too much input before the reply, closing connection");
    } else {
        feed({});
    }
    return std::exchange(m_output, {});
}

void SmtpSession::tlsEstablished() {
    m_tls = true;
    m_paused = false;
    m_input.clear();
    m_discardingLongLine = false;
    m_greeted = false;
    m_authenticated = false;
    m_phase = Phase::command;
    resetTransaction();
}

// Most input is handled straight from `bytes`; only a line cut off by the end of a piece is
// copied, so a large message passes through with one copy.
void SmtpSession::feed(QByteArrayView bytes) {
    if (!m_input.isEmpty()) {
        const void* newline =
            bytes.isEmpty() ? nullptr : std::memchr(bytes.data(), '\n', size_t(bytes.size()));
        const qsizetype take =
            newline ? static_cast<const char*>(newline) - bytes.data() + 1 : bytes.size();
        m_input.append(bytes.first(take));
        bytes = bytes.sliced(take);
        m_unhandledAfterBuffer = bytes.size();
        m_input.remove(0, handleLines(m_input));
        m_unhandledAfterBuffer = 0;
        if (!m_input.isEmpty())
            return keepUnhandled(bytes);
    }
    const qsizetype handled = handleLines(bytes);
    keepUnhandled(bytes.sliced(handled));
}

void SmtpSession::keepUnhandled(QByteArrayView bytes) {
    if (m_phase == Phase::closed || bytes.isEmpty())
        return;
    // Only an AUTH delay, a spool file being created or committed, or a TLS handshake pauses;
    // nothing legitimate sends much then.
    if (m_paused && m_input.size() + bytes.size() > maxBufferedWhilePaused)
        m_overflowWhilePaused = true;
    else
        m_input.append(bytes);
}

qsizetype SmtpSession::handleLines(QByteArrayView buffer) {
    qsizetype offset = 0;
    while (!m_paused && m_phase != Phase::closed && offset < buffer.size()) {
        const char* begin = buffer.data() + offset;
        const qsizetype available = buffer.size() - offset;
        const qsizetype limit = m_phase == Phase::data ? maxTextLine : maxCommandLine;
        const void* newline = std::memchr(begin, '\n', size_t(available));
        if (!newline) {
            if (available >= limit) {
                // The line is too long whatever follows; drop what we have and the rest of it.
                m_discardingLongLine = true;
                offset = buffer.size();
            }
            break;
        }
        const qsizetype length = static_cast<const char*>(newline) - begin + 1;
        const QByteArrayView line(begin, length);
        offset += length;
        m_unhandledAfterLine = buffer.size() - offset + m_unhandledAfterBuffer;
        ++m_progress;
        const bool tooLong = std::exchange(m_discardingLongLine, false) || length > limit;
        if (m_phase == Phase::data)
            handleDataLine(line, tooLong);
        else if (tooLong)
            refuseLongLine();
        else
            handleCommandLine(line);
        if (m_errorReplies >= m_settings.maxErrorReplies && m_phase != Phase::closed)
            closeAfterTooManyErrors();
    }
    flushContentRun(); // it points into `buffer`
    return offset;
}

void SmtpSession::refuseLongLine() {
    if (m_phase == Phase::command)
        return reply("500 5.5.2 Line too long");
    // An answer to a SASL challenge that doesn't fit ends the exchange (RFC 4954 4); what follows
    // is a command again, not the rest of the answer.
    m_phase = Phase::command;
    m_pendingLoginUser.clear();
    reply("500 5.5.6 Authentication Exchange line is too long");
}

void SmtpSession::closeAfterTooManyErrors() {
    m_log.warning(QStringLiteral("refused SMTP session from %1: %2 commands failed")
                      .arg(m_settings.clientAddress, QString::number(m_errorReplies)));
    close("421 4.7.0 Too many errors, closing connection");
}

void SmtpSession::handleCommandLine(QByteArrayView rawLine) {
    // Commands end with CRLF; a bare LF is tolerated here because nothing is hidden by it.
    QByteArray line = rawLine.chopped(rawLine.endsWith("\r\n") ? 2 : 1).toByteArray();
    switch (m_phase) {
    case Phase::authPlain:
        return authPlainResponse(line);
    case Phase::authLoginUser:
        return authLoginUser(line);
    case Phase::authLoginPassword:
        return authLoginPassword(line);
    default:
        break;
    }
    const auto [verb, argument] = splitFirstWord(line);
    handleCommand(verb.toUpper(), argument);
}

void SmtpSession::handleCommand(const QByteArray& verb, const QByteArray& argument) {
    if (verb == "EHLO" || verb == "HELO")
        return ehlo(argument, verb == "EHLO");
    if (verb == "AUTH")
        return auth(argument);
    if (verb == "MAIL")
        return mail(argument);
    if (verb == "RCPT")
        return rcpt(argument);
    if (verb == "DATA")
        return data(argument);
    if (verb == "STARTTLS")
        return startTls(argument);
    if (verb == "RSET") {
        if (!argument.isEmpty())
            return reply("501 5.5.4 Syntax: RSET");
        resetTransaction();
        return reply("250 2.0.0 Ok");
    }
    if (verb == "NOOP")
        return reply("250 2.0.0 Ok");
    if (verb == "QUIT")
        return close("221 2.0.0 Bye");
    if (verb == "VRFY")
        return reply("252 2.5.0 Cannot verify the user, but will accept the message");
    if (verb == "HELP")
        return reply("214 2.0.0 Commands: EHLO HELO AUTH MAIL RCPT DATA RSET NOOP QUIT STARTTLS");
    reply("500 5.5.2 Command not recognized");
}

void SmtpSession::ehlo(const QByteArray& argument, bool extended) {
    if (argument.isEmpty())
        return reply(extended ? "501 5.5.4 Syntax: EHLO hostname"
                              : "501 5.5.4 Syntax: HELO hostname");
    resetTransaction();
    m_greeted = true;
    m_extendedHello = extended;
    m_helloName = argument;
    const QByteArray host = m_settings.hostName.toUtf8();
    if (!extended)
        return reply("250 " + host);
    QList<QByteArray> lines{host, "PIPELINING",
                            "SIZE " + QByteArray::number(m_settings.maxMessageBytes), "8BITMIME",
                            "ENHANCEDSTATUSCODES"};
    if (m_settings.security == ListenerSecurity::startTls && !m_tls && m_settings.tlsAvailable)
        lines.append("STARTTLS");
    if (authAllowedHere()) {
        lines.append("AUTH PLAIN LOGIN");
        lines.append("AUTH=PLAIN LOGIN"); // for clients that predate RFC 4954
    }
    QByteArray text;
    for (qsizetype i = 0; i < lines.size(); ++i)
        text += "250" + QByteArray(i + 1 < lines.size() ? "-" : " ") + lines[i] + "\r\n";
    m_output.reply += text;
}

bool SmtpSession::authAllowedHere() const {
    return m_settings.security == ListenerSecurity::plain || m_tls;
}

void SmtpSession::auth(const QByteArray& argument) {
    if (!m_greeted)
        return reply("503 5.5.1 Send EHLO first");
    if (m_authenticated)
        return reply("503 5.5.1 Already authenticated");
    if (m_transaction.active)
        return reply("503 5.5.1 AUTH is not allowed during a mail transaction");
    if (!authAllowedHere())
        return reply("538 5.7.11 Encryption required for requested authentication mechanism");
    if (m_hooks.authAdmitted && !m_hooks.authAdmitted())
        return reply("454 4.7.0 Too many failed authentications from this address, try later");
    auto [mechanism, initial] = splitFirstWord(argument);
    mechanism = mechanism.toUpper();
    if (mechanism == "PLAIN") {
        if (!initial.isEmpty())
            return authPlainResponse(initial);
        m_phase = Phase::authPlain;
        return reply("334 ");
    }
    if (mechanism == "LOGIN") {
        if (!initial.isEmpty())
            return authLoginUser(initial);
        m_phase = Phase::authLoginUser;
        return reply("334 VXNlcm5hbWU6"); // "Username:"
    }
    if (mechanism.isEmpty())
        return reply("501 5.5.4 Syntax: AUTH mechanism");
    reply("504 5.5.4 Unrecognized authentication mechanism");
}

// Returns the decoded client response, or answers and returns nothing when the client cancelled
// or sent something that is not Base64.
std::optional<QByteArray> SmtpSession::authResponse(const QByteArray& line) {
    m_phase = Phase::command;
    if (line == "*") {
        reply("501 5.7.0 Authentication cancelled");
        return std::nullopt;
    }
    std::optional<QByteArray> decoded = decodeBase64(line);
    if (!decoded)
        reply("501 5.5.2 Cannot decode the response as Base64");
    return decoded;
}

void SmtpSession::authPlainResponse(const QByteArray& line) {
    const std::optional<QByteArray> decoded = authResponse(line);
    if (!decoded)
        return;
    const QList<QByteArray> parts = decoded->split('\0');
    if (parts.size() != 3)
        return reply("501 5.5.2 Malformed PLAIN response");
    // Acting on behalf of someone else is not supported; an identity equal to the user is fine.
    if (!parts[0].isEmpty() && parts[0] != parts[1])
        return failAuthentication("it asked to act for another user");
    checkCredentials(parts[1], parts[2]);
}

void SmtpSession::authLoginUser(const QByteArray& line) {
    const std::optional<QByteArray> decoded = authResponse(line);
    if (!decoded)
        return;
    m_pendingLoginUser = *decoded;
    m_phase = Phase::authLoginPassword;
    reply("334 UGFzc3dvcmQ6"); // "Password:"
}

void SmtpSession::authLoginPassword(const QByteArray& line) {
    const std::optional<QByteArray> decoded = authResponse(line);
    const QByteArray user = std::exchange(m_pendingLoginUser, {});
    if (decoded)
        checkCredentials(user, *decoded);
}

void SmtpSession::checkCredentials(const QByteArray& username, const QByteArray& password) {
    const std::optional<DeviceLogin> login = m_hooks.deviceLogin();
    if (!login || login->username.isEmpty()) {
        m_log.warning(QStringLiteral("SMTP client %1 tried to sign in, but no device login is "
                                     "set up")
                          .arg(m_settings.clientAddress));
        return reply("454 4.7.0 Temporary authentication failure: no device login is set up");
    }
    const bool userMatches = equalsInConstantTime(username, login->username.toUtf8());
    const bool passwordMatches = equalsInConstantTime(password, login->password.toUtf8());
    // What a client tries stays out of the log: a guess is often the password with a typo, and
    // whoever reads the log should not learn the password from it.
    if (!userMatches)
        return failAuthentication("the user name did not match");
    if (!passwordMatches)
        return failAuthentication("the password did not match");
    m_authenticated = true;
    m_log.info(QStringLiteral("SMTP client %1 signed in").arg(m_settings.clientAddress));
    reply("235 2.7.0 Authentication successful");
}

void SmtpSession::failAuthentication(const char* why) {
    ++m_authFailures;
    if (m_hooks.authFailed)
        m_hooks.authFailed();
    m_log.warning(QStringLiteral("SMTP authentication failed from %1: %2 (%3 of %4)")
                      .arg(m_settings.clientAddress, QLatin1StringView(why),
                           QString::number(m_authFailures), QString::number(maxAuthFailures)));
    // Each failure waits longer before its answer, so guessing costs time.
    m_output.delay = m_settings.authFailureDelay * m_authFailures;
    m_paused = true;
    reply("535 5.7.8 Authentication credentials invalid");
    if (m_authFailures >= maxAuthFailures) {
        m_log.warning(QStringLiteral("refused SMTP session from %1: %2 failed sign-in attempts")
                          .arg(m_settings.clientAddress, QString::number(m_authFailures)));
        close("421 4.7.0 Too many failed authentication attempts, closing connection");
    }
}

void SmtpSession::mail(const QByteArray& argument) {
    if (!m_greeted)
        return reply("503 5.5.1 Send EHLO first");
    if (!m_authenticated)
        return reply("530 5.7.0 Authentication required");
    if (m_transaction.active)
        return reply("503 5.5.1 Nested MAIL command");
    const PathArgument from = parsePathArgument(argument, "FROM:");
    if (!from.valid || (!from.path.isEmpty() && !isMailbox(from.path)))
        return reply("501 5.1.7 Syntax: MAIL FROM:<address>");
    for (const QByteArray& parameter : from.parameters) {
        const qsizetype equals = parameter.indexOf('=');
        const QByteArray key = parameter.left(equals).toUpper();
        const QByteArray value = equals < 0 ? QByteArray() : parameter.mid(equals + 1);
        if (key == "SIZE") {
            bool ok = false;
            const qint64 declared = value.toLongLong(&ok);
            if (!ok || declared < 0)
                return reply("501 5.5.4 Syntax: SIZE=number");
            if (declared > m_settings.maxMessageBytes)
                return reply(sizeRefusal());
        } else if (key == "BODY") {
            if (value.toUpper() != "7BIT" && value.toUpper() != "8BITMIME")
                return reply("501 5.5.4 BODY must be 7BIT or 8BITMIME");
        } else if (key != "AUTH") { // RFC 4954 AUTH=<mailbox> carries nothing we use
            return reply("555 5.5.4 Unsupported MAIL parameter " + key);
        }
    }
    if (!m_hooks.spoolHasRoom()) {
        m_log.warning(QStringLiteral("refused a message from %1: too little free disk space for "
                                     "the spool")
                          .arg(m_settings.clientAddress));
        return reply("452 4.3.1 Insufficient system storage");
    }
    m_transaction.active = true;
    m_transaction.envelope.mailFrom = QString::fromUtf8(from.path);
    m_transaction.envelope.clientAddress = m_settings.clientAddress;
    reply("250 2.1.0 Ok");
}

void SmtpSession::rcpt(const QByteArray& argument) {
    if (!m_transaction.active)
        return reply("503 5.5.1 Send MAIL first");
    const PathArgument to = parsePathArgument(argument, "TO:");
    if (!to.valid || !isMailbox(to.path))
        return reply("501 5.1.3 Syntax: RCPT TO:<address>");
    if (!to.parameters.isEmpty())
        return reply("555 5.5.4 Unsupported RCPT parameter");
    if (m_transaction.envelope.recipients.size() >= maxRecipients)
        return reply("452 4.5.3 Too many recipients");
    m_transaction.envelope.recipients.append(QString::fromUtf8(to.path));
    reply("250 2.1.5 Ok");
}

void SmtpSession::data(const QByteArray& argument) {
    if (!m_transaction.active)
        return reply("503 5.5.1 Send MAIL first");
    if (m_transaction.envelope.recipients.isEmpty())
        return reply("554 5.5.1 No valid recipients");
    if (!argument.isEmpty())
        return reply("501 5.5.4 Syntax: DATA");
    m_transaction.envelope.receivedAt = QDateTime::currentDateTimeUtc();
    if (std::shared_ptr<SpoolWriter> writer = m_spool.beginPrepared(m_transaction.envelope))
        return startData({std::move(writer), {}});
    // Creating a file can take milliseconds on a busy disk, and the event loop serves every
    // connection: the connection creates it elsewhere and hands it back through opened().
    m_output.open = [&spool = m_spool, envelope = m_transaction.envelope]() -> Opening {
        try {
            return {spool.begin(envelope), {}};
        } catch (const DurableFileError& error) {
            return {nullptr, error.message()};
        }
    };
    m_paused = true;
}

SmtpSession::Output SmtpSession::opened(const Opening& opening) {
    startData(opening);
    return resume();
}

void SmtpSession::startData(const Opening& opening) {
    if (opening.writer) {
        m_transaction.writer = opening.writer;
        writeContent(traceField());
        m_phase = Phase::data;
        m_dataAtLineStart = true;
        reply("354 End data with <CR><LF>.<CR><LF>");
    } else {
        logStoreFailure(opening.error);
        reply(storeFailed);
        resetTransaction();
    }
}

void SmtpSession::logStoreFailure(const QString& error) {
    m_log.error(QStringLiteral("couldn't store a message from %1: %2")
                    .arg(m_settings.clientAddress, error));
}

void SmtpSession::handleDataLine(QByteArrayView line, bool tooLong) {
    // Only the final LF may be a line break; anything else is a bare CR or LF. After a bare LF
    // the next line does not start a line in SMTP's sense, so "LF . CRLF" does not end the data.
    // A line that was too long may have been cut off in front: its tail is no line start, however
    // the input was split.
    const bool atLineStart = std::exchange(m_dataAtLineStart, line.endsWith("\r\n")) && !tooLong;
    if (atLineStart && line == ".\r\n")
        return finishMessage();
    if (tooLong)
        return refuseMessage(refusedLongLine);
    if (!m_dataAtLineStart || std::memchr(line.data(), '\r', size_t(line.size() - 2)))
        return refuseMessage(refusedBareLineEnd);
    if (!m_transaction.refusal.isEmpty())
        return;
    if (line.startsWith('.'))
        line = line.sliced(1);
    m_transaction.contentBytes += line.size();
    if (m_transaction.contentBytes > m_settings.maxMessageBytes)
        return refuseMessage(sizeRefusal());
    // Lines that follow each other in the input are passed on as one piece.
    if (!m_contentRun.isEmpty() && m_contentRun.data() + m_contentRun.size() == line.data()) {
        m_contentRun = QByteArrayView(m_contentRun.data(), m_contentRun.size() + line.size());
    } else {
        flushContentRun();
        m_contentRun = line;
    }
}

void SmtpSession::flushContentRun() {
    writeContent(std::exchange(m_contentRun, {}));
}

void SmtpSession::writeContent(QByteArrayView bytes) {
    if (!m_transaction.writer || bytes.isEmpty())
        return;
    try {
        m_transaction.writer->write(bytes.data(), bytes.size());
    } catch (const DurableFileError& error) {
        logStoreFailure(error.message());
        refuseMessage(storeFailed);
    }
}

QByteArray SmtpSession::sizeRefusal() const {
    if (m_settings.sizeLimitReason.isEmpty())
        return refusedSize;
    return "552 5.3.4 Message too big: " + m_settings.sizeLimitReason.toUtf8();
}

void SmtpSession::refuseMessage(const QByteArray& text) {
    if (!m_transaction.refusal.isEmpty())
        return;
    m_transaction.refusal = text;
    m_transaction.writer.reset(); // removes the partial file
    m_contentRun = {};
}

void SmtpSession::finishMessage() {
    m_phase = Phase::command;
    flushContentRun();
    if (!m_transaction.refusal.isEmpty()) {
        m_log.warning(QStringLiteral("refused a message from %1: %2")
                          .arg(m_settings.clientAddress, QString::fromUtf8(m_transaction.refusal)));
        reply(m_transaction.refusal);
        return resetTransaction();
    }
    // The connection makes the message durable, off the event loop, and reports back through
    // committed(); nothing else is read until then.
    m_output.commit = std::move(m_transaction.writer);
    m_paused = true;
}

SmtpSession::CommitOutcome SmtpSession::commit(SpoolWriter& writer) {
    try {
        return {writer.commit(), {}};
    } catch (const DurableFileError& error) {
        return {{}, error.message()};
    }
}

SmtpSession::Output SmtpSession::committed(const CommitOutcome& outcome) {
    const Envelope& envelope = m_transaction.envelope;
    if (outcome.id.isEmpty()) {
        logStoreFailure(outcome.error);
        reply(storeFailed);
    } else {
        m_log.info(QStringLiteral("accepted message %1 from %2: %3 bytes from <%4> to %5")
                       .arg(outcome.id, envelope.clientAddress,
                            QString::number(m_transaction.contentBytes), logText(envelope.mailFrom),
                            recipientSummary(envelope.recipients)));
        m_errorReplies = 0;
        reply("250 2.0.0 Ok: queued as " + outcome.id.toUtf8());
        m_output.accepted.append(outcome.id);
    }
    resetTransaction();
    return resume();
}

void SmtpSession::startTls(const QByteArray& argument) {
    if (m_settings.security != ListenerSecurity::startTls || m_tls)
        return reply("503 5.5.1 STARTTLS is not available here");
    if (!m_settings.tlsAvailable)
        return reply("454 4.7.0 TLS not available");
    if (!argument.isEmpty())
        return reply("501 5.5.4 Syntax: STARTTLS");
    if (m_unhandledAfterLine > 0) {
        // Plaintext sent behind STARTTLS would otherwise be taken as sent over TLS.
        m_log.warning(QStringLiteral("refused SMTP session from %1: commands were sent behind "
                                     "STARTTLS")
                          .arg(m_settings.clientAddress));
        return close("554 5.5.1 Commands sent behind STARTTLS, closing connection");
    }
    reply("220 2.0.0 Ready to start TLS");
    m_output.startTls = true;
    m_paused = true;
}

void SmtpSession::reply(const char* text) {
    reply(QByteArray(text));
}

void SmtpSession::reply(const QByteArray& text) {
    if (text.startsWith('4') || text.startsWith('5'))
        ++m_errorReplies;
    m_output.reply += text + "\r\n";
}

// The trace line RFC 5321 4.4 asks a relay for, with the protocol keywords of RFC 3848. It is
// written ahead of the client's text and does not count against its size limit.
QByteArray SmtpSession::traceField() const {
    QByteArray protocol = m_extendedHello ? "ESMTP" : "SMTP";
    if (m_extendedHello && m_tls)
        protocol += 'S';
    if (m_extendedHello && m_authenticated)
        protocol += 'A';
    return "Received: from " + traceToken(m_helloName) + " (" +
           addressLiteralOf(m_settings.clientAddress) + ")\r\n\tby " +
           m_settings.hostName.toUtf8() + " (zidire, " + listenerName(m_settings.security) +
           ") with " + protocol + ";\r\n\t" +
           m_transaction.envelope.receivedAt.toString(Qt::RFC2822Date).toLatin1() + "\r\n";
}

void SmtpSession::resetTransaction() {
    m_transaction = Transaction();
}

void SmtpSession::close(const char* text) {
    reply(text);
    m_output.close = true;
    m_phase = Phase::closed;
    resetTransaction();
}

} // namespace zidire
