#pragma once

// The application: the one model, the tray item, the main status window and the settings window.
// It lives as long as the process.

#include "AppPlatform.h"
#include "AppState.h"
#include "StatusItemController.h"

#include <QObject>
#include <QPointer>

#include <memory>

class SettingsView;
class StatusView;

class MoxtrelApp : public QObject {
    Q_OBJECT

public:
    explicit MoxtrelApp(const AppPlatform& platform, QObject* parent = nullptr);
    ~MoxtrelApp() override;

    AppState& appState() { return *m_appState; }

    // Shows the main status window, opening a new one when it was closed, and brings it forward.
    void reopenMainWindow();
    void showSettingsWindow();

private:
    void prepareWindow(QWidget* window);
    // The status window says so when the icon is wanted and the desktop has no tray for it.
    void followTray();

    std::unique_ptr<AppState> m_appState;
    std::unique_ptr<StatusItemController> m_statusItemController;
    QPointer<StatusView> m_statusWindow;
    QPointer<SettingsView> m_settingsWindow;
};
