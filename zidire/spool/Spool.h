#pragma once

// The durable queue of accepted messages: one file per message (envelope + content). A message is
// on disk, fsynced with its directory, before the SMTP server answers "250"; nothing that was
// acknowledged is ever removed except by a delivery that the provider accepted.

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <memory>

namespace zidire {

class Log;

struct Envelope {
    QString mailFrom;       // reverse path, may be empty ("MAIL FROM:<>")
    QStringList recipients; // forward paths in the order given
    QString clientAddress;  // the submitting copier, "host:port"
    QDateTime receivedAt;   // UTC
};

// One message being received. Nothing is visible in the queue until commit() returns; destroyed
// without a commit, it leaves nothing behind. It must not outlive its spool; commit() may run on
// another thread than the one that began the message.
class SpoolWriter {
public:
    virtual ~SpoolWriter() = default;
    virtual void write(const char* data, qint64 size) = 0; // throws DurableFileError
    virtual qint64 size() const = 0;                       // content bytes written so far
    virtual QString commit() = 0; // durable when it returns; the message id; throws
};

class Spool {
public:
    // Creates the directory if needed, removes crash leftovers (incomplete files) and counts the
    // complete messages, which stay queued for delivery.
    Spool(QString directory, Log& log);
    ~Spool();

    QString directory() const;
    qint64 depth() const; // complete messages waiting

    // Creates the message's file; may run on any thread. Throws DurableFileError.
    std::unique_ptr<SpoolWriter> begin(const Envelope& envelope);
    // Begins the message in a file that prepare() made ahead of need, without waiting for the
    // file system to create one; null when none is ready.
    std::unique_ptr<SpoolWriter> beginPrepared(const Envelope& envelope);
    // Makes empty files ready for beginPrepared() until `maxPrepared` are; may run on any thread.
    // A file that can't be made is not an error here: begin() reports it.
    void prepare();
    // Half of them are gone and prepare() isn't running.
    bool needsPreparing() const;
    static constexpr size_t maxPrepared = 16;

    // For delivery: the queued message files, oldest first, and reading/removing one of them.
    QStringList pending() const;
    struct Message {
        QString id;
        Envelope envelope;
        QByteArray content;
    };
    Message read(const QString& id) const; // throws DurableFileError
    void remove(const QString& id);        // durable removal; throws DurableFileError
    // For a message the provider accepted: out of the queue at once, the file deleted later by
    // purgeDelivered(). Not waited for on disk: a power loss right after may bring the message
    // back, and it is sent again (at-least-once). Throws DurableFileError.
    void removeDelivered(const QString& id);
    // Deletes the files of delivered messages. Slow on some disks, so it may run on another
    // thread while this one goes on, removeDelivered() included.
    void purgeDelivered();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace zidire
