#pragma once

// The headline card: a tinted icon tile, a title and a one-line subtitle.

#include "Appearance.h"
#include "StatusPresentation.h"

#include <QWidget>

class ElidedLabel;
class QLabel;

class HeroCard : public QWidget {
    Q_OBJECT

public:
    explicit HeroCard(QWidget* parent = nullptr);
    HeroCard(const HeroCardContent& content, QWidget* parent = nullptr);

    void setContent(const HeroCardContent& content);
    void setContent(const QString& icon, Tint tint, const QString& title, const QString& subtitle) {
        setContent(HeroCardContent{icon, tint, title, subtitle});
    }
    const HeroCardContent& content() const { return m_content; }

    // The subtitle as drawn at the card's current width.
    QString shownSubtitle() const;

private:
    class IconTile;

    HeroCardContent m_content;
    IconTile* m_tile;
    QLabel* m_title;
    ElidedLabel* m_subtitle;
};
