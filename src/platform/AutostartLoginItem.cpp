#include "AutostartLoginItem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

namespace {

// More than any desktop entry needs; a larger file is not one of ours.
constexpr qint64 largestEntry = 64 * 1024;

QString userConfigDirectory() {
    const QString configured = qEnvironmentVariable("XDG_CONFIG_HOME");
    return configured.isEmpty() ? QDir::home().filePath(QStringLiteral(".config")) : configured;
}

// The Exec value for `program`: quoted when it holds anything but plain path characters, with the
// escapes the desktop-entry format asks for inside quotes and then for the value itself.
QString execValue(const QString& program) {
    static const QString plain =
        QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._+-%");
    const bool needsQuotes =
        std::any_of(program.begin(), program.end(), [](QChar c) { return !plain.contains(c); });
    QString argument = program;
    argument.replace(u'%', QStringLiteral("%%"));
    if (!needsQuotes)
        return argument;
    QString quoted = QStringLiteral("\"");
    for (const QChar c : argument) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    quoted += u'"';
    return quoted.replace(u'\\', QStringLiteral("\\\\"));
}

QByteArray entryText(const QString& program) {
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Moxtrel\n"
                          "Comment=Scan-to-email relay for copiers and scanners\n"
                          "Exec=%1\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-Delay=%2\n"
                          "X-KDE-autostart-after=panel\n"
                          "X-LXQt-Need-Tray=true\n")
        .arg(execValue(program))
        .arg(AutostartLoginItem::startDelaySeconds)
        .toUtf8();
}

// Whether `text` is a desktop entry that a desktop would start: a [Desktop Entry] group with a
// command that is neither hidden nor switched off. A half-written or foreign file is not.
bool startsAtLogin(const QByteArray& text) {
    bool inMainGroup = false;
    bool hasCommand = false;
    bool hidden = false;
    bool switchedOff = false;
    for (const QByteArray& rawLine : text.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (!inMainGroup || equals < 0)
            continue;
        const QByteArray key = line.left(equals).trimmed();
        const QByteArray value = line.mid(equals + 1).trimmed();
        if (key == "Exec")
            hasCommand = !value.isEmpty();
        else if (key == "Hidden")
            hidden = value == "true";
        // How GNOME's own settings switch an entry off without removing it.
        else if (key == "X-GNOME-Autostart-enabled")
            switchedOff = value == "false";
    }
    return hasCommand && !hidden && !switchedOff;
}

} // namespace

AutostartLocation AutostartLocation::forUser(QString program) {
    return {QDir(userConfigDirectory()).filePath(QStringLiteral("autostart")), std::move(program)};
}

AutostartLoginItem::AutostartLoginItem(AutostartLocation location)
    : m_location(std::move(location)) {}

QString AutostartLoginItem::filePath() const {
    return QDir(m_location.directory).filePath(QLatin1String(fileName));
}

ServiceStatus AutostartLoginItem::status() const {
    // Only a regular file is opened: a FIFO there would block the read.
    const QFileInfo info(filePath());
    if (!info.isFile() || info.size() > largestEntry)
        return ServiceStatus::notRegistered;
    QFile file(filePath());
    if (!file.open(QIODevice::ReadOnly))
        return ServiceStatus::notRegistered;
    return startsAtLogin(file.read(largestEntry)) ? ServiceStatus::enabled
                                                  : ServiceStatus::notRegistered;
}

void AutostartLoginItem::registerService() {
    if (!QDir().mkpath(m_location.directory) || !QFileInfo(m_location.directory).isDir())
        throw ServiceManagementError(
            QStringLiteral("can't create the autostart folder %1").arg(m_location.directory));
    // Written to a temporary file and renamed over the old entry, so a desktop reading it at the
    // same moment never sees half of it.
    QSaveFile file(filePath());
    if (!file.open(QIODevice::WriteOnly) || file.write(entryText(m_location.program)) < 0 ||
        !file.commit())
        throw ServiceManagementError(QStringLiteral("can't write the autostart entry %1: %2")
                                         .arg(filePath(), file.errorString()));
}

void AutostartLoginItem::unregisterService() {
    QFile file(filePath());
    if (!QFileInfo(filePath()).exists() && !QFileInfo(filePath()).isSymLink())
        return;
    if (!file.remove())
        throw ServiceManagementError(QStringLiteral("can't remove the autostart entry %1: %2")
                                         .arg(filePath(), file.errorString()));
}
