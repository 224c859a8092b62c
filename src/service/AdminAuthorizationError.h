#pragma once

#include "AuthorizationServices.h"

#include <QByteArray>
#include <QString>

#include <exception>

// Why administrator rights were not obtained. The description is the text the user reads after
// the action's prefix.
class AdminAuthorizationError : public std::exception {
public:
    enum class Kind {
        failed,   // with the platform's status
        canceled, // the person dismissed the password dialog
    };

    static AdminAuthorizationError failed(OSStatus status) { return {Kind::failed, status}; }
    static AdminAuthorizationError canceled() { return {Kind::canceled, errAuthorizationSuccess}; }

    Kind kind() const { return m_kind; }
    // The platform's status for `failed`.
    OSStatus status() const { return m_status; }
    QString description() const;
    const char* what() const noexcept override { return m_what.constData(); }

private:
    AdminAuthorizationError(Kind kind, OSStatus status);

    Kind m_kind;
    OSStatus m_status;
    QByteArray m_what;
};
