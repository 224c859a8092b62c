#include "DotLabel.h"

#include <QBoxLayout>
#include <QLabel>
#include <QPainter>

class DotLabel::Dot : public QWidget {
public:
    explicit Dot(DotLabel* owner)
        : QWidget(owner)
        , m_owner(owner) {
        setFixedSize(14, 14);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        const QColor color = m_owner->color();
        QColor halo = color;
        halo.setAlphaF(color.alphaF() * 0.2f);
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        const QPointF centre = QRectF(rect()).center();
        painter.setBrush(halo);
        painter.drawEllipse(centre, 7, 7);
        painter.setBrush(color);
        painter.drawEllipse(centre, 4, 4);
    }

private:
    DotLabel* m_owner;
};

DotLabel::DotLabel(QColor color, const QString& text, DotPosition position, QWidget* parent)
    : QWidget(parent)
    , m_color(std::move(color))
    , m_position(position)
    , m_label(new QLabel(text, this)) {
    m_label->setTextFormat(Qt::PlainText);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(7);
    auto* dot = new Dot(this);
    if (position == DotPosition::leading)
        row->addWidget(dot, 0, Qt::AlignVCenter);
    row->addWidget(m_label, 0, Qt::AlignVCenter);
    if (position == DotPosition::trailing)
        row->addWidget(dot, 0, Qt::AlignVCenter);
}

DotLabel::DotLabel(Tint tint, const QString& text, DotPosition position, QWidget* parent)
    : DotLabel(QColor(), text, position, parent) {
    m_tint = tint;
}

QColor DotLabel::color() const {
    return m_tint ? tintColor(*m_tint, palette()) : m_color;
}

QString DotLabel::text() const {
    return m_label->text();
}
