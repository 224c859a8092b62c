#include "MoxtrelApp.h"

#include "Appearance.h"
#include "RelayPaths.h"
#include "SettingsCommand.h"
#include "SettingsView.h"
#include "StatusView.h"

#include <QApplication>
#include <QShortcut>
#include <QSystemTrayIcon>

MoxtrelApp::MoxtrelApp(const AppPlatform& platform, QObject* parent)
    : QObject(parent)
    , m_appState(std::make_unique<AppState>(
          AppState::Platform{platform.services, platform.authorization},
          ControlClient(RelayPaths::controlSocket(relayMode(platform.backend)),
                        AppState::controlTimeout),
          std::make_unique<Preferences>())) {
    m_statusItemController =
        std::make_unique<StatusItemController>(*m_appState, [this] { reopenMainWindow(); });
    setSettingsWindowOpener([this] { showSettingsWindow(); });
    connect(m_appState.get(), &AppState::showMenuBarIconChanged, this, &MoxtrelApp::followTray);
    // Closing the last window leaves the application running: in the tray when there is one,
    // otherwise reachable by starting it again.
    QApplication::setQuitOnLastWindowClosed(false);
    m_appState->startRegisteredDaemon();
    reopenMainWindow();
}

MoxtrelApp::~MoxtrelApp() {
    setSettingsWindowOpener(nullptr);
    delete m_statusWindow;
    delete m_settingsWindow;
}

void MoxtrelApp::prepareWindow(QWidget* window) {
    window->setAttribute(Qt::WA_DeleteOnClose);
    applyBrandTint(window);
    installSettingsShortcut(window);
    auto* quit = new QShortcut(QKeySequence::Quit, window);
    connect(quit, &QShortcut::activated, qApp, &QCoreApplication::quit);
}

void MoxtrelApp::reopenMainWindow() {
    if (!m_statusWindow) {
        m_statusWindow = new StatusView(*m_appState);
        prepareWindow(m_statusWindow);
        followTray();
    }
    m_statusWindow->show();
    m_statusWindow->raise();
    m_statusWindow->activateWindow();
}

void MoxtrelApp::followTray() {
    // Asking whether there is a tray talks to the session bus: only when the icon is wanted.
    if (m_statusWindow)
        m_statusWindow->setTrayUnavailable(m_appState->showMenuBarIcon() &&
                                           !QSystemTrayIcon::isSystemTrayAvailable());
}

void MoxtrelApp::showSettingsWindow() {
    if (!m_settingsWindow) {
        m_settingsWindow = new SettingsView(*m_appState);
        prepareWindow(m_settingsWindow);
        m_settingsWindow->resize(m_settingsWindow->sizeHint());
    }
    m_settingsWindow->show();
    m_settingsWindow->raise();
    m_settingsWindow->activateWindow();
}
