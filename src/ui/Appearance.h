#pragma once

// The application's colours, each defined once with its light and its dark value, and the
// machinery that keeps windows and texts in the colours of the current appearance when the
// desktop switches between light and dark while they are open.

#include <QColor>
#include <QGuiApplication>
#include <QPalette>

class QWidget;

// Dark when the palette's window background is darker than its text.
bool isDarkAppearance(const QPalette& palette = QGuiApplication::palette());

// The accent colour every window is tinted with.
QColor brandAccent(bool dark);

// The semantic colours the views draw with.
enum class Tint { primary, secondary, accent, green, red };
// `primary` is the application palette's text colour; the others are fixed per appearance.
QColor tintColor(Tint tint, bool dark);
// The same, for drawing on a widget: primary comes from that palette, the appearance from the
// application's.
QColor tintColor(Tint tint, const QPalette& palette);
inline QColor tintColor(Tint tint) {
    return tintColor(tint, QGuiApplication::palette());
}

// Makes `brandAccent` the window's highlight colour, now and after every change of appearance.
// Call once per window (status window, settings window, each sheet); child widgets inherit it.
// A tinted widget's palette belongs to the tint: roles set on it by other code are dropped.
void applyBrandTint(QWidget* window);

// Draws the widget's text (a label's, a line edit's) in `tint`, now and after every change of
// appearance. A later call replaces the tint.
void setTextTint(QWidget* widget, Tint tint);
