#pragma once

// The desktop's own settings for what starts at login, the nearest thing to the Login Items
// settings that a registered service may wait in.

#include <QString>
#include <QStringList>

#include <optional>

struct SettingsCommand {
    QString program; // absolute path
    QStringList arguments;
};

// The first installed settings tool of the known desktops (Plasma, GNOME, Xfce, LXQt, MATE,
// Cinnamon), looked up in PATH; none when the desktop has none.
std::optional<SettingsCommand> loginItemsSettingsCommand();

// Opens that tool, detached; does nothing when there is none or it can't start. Service managers
// fall back to it in their openSystemSettingsLoginItems.
void openDesktopLoginItemsSettings();
