#pragma once

// The token an administrator's authorization leaves for zidire: a file in the authority directory
// named by the lower-case hex of 32 random bytes. Whoever can show zidire those bytes proves that
// the file was made for them, once: zidire deletes it on use and ignores it after five minutes.

#include <QByteArray>
#include <QString>

#include <stdexcept>

class AuthorityTokenError : public std::runtime_error {
public:
    explicit AuthorityTokenError(const QString& message)
        : std::runtime_error(message.toStdString()) {}
};

// Creates a fresh token file (mode 0600) in `directory`, creating the directory (mode 0700) when
// it is missing, and returns the token's bytes. A directory that others could read or write is
// refused. Throws AuthorityTokenError.
QByteArray mintAuthorityToken(const QString& directory);
