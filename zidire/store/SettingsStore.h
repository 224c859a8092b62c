#pragma once

// Settings and secrets on disk: two JSON files in the state directory, mode 0600, each replaced
// atomically and durably. A file that can't be read is moved aside and reported, never silently
// replaced by defaults.

#include "Settings.h"

#include <QString>

namespace zidire {

class Log;

class SettingsStore {
public:
    static constexpr char settingsFileName[] = "settings.json";
    static constexpr char secretsFileName[] = "secrets.json";

    // Loads both files from `directory`. Throws DurableFileError when an unreadable file can't
    // even be moved aside (starting would then overwrite it).
    SettingsStore(QString directory, Log& log);

    const Settings& settings() const { return m_settings; }
    const Secrets& secrets() const { return m_secrets; }

    // Written to disk first, in effect after; a failed write throws DurableFileError and
    // changes nothing.
    void save(const Settings& settings);
    void save(const Secrets& secrets);

private:
    QString m_directory;
    Settings m_settings;
    Secrets m_secrets;
};

} // namespace zidire
