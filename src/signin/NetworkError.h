#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

// A failure of Qt's network layer (the loopback listener, the HTTP client), carrying Qt's own
// text. It passes through the sign-in unchanged; callers show it after their own prefix.
class NetworkError : public std::exception {
public:
    explicit NetworkError(const QString& localizedDescription)
        : m_description(localizedDescription)
        , m_what(localizedDescription.toUtf8()) {}
    QString localizedDescription() const { return m_description; }
    const char* what() const noexcept override { return m_what.constData(); }

private:
    QString m_description;
    QByteArray m_what;
};
