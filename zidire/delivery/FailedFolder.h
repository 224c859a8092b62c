#pragma once

// Where messages that could not be delivered are kept for the user: each as "msg-<id>.eml", the
// message as it arrived (openable in any mail program), beside "msg-<id>.txt" saying who sent it
// to whom and why it failed.

#include "spool/Spool.h"

#include <QString>

namespace zidire {

class FailedFolder {
public:
    explicit FailedFolder(QString directory);

    QString directory() const { return m_directory; }

    // Durable when it returns; throws DurableFileError.
    void keep(const Spool::Message& message, const QString& reason) const;

private:
    QString m_directory;
};

} // namespace zidire
