#include "SettingsTabView.h"

#include "ActionMessages.h"
#include "GroupedForm.h"

#include <QEvent>
#include <QVBoxLayout>

SettingsTabView::SettingsTabView(AppState& state, QWidget* parent)
    : QWidget(parent)
    , m_state(state)
    , m_form(new GroupedForm)
    , m_messages(new GroupedForm) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_form);
    layout->addWidget(m_messages);
    layout->addStretch(1);
    for (auto changed : {&AppState::controlStatusChanged, &AppState::daemonStatusChanged,
                         &AppState::signingInChanged, &AppState::showMenuBarIconChanged,
                         &AppState::launchAtLoginChanged, &AppState::connectivityErrorChanged,
                         &AppState::lastErrorChanged})
        connect(
            &m_state, changed, this, [this] { follow(); }, Qt::QueuedConnection);
}

void SettingsTabView::showErrors() {
    const std::pair errors{m_state.connectivityError(), m_state.lastError()};
    if (errors == m_shownErrors)
        return;
    m_shownErrors = errors;
    m_messages->clear();
    addErrorSections(*m_messages, m_state);
}

void SettingsTabView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    fill();
    follow();
}

void SettingsTabView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Symbols are drawn in the appearance's colours.
    if (event->type() == QEvent::PaletteChange) {
        m_shownErrors.reset();
        follow();
    }
}
