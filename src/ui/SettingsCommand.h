#pragma once

// The application-wide settings command: one function opens the settings window, whoever asks.

#include <functional>

class QWidget;

// Registered once by the application at start-up.
void setSettingsWindowOpener(std::function<void()> opener);

// Opens the settings window, or brings it forward.
void showSettingsWindow();

// Ctrl+, in `window` opens the settings window.
void installSettingsShortcut(QWidget* window);
