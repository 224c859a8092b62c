#include "HeroCard.h"

#include "ElidedLabel.h"
#include "Symbols.h"

#include <QBoxLayout>
#include <QLabel>
#include <QPainter>

class HeroCard::IconTile : public QWidget {
public:
    explicit IconTile(QWidget* parent)
        : QWidget(parent) {
        setFixedSize(42, 42);
    }

    void setSymbol(const QString& icon, Tint tint) {
        m_icon = icon;
        m_tint = tint;
        update();
    }

protected:
    // Colours are looked up at every paint, so a change of appearance needs no bookkeeping.
    void paintEvent(QPaintEvent*) override {
        const QColor tint = tintColor(m_tint, palette());
        QColor fill = tint;
        fill.setAlphaF(tint.alphaF() * 0.15f);
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawRoundedRect(rect(), 12, 12);
        constexpr int symbolSize = 20;
        const QPixmap symbol = symbolPixmap(m_icon, symbolSize, tint, devicePixelRatioF());
        painter.drawPixmap((width() - symbolSize) / 2, (height() - symbolSize) / 2, symbol);
    }

private:
    QString m_icon;
    Tint m_tint = Tint::secondary;
};

HeroCard::HeroCard(QWidget* parent)
    : QWidget(parent)
    , m_tile(new IconTile(this))
    , m_title(new QLabel(this))
    , m_subtitle(new ElidedLabel({}, Qt::ElideMiddle, this)) {
    QFont titleFont = font();
    titleFont.setPixelSize(15);
    titleFont.setWeight(QFont::DemiBold);
    m_title->setFont(titleFont);
    m_title->setTextFormat(Qt::PlainText);

    QFont subtitleFont = font();
    subtitleFont.setPixelSize(12);
    m_subtitle->setFont(subtitleFont);
    setTextTint(m_subtitle, Tint::secondary);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addStretch();
    texts->addWidget(m_title);
    texts->addWidget(m_subtitle);
    texts->addStretch();

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 4, 0, 4);
    row->setSpacing(13);
    row->addWidget(m_tile, 0, Qt::AlignVCenter);
    row->addLayout(texts, 1);
}

HeroCard::HeroCard(const HeroCardContent& content, QWidget* parent)
    : HeroCard(parent) {
    setContent(content);
}

void HeroCard::setContent(const HeroCardContent& content) {
    m_content = content;
    m_tile->setSymbol(content.icon, content.tint);
    m_title->setText(content.title);
    m_subtitle->setText(content.subtitle);
}

QString HeroCard::shownSubtitle() const {
    return m_subtitle->shownText();
}
