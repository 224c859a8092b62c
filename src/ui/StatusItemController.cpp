#include "StatusItemController.h"

#include "Appearance.h"
#include "StatusPresentation.h"
#include "Symbols.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QPointer>
#include <QWidget>

namespace {

// A window a person would call the application's window: shown, top-level, and not a menu, a
// tooltip or a tool palette.
bool canBeMainWindow(const QWidget* widget) {
    if (!widget->isWindow() || !widget->isVisible())
        return false;
    switch (widget->windowType()) {
    case Qt::Popup:
    case Qt::ToolTip:
    case Qt::Tool:
    case Qt::SplashScreen:
    case Qt::Desktop:
        return false;
    default:
        return true;
    }
}

} // namespace

StatusItemController::StatusItemController(AppState& state, std::function<void()> reopenMainWindow,
                                           QObject* parent)
    : QObject(parent)
    , m_state(state)
    , m_reopenMainWindow(std::move(reopenMainWindow)) {
    // Each value takes a turn of the event loop before it applies, even the current one, so the
    // icon appears once the application is running, never during its construction.
    auto follow = [self = QPointer<StatusItemController>(this)](bool visible) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, visible] {
                if (self)
                    self->setStatusItemVisible(visible);
            },
            Qt::QueuedConnection);
    };
    follow(m_state.showMenuBarIcon());
    connect(&m_state, &AppState::showMenuBarIconChanged, this,
            [this, follow] { follow(m_state.showMenuBarIcon()); });
}

StatusItemController::~StatusItemController() = default;

void StatusItemController::setStatusItemVisible(bool visible) {
    if (visible == bool(m_statusItem))
        return;
    if (!visible) {
        m_statusItem.reset();
        m_menu.reset();
        return;
    }
    // A mask icon lets the panel draw it in its own text colour, as a monochrome template.
    QIcon icon =
        symbolIcon(QStringLiteral("scanner"), tintColor(Tint::primary, isDarkAppearance()));
    icon.setIsMask(true);
    m_statusItem = std::make_unique<QSystemTrayIcon>(icon);
    m_statusItem->setToolTip(QStringLiteral("Moxtrel"));
    m_menu = std::make_unique<QMenu>();
    connect(m_menu.get(), &QMenu::aboutToShow, this, [this] { rebuildMenu(*m_menu); });
    m_statusItem->setContextMenu(m_menu.get());
    // Panels that open nothing on a plain click get the menu there too, as on the Mac.
    connect(m_statusItem.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger)
                    m_menu->popup(QCursor::pos());
            });
    m_statusItem->show();
}

void StatusItemController::rebuildMenu(QMenu& menu) {
    menu.clear();
    for (const QString& line : statusMenuLines(m_state.daemonStatus(), m_state.controlStatus()))
        menu.addAction(line)->setEnabled(false);
    menu.addSeparator();
    connect(menu.addAction(QStringLiteral("Open Moxtrel")), &QAction::triggered, this,
            &StatusItemController::openMainWindow);
    connect(menu.addAction(QStringLiteral("Quit Moxtrel")), &QAction::triggered, this,
            &StatusItemController::quitApp);
}

void StatusItemController::openMainWindow() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (canBeMainWindow(window)) {
            window->raise();
            window->activateWindow();
            return;
        }
    }
    if (m_reopenMainWindow)
        m_reopenMainWindow();
}

void StatusItemController::quitApp() {
    QCoreApplication::quit();
}
