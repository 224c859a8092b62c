#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

// Why a sign-in failed, apart from network failures (NetworkError) and cancellation. The
// description is a fixed lower-case phrase that callers show after their own prefix.
class OAuthFlowError : public std::exception {
public:
    enum class Kind {
        providerError,
        exchangeFailed,
        timedOut,
        stateMismatch,
        missingCode,
        noRefreshToken,
    };

    static OAuthFlowError providerError(const QString& text) { return {Kind::providerError, text}; }
    static OAuthFlowError exchangeFailed(const QString& responseText) {
        return {Kind::exchangeFailed, responseText};
    }
    static OAuthFlowError timedOut() { return {Kind::timedOut, {}}; }
    static OAuthFlowError stateMismatch() { return {Kind::stateMismatch, {}}; }
    static OAuthFlowError missingCode() { return {Kind::missingCode, {}}; }
    static OAuthFlowError noRefreshToken() { return {Kind::noRefreshToken, {}}; }

    Kind kind() const { return m_kind; }
    QString detail() const { return m_detail; }
    QString description() const;
    const char* what() const noexcept override { return m_what.constData(); }

private:
    OAuthFlowError(Kind kind, const QString& detail);

    Kind m_kind;
    QString m_detail;
    QByteArray m_what;
};
