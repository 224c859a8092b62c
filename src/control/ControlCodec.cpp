#include "ControlCodec.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace {

bool isAsciiUpper(char c) {
    return c >= 'A' && c <= 'Z';
}
bool isAsciiLower(char c) {
    return c >= 'a' && c <= 'z';
}

} // namespace

ControlDecodingError::ControlDecodingError(const QString& description)
    : m_description(description)
    , m_what(description.toUtf8()) {}

QByteArray toSnakeCase(const char* name) {
    QByteArray key(2 * qsizetype(std::strlen(name)), Qt::Uninitialized);
    char* out = key.data();
    for (const char* c = name; *c; ++c) {
        if (c != name && isAsciiUpper(*c) && isAsciiLower(c[-1]))
            *out++ = '_';
        *out++ = isAsciiUpper(*c) ? char(*c - 'A' + 'a') : *c;
    }
    key.truncate(out - key.constData());
    return key;
}

QString fromSnakeCase(const QString& key) {
    // Leading and trailing underscores belong to the name and are kept as they are.
    qsizetype begin = 0;
    while (begin < key.size() && key[begin] == u'_')
        ++begin;
    qsizetype end = key.size();
    while (end > begin && key[end - 1] == u'_')
        --end;

    const QStringView words = QStringView(key).sliced(begin, end - begin);
    if (!words.contains(u'_'))
        return key;

    QString name = key.first(begin);
    bool first = true;
    for (const QStringView word : words.tokenize(u'_', Qt::SkipEmptyParts)) {
        if (first)
            name += word.toString().toLower();
        else
            name += word.first(1).toString().toUpper() + word.sliced(1).toString().toLower();
        first = false;
    }
    return name.append(QStringView(key).sliced(end));
}

namespace {

template <class T> struct IsOptional : std::false_type {};
template <class T> struct IsOptional<std::optional<T>> : std::true_type {};

template <class T>
concept Record = requires(T& r) {
    T::describe(r, [](const char*, auto&) {});
};

// Every message needs the keys of its fields, and field names are literals: each key is worked
// out once per thread.
const QByteArray& keyOf(const char* name) {
    thread_local std::unordered_map<const char*, QByteArray> keys;
    auto [entry, added] = keys.try_emplace(name);
    if (added)
        entry->second = toSnakeCase(name);
    return entry->second;
}

// ---- encoding ----

// JSON is written directly: building a QJsonObject first costs more than all the rest of
// answering a status request. The bytes are those QJsonDocument writes: compact, keys sorted,
// strings in UTF-8 with only what JSON requires escaped (and a lone surrogate as \uXXXX).

void appendEscaped(QByteArray& out, char16_t unit) {
    static const char digits[] = "0123456789abcdef";
    switch (unit) {
    case u'"':
    case u'\\':
        out += '\\';
        out += char(unit);
        return;
    case u'\b':
        out += "\\b";
        return;
    case u'\f':
        out += "\\f";
        return;
    case u'\n':
        out += "\\n";
        return;
    case u'\r':
        out += "\\r";
        return;
    case u'\t':
        out += "\\t";
        return;
    default:
        out += "\\u";
        for (const int shift : {12, 8, 4, 0})
            out += digits[(unit >> shift) & 0xf];
    }
}

void appendUtf8(QByteArray& out, char32_t c) {
    if (c < 0x800) {
        out += char(0xc0 | c >> 6);
    } else if (c < 0x10000) {
        out += char(0xe0 | c >> 12);
        out += char(0x80 | (c >> 6 & 0x3f));
    } else {
        out += char(0xf0 | c >> 18);
        out += char(0x80 | (c >> 12 & 0x3f));
        out += char(0x80 | (c >> 6 & 0x3f));
    }
    out += char(0x80 | (c & 0x3f));
}

void appendJson(QByteArray& out, const QString& text) {
    out += '"';
    for (qsizetype i = 0; i < text.size(); ++i) {
        // Plain ASCII, by far the most of it, is copied in runs.
        qsizetype plain = i;
        while (plain < text.size() && text[plain] >= u' ' && text[plain] < u'\x80' &&
               text[plain] != u'"' && text[plain] != u'\\')
            ++plain;
        if (plain > i) {
            const qsizetype at = out.size();
            out.resize(at + plain - i);
            std::transform(text.constData() + i, text.constData() + plain, out.data() + at,
                           [](QChar c) { return char(c.unicode()); });
            i = plain - 1;
            continue;
        }
        const char16_t unit = text[i].unicode();
        if (unit < 0x80) {
            appendEscaped(out, unit);
        } else if (QChar::isHighSurrogate(unit) && i + 1 < text.size() &&
                   text[i + 1].isLowSurrogate()) {
            appendUtf8(out, QChar::surrogateToUcs4(unit, text[++i].unicode()));
        } else if (QChar::isSurrogate(unit)) {
            appendEscaped(out, unit);
        } else {
            appendUtf8(out, unit);
        }
    }
    out += '"';
}

void appendJson(QByteArray& out, bool value) {
    out += value ? "true" : "false";
}
void appendJson(QByteArray& out, qint64 value) {
    out += QByteArray::number(value);
}
void appendJson(QByteArray& out, double value) {
    out += std::isfinite(value) ? QByteArray::number(value, 'g', QLocale::FloatingPointShortest)
                                : QByteArray("null");
}
template <Record R> void appendJson(QByteArray& out, const R& record);
template <class T> void appendJson(QByteArray& out, const QList<T>& list) {
    out += '[';
    for (qsizetype i = 0; i < list.size(); ++i) {
        if (i > 0)
            out += ',';
        appendJson(out, list[i]);
    }
    out += ']';
}

// The values are written in the order the record lists them, then put out in the order of
// their keys.
template <Record R> void appendJson(QByteArray& out, const R& record) {
    struct Member {
        const QByteArray* key;
        qsizetype begin;
        qsizetype end;
    };
    std::vector<Member> members;
    members.reserve(16);
    QByteArray values;
    const auto add = [&](const char* name, const auto& value) {
        members.push_back({&keyOf(name), values.size(), 0});
        appendJson(values, value);
        members.back().end = values.size();
    };
    R::describe(record, [&](const char* name, const auto& value) {
        if constexpr (IsOptional<std::remove_cvref_t<decltype(value)>>::value) {
            if (value)
                add(name, *value);
        } else {
            add(name, value);
        }
    });
    std::sort(members.begin(), members.end(),
              [](const Member& a, const Member& b) { return *a.key < *b.key; });
    out += '{';
    for (const Member& member : members) {
        if (&member != &members.front())
            out += ',';
        out += '"';
        out += *member.key;
        out += "\":";
        out += QByteArrayView(values).sliced(member.begin, member.end - member.begin);
    }
    out += '}';
}

template <Record R> QByteArray encode(const R& record) {
    QByteArray out;
    out.reserve(512);
    appendJson(out, record);
    return out;
}

// ---- decoding ----

// Where a value sits in the message ("status.listeners[1].tls"), put into words only when an
// error names it: spelling it out for every value costs more than reading the values.
struct Path {
    const Path* parent = nullptr; // none for the message itself
    const char* field = nullptr;  // a field of the parent record, or
    qsizetype index = 0;          // an element of the parent array

    QString text() const {
        if (!parent)
            return {};
        const QString outer = parent->text();
        if (!field)
            return outer + u'[' + QString::number(index) + u']';
        const QString key = QString::fromLatin1(keyOf(field));
        return outer.isEmpty() ? key : outer + u'.' + key;
    }
};

// Decoding carries the path of the value being read and the name of the message, so that an
// error says exactly what was wrong.
class Decoder {
public:
    explicit Decoder(QString messageName)
        : m_messageName(std::move(messageName)) {}

    [[noreturn]] void fail(const Path& path, const QString& problem) const {
        const QString text = path.text();
        const QString where = text.isEmpty() ? QString() : u'"' + text + QStringLiteral("\" ");
        throw ControlDecodingError(
            QStringLiteral("couldn't read the %1: %2%3").arg(m_messageName, where, problem));
    }

    void read(const QJsonValue& v, const Path& path, QString& out) const {
        if (!v.isString())
            fail(path, QStringLiteral("isn't a string"));
        out = v.toString();
    }
    void read(const QJsonValue& v, const Path& path, bool& out) const {
        if (!v.isBool())
            fail(path, QStringLiteral("isn't a boolean"));
        out = v.toBool();
    }
    void read(const QJsonValue& v, const Path& path, qint64& out) const {
        // toInteger falls back to its argument unless the number is an exact 64-bit integer,
        // so two different fallbacks tell integers from fractions and out-of-range values.
        if (!v.isDouble() || v.toInteger(0) != v.toInteger(1))
            fail(path, QStringLiteral("isn't a 64-bit integer"));
        out = v.toInteger();
    }
    void read(const QJsonValue& v, const Path& path, double& out) const {
        if (!v.isDouble())
            fail(path, QStringLiteral("isn't a number"));
        out = v.toDouble();
    }
    template <class T> void read(const QJsonValue& v, const Path& path, QList<T>& out) const {
        if (!v.isArray())
            fail(path, QStringLiteral("isn't an array"));
        const QJsonArray array = v.toArray();
        out.clear();
        out.reserve(array.size());
        for (qsizetype i = 0; i < array.size(); ++i) {
            T element{};
            read(array[i], Path{&path, nullptr, i}, element);
            out.append(std::move(element));
        }
    }
    template <Record R> void read(const QJsonValue& v, const Path& path, R& out) const {
        if (!v.isObject())
            fail(path, QStringLiteral("isn't an object"));
        const QJsonObject object = v.toObject();
        // Each value under the name of the field its key stands for. A record has a few fields,
        // so looking through them beats hashing.
        std::vector<std::pair<QString, QJsonValue>> members;
        members.reserve(size_t(object.size()));
        for (auto it = object.begin(); it != object.end(); ++it)
            members.emplace_back(fromSnakeCase(it.key()), it.value());

        R::describe(out, [&](const char* name, auto& field) {
            const Path fieldPath{&path, name};
            // Of several keys for one field, the last counts.
            QJsonValue value(QJsonValue::Undefined);
            for (const auto& [key, member] : members)
                if (key == QLatin1StringView(name))
                    value = member;
            using Field = std::remove_reference_t<decltype(field)>;
            if constexpr (IsOptional<Field>::value) {
                if (value.isUndefined() || value.isNull()) {
                    field.reset();
                } else {
                    typename Field::value_type inner{};
                    read(value, fieldPath, inner);
                    field = std::move(inner);
                }
            } else {
                if (value.isUndefined() || value.isNull())
                    fail(fieldPath, QStringLiteral("is missing"));
                read(value, fieldPath, field);
            }
        });
    }

    template <Record R> R decodeDocument(const QByteArray& bytes) const {
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
        if (parseError.error != QJsonParseError::NoError)
            fail(Path{}, QStringLiteral("not valid JSON (%1 at byte %2)")
                             .arg(parseError.errorString())
                             .arg(parseError.offset));
        if (!document.isObject())
            fail(Path{}, QStringLiteral("not a JSON object"));
        R record{};
        read(QJsonValue(document.object()), Path{}, record);
        return record;
    }

private:
    QString m_messageName;
};

} // namespace

QByteArray encodeControlRequest(const ControlRequest& request) {
    return encode(request);
}
QByteArray encodeControlResponse(const ControlResponse& response) {
    return encode(response);
}

ControlRequest decodeControlRequest(const QByteArray& bytes) {
    return Decoder(QStringLiteral("request")).decodeDocument<ControlRequest>(bytes);
}

ControlResponse decodeControlResponse(const QByteArray& bytes) {
    return Decoder(QStringLiteral("response")).decodeDocument<ControlResponse>(bytes);
}
