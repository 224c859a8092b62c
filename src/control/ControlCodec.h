#pragma once

// JSON encoding of the control records. Keys on the wire are the fields' camel-case names in
// snake case; decoding accepts snake case and the camel-case names as written, ignores unknown
// keys, and rejects the whole message when a required key is missing, null or of the wrong type.

#include "ControlMessages.h"

#include <QByteArray>
#include <QString>

#include <exception>

// A message that is not the JSON the records describe. Carries a text that says where and why,
// and passes through every layer unchanged (callers show it after their own prefix).
class ControlDecodingError : public std::exception {
public:
    explicit ControlDecodingError(const QString& description);
    QString description() const { return m_description; }
    const char* what() const noexcept override { return m_what.constData(); }

private:
    QString m_description;
    QByteArray m_what;
};

// `refreshToken` -> "refresh_token": an underscore before each upper-case letter that follows a
// lower-case one, then the whole key lower-cased. Field names are ASCII.
QByteArray toSnakeCase(const char* name);
// "device_password_stored" -> `devicePasswordStored`; a key without underscores stays as written.
QString fromSnakeCase(const QString& key);

QByteArray encodeControlRequest(const ControlRequest& request);
QByteArray encodeControlResponse(const ControlResponse& response);

ControlRequest decodeControlRequest(const QByteArray& bytes);
ControlResponse decodeControlResponse(const QByteArray& bytes);
