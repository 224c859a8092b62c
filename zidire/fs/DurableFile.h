#pragma once

// Files that survive a crash or power loss whole or not at all: content goes to a temporary
// file beside the target, is fsynced, renamed over the target, and the directory is fsynced so
// the rename itself is on disk.

#include <QByteArray>
#include <QString>

#include <stdexcept>
#include <sys/types.h>

namespace zidire {

class DurableFileError : public std::runtime_error {
public:
    explicit DurableFileError(const QString& message)
        : std::runtime_error(message.toStdString()) {}
    QString message() const { return QString::fromStdString(what()); }
};

// Streams content into `tempPath` and moves it to its final path on commit(). `tempPath` is always
// created anew (O_EXCL, O_NOFOLLOW): whatever has that name already is removed first, never
// followed or written into. Destroyed without a commit, it removes the temporary file, so a
// failed write leaves nothing behind.
class DurableFileWriter {
public:
    explicit DurableFileWriter(QString tempPath, mode_t mode = 0600);
    ~DurableFileWriter();
    DurableFileWriter(const DurableFileWriter&) = delete;
    DurableFileWriter& operator=(const DurableFileWriter&) = delete;

    void write(const char* data, qint64 size);
    void write(const QByteArray& data) { write(data.constData(), data.size()); }
    void commit(const QString& finalPath);

private:
    [[noreturn]] void fail(const char* what) const;

    QString m_tempPath;
    int m_fd = -1;
    bool m_committed = false;
};

// Replaces `path` with `data` atomically and durably (temp file "<path>.tmp").
void writeFileDurably(const QString& path, const QByteArray& data, mode_t mode = 0600);

// fsyncs a directory so that renames and removals in it are durable.
void syncDirectory(const QString& directory);

} // namespace zidire
