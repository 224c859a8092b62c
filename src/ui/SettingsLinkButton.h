#pragma once

// A prominent button that opens the settings window, at a given tab when it names one.

#include "AppState.h"
#include "ProminentButton.h"

#include <QPointer>

#include <optional>

class SettingsLinkButton : public ProminentButton {
    Q_OBJECT

public:
    SettingsLinkButton(AppState& state, const QString& label,
                       std::optional<SettingsTab> tab = std::nullopt, QWidget* parent = nullptr);

    std::optional<SettingsTab> tab() const { return m_tab; }

private:
    QPointer<AppState> m_state;
    std::optional<SettingsTab> m_tab;
};
