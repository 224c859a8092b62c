#pragma once

// The certificate the SMTP listeners present. Copiers on a LAN cannot check a public certificate
// for a private address anyway, so zidire makes its own on first start and keeps it.

#include <QSslCertificate>
#include <QSslKey>
#include <QString>

#include <stdexcept>

namespace zidire {

class Log;

class TlsIdentityError : public std::runtime_error {
public:
    explicit TlsIdentityError(const QString& message)
        : std::runtime_error(message.toStdString()) {}
    QString message() const { return QString::fromStdString(what()); }
};

struct TlsIdentity {
    QSslCertificate certificate;
    QSslKey privateKey;
};

// Loads the pair kept in `directory`. When there is none, or it is unreadable, mismatched or about
// to expire, makes a new self-signed one (RSA 2048, SHA-256, ten years, CN and SANs for
// `hostName`) and stores it durably, the key with mode 0600. Throws TlsIdentityError.
TlsIdentity loadOrCreateTlsIdentity(const QString& directory, const QString& hostName, Log& log);

} // namespace zidire
