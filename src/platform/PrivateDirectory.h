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

// Makes sure the directory at `path` is this user's alone: owned by the effective user or root,
// with no permission for group or others. A folder given in the environment may be anybody's, and
// what is put in it is only as private as the folder. Throws PrivateDirectoryError.
void requirePrivateDirectory(const QString& path);
