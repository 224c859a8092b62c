#include "FailedFolder.h"

#include "fs/DurableFile.h"

#include <QDir>
#include <QFile>

namespace zidire {

FailedFolder::FailedFolder(QString directory)
    : m_directory(std::move(directory)) {}

void FailedFolder::keep(const Spool::Message& message, const QString& reason) const {
    if (!QDir().mkpath(m_directory))
        throw DurableFileError(QStringLiteral("couldn't create %1").arg(m_directory));
    QFile::setPermissions(m_directory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const Envelope& envelope = message.envelope;
    const QString summary =
        QStringLiteral("Received: %1 from %2\nEnvelope sender: <%3>\nRecipients: %4\n"
                       "Failed: %5\nReason: %6\n")
            .arg(envelope.receivedAt.toString(Qt::ISODate), envelope.clientAddress,
                 envelope.mailFrom, envelope.recipients.join(QStringLiteral(", ")),
                 QDateTime::currentDateTimeUtc().toString(Qt::ISODate), reason);
    const QString base = QDir(m_directory).filePath(QStringLiteral("msg-") + message.id);
    writeFileDurably(base + QStringLiteral(".txt"), summary.toUtf8());
    writeFileDurably(base + QStringLiteral(".eml"), message.content);
}

} // namespace zidire
