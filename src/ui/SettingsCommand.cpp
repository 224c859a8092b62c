#include "SettingsCommand.h"

#include <QDebug>
#include <QKeySequence>
#include <QShortcut>
#include <QWidget>

namespace {

std::function<void()>& opener() {
    static std::function<void()> registered;
    return registered;
}

} // namespace

void setSettingsWindowOpener(std::function<void()> open) {
    opener() = std::move(open);
}

void showSettingsWindow() {
    if (opener())
        opener()();
    else
        qWarning("showSettingsWindow: no settings window has been registered");
}

void installSettingsShortcut(QWidget* window) {
    // Spelled out: the desktops disagree about QKeySequence::Preferences (KDE: Ctrl+Shift+,).
    auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma), window);
    shortcut->setContext(Qt::WindowShortcut);
    QObject::connect(shortcut, &QShortcut::activated, window, [] { showSettingsWindow(); });
}
