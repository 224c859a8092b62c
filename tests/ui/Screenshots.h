#pragma once

// Windows as a person sees them, light and dark, into the build's screenshot folder: the README
// and the AppStream metadata take theirs from there.

#include <QApplication>
#include <QDir>
#include <QPalette>
#include <QRegularExpression>
#include <QTest>
#include <QWidget>

namespace {

// Dark as desktops ship it: light text on dark grey, the accent left to the window.
QPalette darkPalette() {
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(40, 40, 42));
    palette.setColor(QPalette::WindowText, QColor(236, 236, 236));
    palette.setColor(QPalette::Base, QColor(30, 30, 32));
    palette.setColor(QPalette::AlternateBase, QColor(50, 50, 52));
    palette.setColor(QPalette::Text, QColor(236, 236, 236));
    palette.setColor(QPalette::Button, QColor(60, 60, 62));
    palette.setColor(QPalette::ButtonText, QColor(236, 236, 236));
    palette.setColor(QPalette::PlaceholderText, QColor(140, 140, 140));
    palette.setColor(QPalette::Mid, QColor(90, 90, 92));
    return palette;
}

// Saves `window` as "<name>-light.png" and "<name>-dark.png", switching the application palette.
void saveScreenshots(QWidget* window, const QString& name) {
    const QString folder = QStringLiteral(SCREENSHOT_DIR);
    QDir().mkpath(folder);
    const QPalette light = QApplication::palette();
    for (const bool dark : {false, true}) {
        QApplication::setPalette(dark ? darkPalette() : light);
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        const QString file =
            QStringLiteral("%1/%2-%3.png")
                .arg(folder, name.toLower().replace(QRegularExpression("[^a-z0-9]+"), "-"),
                     dark ? "dark" : "light");
        QVERIFY(window->grab().save(file));
    }
    QApplication::setPalette(light);
    QCoreApplication::processEvents();
}

} // namespace
