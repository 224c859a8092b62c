#pragma once

#include <QString>

#include <stdexcept>

class PrivateDirectoryError : public std::runtime_error {
public:
    explicit PrivateDirectoryError(const QString& message)
        : std::runtime_error(message.toStdString()) {}
};

// Makes sure `path` is a directory, creating it and any missing parent with mode 0700: what goes
// in (zidire's state, authorization tokens) is only for the user who made it. A directory that
// exists already is left as it is. Throws PrivateDirectoryError.
void createPrivateDirectory(const QString& path);
