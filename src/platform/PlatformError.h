#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

// A refusal or failure reported by the platform (systemd, polkit, Qt's network layer) in its own
// words. The text passes through unchanged: callers show it after their own fixed prefix.
class PlatformError : public std::exception {
public:
    explicit PlatformError(const QString& localizedDescription)
        : m_description(localizedDescription)
        , m_what(localizedDescription.toUtf8()) {}
    QString localizedDescription() const { return m_description; }
    const char* what() const noexcept override { return m_what.constData(); }

private:
    QString m_description;
    QByteArray m_what;
};
