#pragma once

// The application's three user preferences. Nothing registers defaults, so a key that was never
// written reads as false.

#include <QSettings>

#include <memory>

class Preferences {
public:
    // The user's standard settings (organization "brimlake", application "Moxtrel").
    Preferences();
    // Settings kept in an INI file of their own, for tests and tools.
    explicit Preferences(const QString& iniFilePath);

    bool showMenuBarIcon() const { return read("showMenuBarIcon"); }
    bool launchAtLogin() const { return read("launchAtLogin"); }
    bool onboardingCompleted() const { return read("onboardingCompleted"); }

    void setShowMenuBarIcon(bool value) { write("showMenuBarIcon", value); }
    void setLaunchAtLogin(bool value) { write("launchAtLogin", value); }
    void setOnboardingCompleted(bool value) { write("onboardingCompleted", value); }

private:
    bool read(const char* key) const;
    void write(const char* key, bool value);

    std::unique_ptr<QSettings> m_settings;
};
