#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

// Why an exchange with zidire failed. The description is a fixed lower-case phrase that callers
// show after their own prefix; connectFailed and ioFailed carry the system's text for errno.
class ControlClientError : public std::exception {
public:
    enum class Kind {
        connectFailed,
        ioFailed,
        serverError,
        socketCreateFailed,
        pathTooLong,
        permissionDenied,
        notRunning,
        emptyResponse,
    };

    static ControlClientError connectFailed(const QString& detail) {
        return {Kind::connectFailed, detail};
    }
    static ControlClientError ioFailed(const QString& detail) { return {Kind::ioFailed, detail}; }
    static ControlClientError serverError(const QString& message) {
        return {Kind::serverError, message};
    }
    static ControlClientError socketCreateFailed() { return {Kind::socketCreateFailed, {}}; }
    static ControlClientError pathTooLong() { return {Kind::pathTooLong, {}}; }
    static ControlClientError permissionDenied() { return {Kind::permissionDenied, {}}; }
    static ControlClientError notRunning() { return {Kind::notRunning, {}}; }
    static ControlClientError emptyResponse() { return {Kind::emptyResponse, {}}; }

    Kind kind() const { return m_kind; }
    QString detail() const { return m_detail; }
    QString description() const;
    const char* what() const noexcept override { return m_what.constData(); }

private:
    ControlClientError(Kind kind, const QString& detail);

    Kind m_kind;
    QString m_detail;
    QByteArray m_what;
};
