#pragma once

// The symbol images the views name ("power", "checkmark.circle", …), drawn from the SVGs built
// into the application and tinted in one colour, sharp at any device pixel ratio.

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

bool hasSymbol(const QString& name);

// `logicalSize` × `logicalSize` logical pixels; a null pixmap for a name without an image.
QPixmap symbolPixmap(const QString& name, int logicalSize, const QColor& color,
                     qreal devicePixelRatio);

// Rendered afresh for each size and ratio it is asked for; disabled, it is drawn faded.
QIcon symbolIcon(const QString& name, const QColor& color);
