#include "Appearance.h"

#include <QApplication>
#include <QEvent>
#include <QPointer>
#include <QWidget>

namespace {

constexpr char brandTintProperty[] = "moxtrelBrandTint";
constexpr char textTintProperty[] = "moxtrelTextTint";

// Tinted widgets own their palette: only the tinted roles are set explicitly, so every other role
// keeps following the parent and the application.
void retint(QWidget* widget) {
    const bool dark = isDarkAppearance();
    QPalette palette; // no explicit roles
    QList<QPalette::ColorRole> tinted;
    if (widget->property(brandTintProperty).toBool()) {
        palette.setColor(QPalette::Highlight, brandAccent(dark));
        tinted << QPalette::Highlight;
    }
    const QVariant text = widget->property(textTintProperty);
    if (text.isValid()) {
        const QColor color = tintColor(Tint(text.toInt()), QGuiApplication::palette());
        palette.setColor(QPalette::WindowText, color);
        palette.setColor(QPalette::Text, color);
        tinted << QPalette::WindowText << QPalette::Text;
    }
    // Setting the palette sends another change event; only a real difference may set it again.
    for (auto role : tinted) {
        if (widget->palette().color(role) != palette.color(role)) {
            widget->setPalette(palette);
            return;
        }
    }
}

// One filter for every tinted widget. The application sends the palette change to each widget,
// so whether the widget or the application changed its palette, the colours are worked out again.
class Retinter : public QObject {
public:
    using QObject::QObject;

    static Retinter* instance() {
        static QPointer<Retinter> retinter;
        if (!retinter)
            retinter = new Retinter(qApp);
        return retinter;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::ApplicationPaletteChange ||
            event->type() == QEvent::PaletteChange) {
            if (auto* widget = qobject_cast<QWidget*>(watched))
                retint(widget);
        }
        return false;
    }
};

void watch(QWidget* widget) {
    // Installing again moves the filter to the front but never runs it twice.
    widget->installEventFilter(Retinter::instance());
    retint(widget);
}

} // namespace

bool isDarkAppearance(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() <
           palette.color(QPalette::WindowText).lightness();
}

QColor brandAccent(bool dark) {
    return dark ? QColor(255, 138, 76) : QColor(254, 120, 57);
}

QColor tintColor(Tint tint, bool dark) {
    switch (tint) {
    case Tint::primary:
        return QGuiApplication::palette().color(QPalette::WindowText);
    case Tint::secondary:
        return dark ? QColor(235, 235, 245, 153) : QColor(60, 60, 67, 153);
    case Tint::accent:
        return brandAccent(dark);
    case Tint::green:
        return dark ? QColor(48, 209, 88) : QColor(52, 199, 89);
    case Tint::red:
        return dark ? QColor(255, 69, 58) : QColor(255, 59, 48);
    }
    return {};
}

QColor tintColor(Tint tint, const QPalette& palette) {
    if (tint == Tint::primary)
        return palette.color(QPalette::WindowText);
    return tintColor(tint, isDarkAppearance());
}

void applyBrandTint(QWidget* window) {
    window->setProperty(brandTintProperty, true);
    watch(window);
}

void setTextTint(QWidget* widget, Tint tint) {
    widget->setProperty(textTintProperty, int(tint));
    watch(widget);
}
