#pragma once

// The settings window's content: the sending account and the device account, one tab each. The
// window's title is the selected tab's label, as a standard settings window shows it.

#include "AppState.h"

#include <QWidget>

class QTabWidget;

class SettingsView : public QWidget {
    Q_OBJECT

public:
    static constexpr int contentWidth = 440;
    static constexpr int minimumHeight = 460;
    static constexpr int idealHeight = 560;

    explicit SettingsView(AppState& state, QWidget* parent = nullptr);

    SettingsTab selectedTab() const;
    void setSelectedTab(SettingsTab tab);
    QSize sizeHint() const override { return {contentWidth, idealHeight}; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    // Another view asked for a tab: take it, and hand the request back as done.
    void followRequestedTab();

    AppState& m_state;
    QTabWidget* m_tabs;
};
