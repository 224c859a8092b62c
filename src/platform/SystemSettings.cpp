#include "SystemSettings.h"

#include <QProcess>
#include <QStandardPaths>

namespace {

struct KnownTool {
    const char* program;
    QStringList arguments;
};

} // namespace

std::optional<SettingsCommand> loginItemsSettingsCommand() {
    const KnownTool tools[] = {
        {"systemsettings", {QStringLiteral("kcm_autostart")}},
        {"systemsettings5", {QStringLiteral("kcm_autostart")}},
        {"gnome-session-properties", {}},
        {"gnome-tweaks", {}},
        {"xfce4-session-settings", {}},
        {"lxqt-config-session", {}},
        {"mate-session-properties", {}},
        {"cinnamon-session-properties", {}},
    };
    for (const KnownTool& tool : tools) {
        const QString path = QStandardPaths::findExecutable(QLatin1String(tool.program));
        if (!path.isEmpty())
            return SettingsCommand{path, tool.arguments};
    }
    return std::nullopt;
}

void openDesktopLoginItemsSettings() {
    if (const std::optional<SettingsCommand> command = loginItemsSettingsCommand())
        QProcess::startDetached(command->program, command->arguments);
}
