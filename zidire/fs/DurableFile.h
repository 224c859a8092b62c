#pragma once

// Files that survive a crash or power loss whole or not at all: content goes to a temporary
// file beside the target (or a file without a name), is fsynced, renamed over the target (or
// linked under its name), and the directory is fsynced so the name itself is on disk.

#include <QByteArray>
#include <QString>

#include <memory>
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
    // A file without a name in `directory` (O_TMPFILE), linked under its final name by commit(),
    // which must not exist yet. Nothing of it is left when it is not committed, and making it
    // doesn't lock the directory. Null where the file system has no such files; throws
    // DurableFileError.
    static std::unique_ptr<DurableFileWriter> unnamed(const QString& directory, mode_t mode = 0600);
    ~DurableFileWriter();
    DurableFileWriter(const DurableFileWriter&) = delete;
    DurableFileWriter& operator=(const DurableFileWriter&) = delete;

    void write(const char* data, qint64 size);
    void write(const QByteArray& data) { write(data.constData(), data.size()); }
    void commit(const QString& finalPath);

private:
    struct Unnamed {};
    DurableFileWriter(Unnamed, QString directory); // not open yet
    [[noreturn]] void fail(const char* what) const;

    QString m_tempPath;  // empty for an unnamed file
    QString m_directory; // of an unnamed file, for errors
    int m_fd = -1;
    bool m_committed = false;
};

// Replaces `path` with `data` atomically and durably (temp file "<path>.tmp").
void writeFileDurably(const QString& path, const QByteArray& data, mode_t mode = 0600);

// fsyncs a directory so that renames and removals in it are durable.
void syncDirectory(const QString& directory);

} // namespace zidire
