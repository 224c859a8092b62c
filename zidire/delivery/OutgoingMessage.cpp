#include "OutgoingMessage.h"

#include <QRandomGenerator>
#include <QRegularExpression>

#include <optional>

namespace zidire {

namespace {

constexpr qsizetype foldAfter = 76;

struct HeaderField {
    QByteArray name;  // as written
    QByteArray lines; // the whole field, continuation lines and line ends included
};

struct ParsedMessage {
    QList<HeaderField> fields;
    QByteArray body; // the empty line that ends the header section, and everything after it
};

// The field name of a line that starts a field, or nothing. Whitespace between the name and the
// colon is obsolete syntax that must still be read (RFC 5322 4.5); taking such a line for text
// would move every field after it into the body.
std::optional<QByteArrayView> fieldNameOf(QByteArrayView line) {
    const qsizetype colon = line.indexOf(':');
    QByteArrayView name = line.first(std::max<qsizetype>(colon, 0));
    while (name.endsWith(' ') || name.endsWith('\t'))
        name.chop(1);
    if (name.isEmpty())
        return std::nullopt;
    for (const char c : name)
        if (c <= ' ' || c > '~')
            return std::nullopt;
    return name;
}

// The header section ends at the first empty line. A line that is neither a field nor the
// continuation of one ends it too, and starts the body: a copier that wrote no headers at all, or
// forgot the empty line, still has its text delivered.
ParsedMessage parse(const QByteArray& content) {
    ParsedMessage parsed;
    qsizetype position = 0;
    while (position < content.size()) {
        const qsizetype newline = content.indexOf('\n', position);
        const qsizetype next = newline < 0 ? content.size() : newline + 1;
        QByteArrayView line = QByteArrayView(content).sliced(position, next - position);
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty()) {
            parsed.body = content.mid(position);
            return parsed;
        }
        if ((line.startsWith(' ') || line.startsWith('\t')) && !parsed.fields.isEmpty()) {
            parsed.fields.last().lines += content.mid(position, next - position);
        } else if (const std::optional<QByteArrayView> name = fieldNameOf(line)) {
            parsed.fields.append({name->toByteArray(), content.mid(position, next - position)});
        } else {
            break;
        }
        position = next;
    }
    parsed.body = content.mid(position);
    // The field lines kept their own ends; a body that follows them needs the separating line.
    parsed.body.prepend("\r\n");
    return parsed;
}

bool isField(const HeaderField& field, const char* name) {
    return field.name.compare(name, Qt::CaseInsensitive) == 0;
}

// The field's value, unfolded.
QByteArray valueOf(const HeaderField& field) {
    QByteArray value = field.lines.mid(field.lines.indexOf(':') + 1);
    value.replace("\r\n", "").replace('\n', "");
    return value.trimmed();
}

const HeaderField* find(const QList<HeaderField>& fields, const char* name) {
    for (const HeaderField& field : fields)
        if (isField(field, name))
            return &field;
    return nullptr;
}

bool containsAddress(const QList<QByteArray>& list, const QByteArray& address) {
    for (const QByteArray& entry : list)
        if (entry.compare(address, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

// An address someone can answer to: a local part and a dotted domain name (not a bare host name
// or an IP address, which copiers use as placeholders).
bool isReachable(const QByteArray& address) {
    static const QRegularExpression pattern(
        QStringLiteral("^[^@\\s]+@([A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?\\.)+[A-Za-z][A-Za-z0-9-"
                       "]*[A-Za-z0-9]$"));
    return pattern.match(QString::fromUtf8(address)).hasMatch();
}

QByteArray domainOf(const QString& address) {
    return address.mid(address.lastIndexOf(u'@') + 1).toUtf8();
}

QByteArray headerLine(const char* name, const QByteArray& value) {
    return QByteArray(name) + ": " + value + "\r\n";
}

// One address per line after the first, so that no line grows past the limit however many.
QByteArray addressListField(const char* name, const QList<QByteArray>& addresses) {
    QByteArray value;
    for (const QByteArray& address : addresses) {
        if (!value.isEmpty())
            value += ",\r\n ";
        value += address;
    }
    return headerLine(name, value);
}

QByteArray rfc5322Date(const QDateTime& at) {
    return at.toUTC().toString(Qt::RFC2822Date).toLatin1();
}

} // namespace

QList<QByteArray> addressesIn(QByteArrayView headerValue) {
    QList<QByteArray> addresses;
    QByteArray plain; // the element's text outside comments and quoted strings
    std::optional<QByteArray> angle;
    bool inQuote = false;
    bool inAngle = false;
    int commentDepth = 0;
    const auto finishElement = [&] {
        const QByteArray address = (angle ? *angle : plain).trimmed();
        if (address.contains('@') && !address.contains(' '))
            addresses.append(address);
        plain.clear();
        angle.reset();
    };
    for (qsizetype i = 0; i < headerValue.size(); ++i) {
        const char c = headerValue[i];
        if (inQuote) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inQuote = false;
        } else if (commentDepth > 0) {
            if (c == '\\')
                ++i;
            else if (c == '(')
                ++commentDepth;
            else if (c == ')')
                --commentDepth;
        } else if (inAngle) {
            if (c == '>')
                inAngle = false;
            else
                *angle += c;
        } else if (c == '"') {
            inQuote = true;
        } else if (c == '(') {
            commentDepth = 1;
        } else if (c == '<') {
            inAngle = true;
            angle = QByteArray();
        } else if (c == ',' || c == ';') {
            finishElement();
        } else if (c == ':') {
            plain.clear(); // a group's display name
        } else {
            plain += c;
        }
    }
    finishElement();
    return addresses;
}

QByteArray prepareForProvider(const Spool::Message& message, const QString& senderAddress) {
    const ParsedMessage parsed = parse(message.content);

    QList<QByteArray> headerRecipients;
    QList<QByteArray> bcc;
    for (const HeaderField& field : parsed.fields) {
        if (isField(field, "To") || isField(field, "Cc"))
            headerRecipients += addressesIn(valueOf(field));
        else if (isField(field, "Bcc"))
            bcc += addressesIn(valueOf(field));
    }
    headerRecipients += bcc;
    for (const QString& recipient : message.envelope.recipients) {
        const QByteArray address = recipient.toUtf8();
        if (!containsAddress(headerRecipients, address)) {
            bcc.append(address);
            headerRecipients.append(address);
        }
    }

    const HeaderField* from = find(parsed.fields, "From");
    const QByteArray originalSender =
        from ? addressesIn(valueOf(*from)).value(0) : message.envelope.mailFrom.toUtf8();
    const QByteArray sender = senderAddress.toUtf8();

    QByteArray headers = headerLine("From", sender);
    if (!find(parsed.fields, "Reply-To") && isReachable(originalSender) &&
        originalSender.compare(sender, Qt::CaseInsensitive) != 0)
        headers += headerLine("Reply-To", originalSender);
    if (!bcc.isEmpty())
        headers += addressListField("Bcc", bcc);
    if (!find(parsed.fields, "Date"))
        headers += headerLine("Date", rfc5322Date(message.envelope.receivedAt.isValid()
                                                      ? message.envelope.receivedAt
                                                      : QDateTime::currentDateTimeUtc()));
    // Made from the spool id, so a message delivered twice (after a crash) is recognisably one.
    if (!find(parsed.fields, "Message-ID"))
        headers += headerLine("Message-ID", "<zidire." + message.id.toUtf8() + '@' +
                                                domainOf(senderAddress) + '>');
    for (const HeaderField& field : parsed.fields)
        if (!isField(field, "From") && !isField(field, "Sender") && !isField(field, "Bcc"))
            headers += field.lines;
    return headers + parsed.body;
}

QByteArray testMessage(const QString& senderAddress, const QString& to, const QString& providerName,
                       const QDateTime& now) {
    const QByteArray unique = QByteArray::number(QRandomGenerator::system()->generate64(), 16);
    return headerLine("From", senderAddress.toUtf8()) + headerLine("To", to.toUtf8()) +
           headerLine("Subject", "Moxtrel test message") + headerLine("Date", rfc5322Date(now)) +
           headerLine("Message-ID",
                      "<zidire.test." + unique + '@' + domainOf(senderAddress) + '>') +
           headerLine("MIME-Version", "1.0") +
           headerLine("Content-Type", "text/plain; charset=us-ascii") +
           "\r\n"
           "This is a test message from Moxtrel. Scans from your copiers are sent the same way,\r\n"
           "through " +
           providerName.toUtf8() + " from " + senderAddress.toUtf8() + ".\r\n";
}

} // namespace zidire
