#include "SettingsLinkButton.h"

#include "SettingsCommand.h"

SettingsLinkButton::SettingsLinkButton(AppState& state, const QString& label,
                                       std::optional<SettingsTab> tab, QWidget* parent)
    : ProminentButton(label, parent)
    , m_state(&state)
    , m_tab(tab) {
    connect(this, &QPushButton::clicked, this, [this] {
        // Without a tab the settings window stays at whichever tab it shows.
        if (m_tab && m_state)
            m_state->setRequestedSettingsTab(m_tab);
        showSettingsWindow();
    });
}
