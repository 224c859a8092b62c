#pragma once

// The application's icon in the desktop's tray and the small menu that drops from it: a glance at
// the relay and two commands. It shows only while the user's "showMenuBarIcon" preference is on,
// and reads everything it shows from the model at the moment the menu opens.

#include "AppState.h"

#include <QObject>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>

class QMenu;

class StatusItemController : public QObject {
    Q_OBJECT

public:
    // `reopenMainWindow` opens a new status window when "Open Moxtrel" finds no window to raise.
    StatusItemController(AppState& state, std::function<void()> reopenMainWindow,
                         QObject* parent = nullptr);
    ~StatusItemController() override;

    // The tray item while it is shown; null while hidden.
    QSystemTrayIcon* statusItem() const { return m_statusItem.get(); }

    void setStatusItemVisible(bool visible);
    // Empties the menu and fills it from the model.
    void rebuildMenu(QMenu& menu);
    // Brings the application's first window that can be a main window forward, else reopens.
    void openMainWindow();
    void quitApp();

private:
    AppState& m_state;
    std::function<void()> m_reopenMainWindow;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_statusItem;
};
