#include "Preferences.h"

Preferences::Preferences()
    : m_settings(
          std::make_unique<QSettings>(QStringLiteral("brimlake"), QStringLiteral("Moxtrel"))) {}

Preferences::Preferences(const QString& iniFilePath)
    : m_settings(std::make_unique<QSettings>(iniFilePath, QSettings::IniFormat)) {}

bool Preferences::read(const char* key) const {
    return m_settings->value(QLatin1String(key), false).toBool();
}

void Preferences::write(const char* key, bool value) {
    m_settings->setValue(QLatin1String(key), value);
    // Written through at once: the preference must survive a crash right after it was changed.
    m_settings->sync();
}
