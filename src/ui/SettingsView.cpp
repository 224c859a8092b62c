#include "SettingsView.h"

#include "AccountSettingsView.h"
#include "Appearance.h"
#include "DeviceAccountSettingsView.h"
#include "Symbols.h"

#include <QScrollArea>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

struct TabInfo {
    SettingsTab tab;
    const char* label;
    const char* symbol;
};

constexpr TabInfo tabs[] = {
    {SettingsTab::sendingAccount, "Sending account", "person.crop.circle"},
    {SettingsTab::deviceAccount, "Device account", "printer"},
};

} // namespace

SettingsView::SettingsView(AppState& state, QWidget* parent)
    : QWidget(parent)
    , m_state(state)
    , m_tabs(new QTabWidget) {
    setFixedWidth(contentWidth);
    setMinimumHeight(minimumHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_tabs);
    m_tabs->setDocumentMode(true);
    const QColor symbolColor = tintColor(Tint::primary, isDarkAppearance(palette()));
    for (const TabInfo& info : tabs) {
        // The window may be shorter than a tab's form; it has no upper limit either.
        auto* scroll = new QScrollArea;
        scroll->setWidgetResizable(true);
        scroll->setFrameShape(QFrame::NoFrame);
        scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        if (info.tab == SettingsTab::sendingAccount)
            scroll->setWidget(new AccountSettingsView(state));
        else
            scroll->setWidget(new DeviceAccountSettingsView(state));
        m_tabs->addTab(scroll, symbolIcon(QLatin1String(info.symbol), symbolColor),
                       QLatin1String(info.label));
    }
    connect(m_tabs, &QTabWidget::currentChanged, this,
            [this](int index) { setWindowTitle(m_tabs->tabText(index)); });
    setWindowTitle(m_tabs->tabText(0));
    connect(&m_state, &AppState::requestedSettingsTabChanged, this,
            &SettingsView::followRequestedTab);
}

SettingsTab SettingsView::selectedTab() const {
    return tabs[m_tabs->currentIndex()].tab;
}

void SettingsView::setSelectedTab(SettingsTab tab) {
    for (int i = 0; i < int(std::size(tabs)); ++i) {
        if (tabs[i].tab == tab)
            m_tabs->setCurrentIndex(i);
    }
}

void SettingsView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    followRequestedTab();
}

void SettingsView::followRequestedTab() {
    if (const std::optional<SettingsTab> requested = m_state.requestedSettingsTab()) {
        setSelectedTab(*requested);
        m_state.setRequestedSettingsTab(std::nullopt);
    }
}
