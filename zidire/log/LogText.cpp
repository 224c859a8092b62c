#include "LogText.h"

#include <QList>

namespace zidire {

namespace {

bool startsAnotherLine(char32_t c) {
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_Surrogate:
    case QChar::Other_NotAssigned:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

// Collects escaped characters up to the limit.
class EscapedText {
public:
    explicit EscapedText(qsizetype maxCharacters)
        : m_left(maxCharacters) {}

    // False once the limit is reached (the text then ends with "…").
    bool add(char32_t c, bool invalidByte = false) {
        if (m_left-- == 0) {
            m_text += u'…';
            return false;
        }
        if (invalidByte || (c < 0x100 && startsAnotherLine(c)))
            m_text += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        else if (startsAnotherLine(c))
            m_text += QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0'));
        else if (c == u'\\')
            m_text += QStringLiteral("\\\\");
        else
            m_text += QString::fromUcs4(&c, 1);
        return true;
    }
    QString text() && { return std::move(m_text); }

private:
    QString m_text;
    qsizetype m_left;
};

qsizetype utf8SequenceLength(unsigned char lead) {
    if (lead < 0x80)
        return 1;
    if ((lead >> 5) == 0x6)
        return 2;
    if ((lead >> 4) == 0xe)
        return 3;
    if ((lead >> 3) == 0x1e)
        return 4;
    return 0;
}

} // namespace

QString logText(QStringView text, qsizetype maxCharacters) {
    EscapedText out(maxCharacters);
    for (const char32_t c : text.toUcs4())
        if (!out.add(c))
            break;
    return std::move(out).text();
}

QString logText(QByteArrayView bytes, qsizetype maxCharacters) {
    EscapedText out(maxCharacters);
    for (qsizetype i = 0; i < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const qsizetype length = utf8SequenceLength(lead);
        const bool valid =
            length > 0 && i + length <= bytes.size() && bytes.sliced(i, length).isValidUtf8();
        const bool more = valid ? out.add(QString::fromUtf8(bytes.sliced(i, length)).toUcs4()[0])
                                : out.add(lead, true);
        if (!more)
            break;
        i += valid ? length : 1;
    }
    return std::move(out).text();
}

} // namespace zidire
