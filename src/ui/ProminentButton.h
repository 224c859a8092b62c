#pragma once

// The prominent button style: filled with the brand accent, white title, rounded.

#include <QPushButton>

// Restyles an existing button; the fill follows the appearance as it changes.
void makeProminent(QPushButton* button);

class ProminentButton : public QPushButton {
    Q_OBJECT

public:
    explicit ProminentButton(const QString& text, QWidget* parent = nullptr);
};
