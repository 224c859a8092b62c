#include "SettingsStore.h"

#include "fs/DurableFile.h"
#include "log/Log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zidire {

namespace {

// A file that is there but can't be used, and why.
struct Unreadable {
    QString reason;
};

template <class Record> QByteArray encode(const Record& record) {
    QJsonObject object;
    Record::describe(record, [&](const char* key, const auto& value) {
        object.insert(QLatin1String(key), value);
    });
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

// Keys that are missing keep their defaults; a key of the wrong type makes the whole file
// unusable, since guessing what was meant could relay mail the wrong way.
template <class Record> Record decode(const QJsonObject& object) {
    Record record;
    Record::describe(record, [&](const char* key, auto& value) {
        const QJsonValue json = object.value(QLatin1String(key));
        if (json.isUndefined())
            return;
        using Value = std::remove_reference_t<decltype(value)>;
        if constexpr (std::is_same_v<Value, bool>) {
            if (!json.isBool())
                throw Unreadable{
                    QStringLiteral("\"%1\" isn't true or false").arg(QLatin1String(key))};
            value = json.toBool();
        } else {
            if (!json.isString())
                throw Unreadable{QStringLiteral("\"%1\" isn't a string").arg(QLatin1String(key))};
            value = json.toString();
        }
    });
    return record;
}

template <class Record> Record read(const QString& path) {
    // Not through a link, and never blocked by a pipe: only the regular file by that name.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            return Record{};
        throw Unreadable{error == ELOOP ? QStringLiteral("it is a symbolic link")
                                        : QString::fromLocal8Bit(std::strerror(error))};
    }
    QFile file;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        throw Unreadable{QStringLiteral("not a regular file")};
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        throw Unreadable{file.errorString()};
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw Unreadable{file.errorString()};
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        throw Unreadable{QStringLiteral("not valid JSON: %1 at byte %2")
                             .arg(parseError.errorString())
                             .arg(parseError.offset)};
    if (!document.isObject())
        throw Unreadable{QStringLiteral("not a JSON object")};
    return decode<Record>(document.object());
}

QString moveAside(const QString& path) {
    const QString aside =
        path + QStringLiteral(".corrupt-") +
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddTHHmmss.zzzZ"));
    // rename(2): a link is moved as the link, where QFile would look at what it points to.
    if (::rename(QFile::encodeName(path).constData(), QFile::encodeName(aside).constData()) != 0) {
        const int error = errno;
        throw DurableFileError(QStringLiteral("couldn't move the unreadable %1 aside to %2: %3")
                                   .arg(path, aside, QString::fromLocal8Bit(std::strerror(error))));
    }
    syncDirectory(QFileInfo(path).absolutePath());
    return aside;
}

template <class Record> Record load(const QString& path, Log& log) {
    try {
        return read<Record>(path);
    } catch (const Unreadable& unreadable) {
        const QString aside = moveAside(path);
        log.error(QStringLiteral("%1 couldn't be read (%2); moved it to %3 and started without it")
                      .arg(path, unreadable.reason, aside));
        return Record{};
    }
}

} // namespace

SettingsStore::SettingsStore(QString directory, Log& log)
    : m_directory(std::move(directory))
    , m_settings(load<Settings>(QDir(m_directory).filePath(QLatin1String(settingsFileName)), log))
    , m_secrets(load<Secrets>(QDir(m_directory).filePath(QLatin1String(secretsFileName)), log)) {}

void SettingsStore::save(const Settings& settings) {
    writeFileDurably(QDir(m_directory).filePath(QLatin1String(settingsFileName)), encode(settings));
    m_settings = settings;
}

void SettingsStore::save(const Secrets& secrets) {
    writeFileDurably(QDir(m_directory).filePath(QLatin1String(secretsFileName)), encode(secrets));
    m_secrets = secrets;
}

} // namespace zidire
