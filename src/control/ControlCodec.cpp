#include "ControlCodec.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <type_traits>

ControlDecodingError::ControlDecodingError(const QString& description)
    : m_description(description)
    , m_what(description.toUtf8()) {}

QString toSnakeCase(const QString& name) {
    QString key;
    key.reserve(name.size() + 4);
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name[i];
        if (i > 0 && c.isUpper() && name[i - 1].isLower())
            key += u'_';
        key += c;
    }
    return key.toLower();
}

QString fromSnakeCase(const QString& key) {
    // Leading and trailing underscores belong to the name and are kept as they are.
    qsizetype begin = 0;
    while (begin < key.size() && key[begin] == u'_')
        ++begin;
    qsizetype end = key.size();
    while (end > begin && key[end - 1] == u'_')
        --end;

    const QStringList words = key.mid(begin, end - begin).split(u'_', Qt::SkipEmptyParts);
    if (words.size() <= 1)
        return key;

    QString name = key.left(begin) + words.first().toLower();
    for (qsizetype i = 1; i < words.size(); ++i)
        name += words[i].left(1).toUpper() + words[i].mid(1).toLower();
    return name + key.mid(end);
}

namespace {

template <class T> struct IsOptional : std::false_type {};
template <class T> struct IsOptional<std::optional<T>> : std::true_type {};

template <class T>
concept Record = requires(T& r) {
    T::describe(r, [](const char*, auto&) {});
};

// ---- encoding ----

QJsonValue toJson(const QString& v) {
    return v;
}
QJsonValue toJson(bool v) {
    return v;
}
QJsonValue toJson(qint64 v) {
    return v;
}
QJsonValue toJson(double v) {
    return v;
}
template <Record R> QJsonValue toJson(const R& record);
template <class T> QJsonValue toJson(const QList<T>& list);

template <class T> void writeMember(QJsonObject& object, const char* name, const T& value) {
    if constexpr (IsOptional<T>::value) {
        if (value)
            object.insert(toSnakeCase(QLatin1String(name)), toJson(*value));
    } else {
        object.insert(toSnakeCase(QLatin1String(name)), toJson(value));
    }
}

template <Record R> QJsonValue toJson(const R& record) {
    QJsonObject object;
    R::describe(record,
                [&](const char* name, const auto& value) { writeMember(object, name, value); });
    return object;
}

template <class T> QJsonValue toJson(const QList<T>& list) {
    QJsonArray array;
    for (const T& element : list)
        array.append(toJson(element));
    return array;
}

template <Record R> QByteArray encode(const R& record) {
    return QJsonDocument(toJson(record).toObject()).toJson(QJsonDocument::Compact);
}

// ---- decoding ----

// Decoding carries the path of the value being read ("status.listeners[1].tls") and the name of
// the message, so that an error says exactly what was wrong.
class Decoder {
public:
    explicit Decoder(QString messageName)
        : m_messageName(std::move(messageName)) {}

    [[noreturn]] void fail(const QString& path, const QString& problem) const {
        const QString where = path.isEmpty() ? QString() : u'"' + path + QStringLiteral("\" ");
        throw ControlDecodingError(
            QStringLiteral("couldn't read the %1: %2%3").arg(m_messageName, where, problem));
    }

    void read(const QJsonValue& v, const QString& path, QString& out) const {
        if (!v.isString())
            fail(path, QStringLiteral("isn't a string"));
        out = v.toString();
    }
    void read(const QJsonValue& v, const QString& path, bool& out) const {
        if (!v.isBool())
            fail(path, QStringLiteral("isn't a boolean"));
        out = v.toBool();
    }
    void read(const QJsonValue& v, const QString& path, qint64& out) const {
        // toInteger falls back to its argument unless the number is an exact 64-bit integer,
        // so two different fallbacks tell integers from fractions and out-of-range values.
        if (!v.isDouble() || v.toInteger(0) != v.toInteger(1))
            fail(path, QStringLiteral("isn't a 64-bit integer"));
        out = v.toInteger();
    }
    void read(const QJsonValue& v, const QString& path, double& out) const {
        if (!v.isDouble())
            fail(path, QStringLiteral("isn't a number"));
        out = v.toDouble();
    }
    template <class T> void read(const QJsonValue& v, const QString& path, QList<T>& out) const {
        if (!v.isArray())
            fail(path, QStringLiteral("isn't an array"));
        const QJsonArray array = v.toArray();
        out.clear();
        out.reserve(array.size());
        for (qsizetype i = 0; i < array.size(); ++i) {
            T element{};
            read(array[i], path + u'[' + QString::number(i) + u']', element);
            out.append(std::move(element));
        }
    }
    template <Record R> void read(const QJsonValue& v, const QString& path, R& out) const {
        if (!v.isObject())
            fail(path, QStringLiteral("isn't an object"));
        const QJsonObject object = v.toObject();
        QHash<QString, QJsonValue> byName;
        for (auto it = object.begin(); it != object.end(); ++it)
            byName.insert(fromSnakeCase(it.key()), it.value());

        R::describe(out, [&](const char* name, auto& field) {
            const QString key = toSnakeCase(QLatin1String(name));
            const QString fieldPath = path.isEmpty() ? key : path + u'.' + key;
            const QJsonValue value = byName.value(QLatin1String(name), QJsonValue::Undefined);
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
            fail(QString(), QStringLiteral("not valid JSON (%1 at byte %2)")
                                .arg(parseError.errorString())
                                .arg(parseError.offset));
        if (!document.isObject())
            fail(QString(), QStringLiteral("not a JSON object"));
        R record{};
        read(QJsonValue(document.object()), QString(), record);
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
