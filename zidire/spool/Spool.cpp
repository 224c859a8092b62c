#include "Spool.h"

#include "fs/DurableFile.h"
#include "log/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>

// A message file is the envelope as one line of compact JSON, a newline, then the content exactly
// as it will be delivered. It is written as a file without a name and given its name
// "msg-<id>.eml" only once it is complete and fsynced; on a file system without unnamed files it
// is written as a "tmp-" file and renamed, so after a crash every "tmp-" file is an
// unacknowledged leftover. Creating a file is the slowest step on some file systems, so a few
// empty files are made ahead of need, on other threads; a message takes one and its own id when
// it begins. Unnamed ones are made without locking the directory, so the commits naming messages
// in it don't wait for them.
//
// Delivered messages are renamed into "delivered/" and deleted later, in a directory of their own:
// deleting a file can take milliseconds (a disk mounted with online discard trims its blocks at
// once, holding the directory meanwhile), renaming takes microseconds.
//
// Ids are fixed-width decimal numbers that only grow (milliseconds since the epoch times 1000,
// bumped past the newest id seen), so sorting names sorts by arrival, even across restarts and
// when the clock steps back.

namespace zidire {

namespace {

const QString messagePrefix = QStringLiteral("msg-");
const QString messageSuffix = QStringLiteral(".eml");
const QString tempPrefix = QStringLiteral("tmp-");
constexpr int idDigits = 19;

bool isValidId(const QString& id) {
    return id.size() == idDigits &&
           std::all_of(id.begin(), id.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

QString idFromName(const QString& name, const QString& prefix, const QString& suffix) {
    if (!name.startsWith(prefix) || !name.endsWith(suffix))
        return {};
    const QString id = name.mid(prefix.size(), name.size() - prefix.size() - suffix.size());
    return isValidId(id) ? id : QString();
}

QByteArray encodeEnvelope(const Envelope& envelope) {
    const QJsonObject object{
        {QStringLiteral("mailFrom"), envelope.mailFrom},
        {QStringLiteral("recipients"), QJsonArray::fromStringList(envelope.recipients)},
        {QStringLiteral("clientAddress"), envelope.clientAddress},
        {QStringLiteral("receivedAt"), envelope.receivedAt.toUTC().toString(Qt::ISODateWithMs)},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<Envelope> decodeEnvelope(const QByteArray& line) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const QJsonValue recipients = object.value(QStringLiteral("recipients"));
    if (!object.value(QStringLiteral("mailFrom")).isString() || !recipients.isArray())
        return std::nullopt;
    Envelope envelope;
    envelope.mailFrom = object.value(QStringLiteral("mailFrom")).toString();
    for (const QJsonValue& recipient : recipients.toArray())
        envelope.recipients.append(recipient.toString());
    envelope.clientAddress = object.value(QStringLiteral("clientAddress")).toString();
    envelope.receivedAt = QDateTime::fromString(
        object.value(QStringLiteral("receivedAt")).toString(), Qt::ISODateWithMs);
    return envelope;
}

// Text is gathered and goes to the file in large pieces, and a small message not before
// commit(): that runs off the event loop, and one system call there spares the loop several. The
// envelope line is made there too, with the first piece.
class Writer final : public SpoolWriter {
public:
    Writer(QString id, QString finalPath, std::unique_ptr<DurableFileWriter> file,
           const Envelope& envelope, std::atomic<qint64>& depth)
        : m_id(std::move(id))
        , m_finalPath(std::move(finalPath))
        , m_file(std::move(file))
        , m_envelope(envelope)
        , m_depth(depth) {}

    void write(const char* data, qint64 size) override {
        m_size += size;
        if (m_gathered.size() + size >= gatherBytes) {
            writeGathered();
            if (size >= gatherBytes)
                return m_file->write(data, size);
        }
        m_gathered.append(data, size);
    }
    qint64 size() const override { return m_size; }
    QString commit() override {
        writeGathered();
        m_file->commit(m_finalPath);
        ++m_depth;
        return m_id;
    }

private:
    static constexpr qint64 gatherBytes = 64 * 1024;

    void writeGathered() {
        if (m_envelope)
            m_gathered.prepend(encodeEnvelope(*std::exchange(m_envelope, std::nullopt)));
        m_file->write(m_gathered);
        m_gathered.clear();
    }

    QString m_id;
    QString m_finalPath;
    std::unique_ptr<DurableFileWriter> m_file;
    std::optional<Envelope> m_envelope; // until the file begins
    QByteArray m_gathered;
    qint64 m_size = 0;
    std::atomic<qint64>& m_depth;
};

} // namespace

struct Spool::Private {
    Private(QString directory, Log& log)
        : directory(std::move(directory))
        , log(log) {}

    QString directory;
    Log& log;
    std::atomic<qint64> depth = 0; // a commit may run on a worker thread
    std::mutex idMutex;            // messages may begin on worker threads
    quint64 lastId = 0;
    mutable std::mutex preparedMutex;
    std::deque<std::unique_ptr<DurableFileWriter>> prepared; // empty, oldest first
    bool preparing = false;

    QString messagePath(const QString& id) const {
        return directory + u'/' + messagePrefix + id + messageSuffix;
    }
    // A new, empty file: without a name where the file system allows, else a "tmp-" file under
    // an id of its own. Throws DurableFileError.
    std::unique_ptr<DurableFileWriter> createFile() {
        if (std::unique_ptr<DurableFileWriter> file = DurableFileWriter::unnamed(directory))
            return file;
        return std::make_unique<DurableFileWriter>(directory + u'/' + tempPrefix + nextId());
    }
    QString deliveredDirectory() const { return directory + QStringLiteral("/delivered"); }

    QString nextId() {
        const quint64 now = quint64(QDateTime::currentMSecsSinceEpoch()) * 1000;
        const std::lock_guard lock(idMutex);
        lastId = std::max(now, lastId + 1);
        return QStringLiteral("%1").arg(lastId, idDigits, 10, QLatin1Char('0'));
    }

    void noteExistingId(const QString& id) { lastId = std::max(lastId, id.toULongLong()); }

    // The id is taken when the message begins, not when its file was made, so that ids keep
    // the order in which messages arrive.
    std::unique_ptr<SpoolWriter> begin(std::unique_ptr<DurableFileWriter> file,
                                       const Envelope& envelope) {
        const QString id = nextId();
        return std::make_unique<Writer>(id, messagePath(id), std::move(file), envelope, depth);
    }
};

Spool::Spool(QString directory, Log& log)
    : d(std::make_unique<Private>(std::move(directory), log)) {
    if (!QDir().mkpath(d->directory))
        log.error(QStringLiteral("couldn't create the spool directory %1").arg(d->directory));
    QFile::setPermissions(d->directory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    const QStringList names = QDir(d->directory).entryList(QDir::Files | QDir::Hidden);
    int leftovers = 0;
    for (const QString& name : names) {
        if (const QString id = idFromName(name, tempPrefix, QString()); !id.isEmpty()) {
            d->noteExistingId(id);
            // Only those with text count as interrupted messages; the empty ones were made ahead
            // of need, or their message had not reached the disk yet.
            const QString path = d->directory + u'/' + name;
            const bool begun = QFileInfo(path).size() > 0;
            if (QFile::remove(path))
                leftovers += begun ? 1 : 0;
            else
                log.warning(
                    QStringLiteral("couldn't remove the incomplete spool file %1").arg(name));
        } else if (const QString id = idFromName(name, messagePrefix, messageSuffix);
                   !id.isEmpty()) {
            d->noteExistingId(id);
            ++d->depth;
        }
    }
    if (leftovers > 0)
        log.warning(QStringLiteral("removed %1 incomplete message(s) left in the spool by an "
                                   "interrupted transfer")
                        .arg(leftovers));
    log.info(
        QStringLiteral("spool %1: %2 message(s) waiting").arg(d->directory).arg(d->depth.load()));
}

Spool::~Spool() = default;

QString Spool::directory() const {
    return d->directory;
}

qint64 Spool::depth() const {
    return d->depth;
}

std::unique_ptr<SpoolWriter> Spool::begin(const Envelope& envelope) {
    return d->begin(d->createFile(), envelope);
}

std::unique_ptr<SpoolWriter> Spool::beginPrepared(const Envelope& envelope) {
    std::unique_lock lock(d->preparedMutex);
    if (d->prepared.empty())
        return nullptr;
    std::unique_ptr<DurableFileWriter> file = std::move(d->prepared.front());
    d->prepared.pop_front();
    lock.unlock();
    return d->begin(std::move(file), envelope);
}

bool Spool::needsPreparing() const {
    const std::lock_guard lock(d->preparedMutex);
    return !d->preparing && d->prepared.size() <= maxPrepared / 2;
}

void Spool::prepare() {
    {
        const std::lock_guard lock(d->preparedMutex);
        if (std::exchange(d->preparing, true))
            return;
    }
    try {
        while (true) {
            std::unique_ptr<DurableFileWriter> file = d->createFile();
            const std::lock_guard lock(d->preparedMutex);
            d->prepared.push_back(std::move(file));
            if (d->prepared.size() >= maxPrepared)
                break;
        }
    } catch (const DurableFileError&) {
        // begin() meets the same trouble and reports it to the client
    }
    const std::lock_guard lock(d->preparedMutex);
    d->preparing = false;
}

QStringList Spool::pending() const {
    QStringList ids;
    const QStringList names =
        QDir(d->directory).entryList({messagePrefix + u'*' + messageSuffix}, QDir::Files);
    for (const QString& name : names)
        if (const QString id = idFromName(name, messagePrefix, messageSuffix); !id.isEmpty())
            ids.append(id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

Spool::Message Spool::read(const QString& id) const {
    if (!isValidId(id))
        throw DurableFileError(QStringLiteral("not a spool message id: %1").arg(id));
    QFile file(d->messagePath(id));
    if (!file.open(QIODevice::ReadOnly))
        throw DurableFileError(
            QStringLiteral("couldn't read %1: %2").arg(file.fileName(), file.errorString()));
    QByteArray bytes = file.readAll();
    const qsizetype newline = bytes.indexOf('\n');
    const std::optional<Envelope> envelope =
        newline < 0 ? std::nullopt : decodeEnvelope(bytes.left(newline));
    if (!envelope)
        throw DurableFileError(
            QStringLiteral("the spool file %1 has no valid envelope").arg(file.fileName()));
    bytes.remove(0, newline + 1);
    return Message{id, *envelope, bytes};
}

void Spool::remove(const QString& id) {
    if (!isValidId(id))
        throw DurableFileError(QStringLiteral("not a spool message id: %1").arg(id));
    QFile file(d->messagePath(id));
    if (!file.remove())
        throw DurableFileError(
            QStringLiteral("couldn't remove %1: %2").arg(file.fileName(), file.errorString()));
    --d->depth;
    syncDirectory(d->directory);
}

void Spool::removeDelivered(const QString& id) {
    if (!isValidId(id))
        throw DurableFileError(QStringLiteral("not a spool message id: %1").arg(id));
    const QByteArray from = QFile::encodeName(d->messagePath(id));
    const QByteArray to =
        QFile::encodeName(d->deliveredDirectory() + u'/' + messagePrefix + id + messageSuffix);
    // rename(2) rather than QFile::rename, which refuses to replace a message delivered before
    // (and sent again after a power loss undid its removal). The directory is made when missing:
    // at first, and after a purge on another thread moved it away.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (::rename(from.constData(), to.constData()) == 0) {
            --d->depth;
            return;
        }
        if (errno != ENOENT || !QDir().mkpath(d->deliveredDirectory()))
            break;
    }
    throw DurableFileError(
        QStringLiteral("couldn't move %1 out of the queue: %2")
            .arg(d->messagePath(id), QString::fromLocal8Bit(std::strerror(errno))));
}

void Spool::purgeDelivered() {
    // The files are deleted in a directory of their own, so that deleting, which can take
    // milliseconds per file, holds up neither removeDelivered() nor new messages.
    const QString purging = d->directory + QStringLiteral("/purging");
    const auto deleteAll = [&purging] {
        QDir directory(purging);
        for (const QString& name : directory.entryList(QDir::Files | QDir::Hidden))
            directory.remove(name);
        QDir().rmdir(purging);
    };
    deleteAll(); // left by a purge that was interrupted
    if (::rename(QFile::encodeName(d->deliveredDirectory()).constData(),
                 QFile::encodeName(purging).constData()) == 0)
        deleteAll();
}

} // namespace zidire
