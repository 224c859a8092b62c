#include "ProminentButton.h"

#include "Appearance.h"

#include <QEvent>
#include <QPainter>
#include <QPointer>
#include <QStyleOptionButton>

namespace {

// Draws in place of the style, so the button looks the same under every widget style.
class ProminentPainter : public QObject {
public:
    using QObject::QObject;

    static ProminentPainter* instance() {
        static QPointer<ProminentPainter> painter;
        if (!painter)
            painter = new ProminentPainter(qApp);
        return painter;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* button = qobject_cast<QPushButton*>(watched);
        if (!button || event->type() != QEvent::Paint)
            return false;
        paint(button);
        return true;
    }

private:
    static void paint(QPushButton* button) {
        const bool dark = isDarkAppearance();
        const bool enabled = button->isEnabled();
        QColor fill = brandAccent(dark);
        QColor text = Qt::white;
        if (!enabled) {
            // Greyed, without a trace of the accent, so it never reads as the action to take.
            fill = tintColor(Tint::secondary, dark);
            fill.setAlphaF(0.18f);
            text = tintColor(Tint::secondary, dark);
        } else if (button->isDown()) {
            fill = fill.darker(118);
        }

        QPainter painter(button);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF frame = QRectF(button->rect()).adjusted(0.5, 1, -0.5, -1);
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawRoundedRect(frame, 6, 6);
        if (button->hasFocus() && enabled) {
            QColor ring = brandAccent(dark);
            ring.setAlphaF(0.45f);
            painter.setPen(QPen(ring, 2));
            painter.setBrush(Qt::NoBrush);
            painter.drawRoundedRect(frame.adjusted(-0.5, -0.5, 0.5, 0.5), 7, 7);
        }

        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        option.icon = button->icon();
        option.iconSize = button->iconSize();
        option.palette.setColor(QPalette::ButtonText, text);
        option.rect = button->rect();
        button->style()->drawControl(QStyle::CE_PushButtonLabel, &option, &painter, button);
    }
};

} // namespace

void makeProminent(QPushButton* button) {
    button->installEventFilter(ProminentPainter::instance());
    button->update();
}

ProminentButton::ProminentButton(const QString& text, QWidget* parent)
    : QPushButton(text, parent) {
    makeProminent(this);
}
