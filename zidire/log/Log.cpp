#include "Log.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace zidire {

namespace {

const char* levelName(Log::Level level) {
    switch (level) {
    case Log::Level::info:
        return "info";
    case Log::Level::warning:
        return "warning";
    case Log::Level::error:
        return "error";
    }
    return "info";
}

QString rotatedPath(const QString& path) {
    return path + QStringLiteral(".1");
}

QByteArray readLastBytes(const QString& path, qint64 maxBytes) {
    QFile file(path);
    if (maxBytes <= 0 || !file.open(QIODevice::ReadOnly))
        return {};
    const qint64 size = file.size();
    if (size > maxBytes)
        file.seek(size - maxBytes);
    return file.read(maxBytes);
}

} // namespace

Log::Log(QString filePath, bool mirrorToStandardError, qint64 rotateBytes)
    : m_file(std::move(filePath))
    , m_mirror(mirrorToStandardError)
    , m_rotateBytes(rotateBytes) {
    QDir().mkpath(QFileInfo(m_file.fileName()).absolutePath());
    if (!m_file.open(QIODevice::Append | QIODevice::Text))
        std::fprintf(stderr, "zidire: can't open the log file %s: %s\n",
                     qPrintable(m_file.fileName()), qPrintable(m_file.errorString()));
}

void Log::write(Level level, const QString& message) {
    QString text = message.size() > maxMessageCharacters
                       ? message.first(maxMessageCharacters - 1) + u'…'
                       : message;
    // Texts from clients and providers come through logText, which escapes every line break;
    // this catches one in a text of zidire's own.
    text.replace(u'\n', u' ').replace(u'\r', u' ');
    const QByteArray line = QStringLiteral("%1 %2 %3\n")
                                .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODate),
                                     QLatin1String(levelName(level)), text)
                                .toUtf8();
    if (m_mirror) {
        std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
        std::fflush(stderr);
    }
    if (m_file.isOpen()) {
        m_file.write(line);
        m_file.flush();
        rotateIfNeeded();
    }
}

void Log::rotateIfNeeded() {
    if (m_file.size() < m_rotateBytes)
        return;
    const QString path = m_file.fileName();
    m_file.close();
    QFile::remove(rotatedPath(path));
    QFile::rename(path, rotatedPath(path));
    m_file.setFileName(path);
    m_file.open(QIODevice::Append | QIODevice::Text);
}

QString Log::tail(qint64 maxBytes) const {
    QByteArray bytes = readLastBytes(m_file.fileName(), maxBytes);
    // Right after a rotation the current file is short; the rest comes from its predecessor.
    if (bytes.size() < maxBytes)
        bytes.prepend(readLastBytes(rotatedPath(m_file.fileName()), maxBytes - bytes.size()));
    // Start at a line boundary so the tail never opens with half a line or half a character.
    if (bytes.size() >= maxBytes) {
        const qsizetype newline = bytes.indexOf('\n');
        if (newline >= 0)
            bytes.remove(0, newline + 1);
    }
    return QString::fromUtf8(bytes);
}

} // namespace zidire
