#pragma once

// A text beside a coloured dot ("● Running").

#include "Appearance.h"

#include <QWidget>

#include <optional>

class QLabel;

class DotLabel : public QWidget {
    Q_OBJECT

public:
    enum class DotPosition { leading, trailing };

    DotLabel(QColor color, const QString& text, DotPosition position = DotPosition::leading,
             QWidget* parent = nullptr);
    // The dot follows the appearance.
    DotLabel(Tint tint, const QString& text, DotPosition position = DotPosition::leading,
             QWidget* parent = nullptr);

    QColor color() const;
    QString text() const;
    DotPosition dotPosition() const { return m_position; }

private:
    class Dot;

    std::optional<Tint> m_tint;
    QColor m_color;
    DotPosition m_position;
    QLabel* m_label;
};
