#include "Symbols.h"

#include <QFile>
#include <QIconEngine>
#include <QPainter>
#include <QSvgRenderer>

#include <cmath>

namespace {

QString resourcePath(const QString& name) {
    return QStringLiteral(":/symbols/%1.svg").arg(name);
}

class SymbolIconEngine : public QIconEngine {
public:
    SymbolIconEngine(QString name, QColor color)
        : m_name(std::move(name))
        , m_color(std::move(color)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        const qreal ratio = painter->device()->devicePixelRatioF();
        const int side = std::min(rect.width(), rect.height());
        const QRect square(rect.x() + (rect.width() - side) / 2,
                           rect.y() + (rect.height() - side) / 2, side, side);
        painter->drawPixmap(square, symbolPixmap(m_name, side, colorFor(mode), ratio));
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1);
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State, qreal scale) override {
        // `size` is in device pixels here.
        const int side = int(std::lround(std::min(size.width(), size.height()) / scale));
        return symbolPixmap(m_name, side, colorFor(mode), scale);
    }

    QIconEngine* clone() const override { return new SymbolIconEngine(m_name, m_color); }
    QString key() const override { return QStringLiteral("moxtrel-symbol"); }
    bool isNull() override { return !hasSymbol(m_name); }

private:
    QColor colorFor(QIcon::Mode mode) const {
        if (mode != QIcon::Disabled)
            return m_color;
        QColor faded = m_color;
        faded.setAlphaF(m_color.alphaF() * 0.35f);
        return faded;
    }

    QString m_name;
    QColor m_color;
};

} // namespace

bool hasSymbol(const QString& name) {
    return QFile::exists(resourcePath(name));
}

QPixmap symbolPixmap(const QString& name, int logicalSize, const QColor& color,
                     qreal devicePixelRatio) {
    QSvgRenderer renderer(resourcePath(name));
    if (!renderer.isValid() || logicalSize <= 0)
        return {};
    const int side = int(std::lround(logicalSize * devicePixelRatio));
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    {
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        // Keep the drawing's proportions, centred, whatever its view box.
        QSizeF drawn = renderer.viewBoxF().size();
        drawn.scale(side, side, Qt::KeepAspectRatio);
        renderer.render(
            &painter,
            QRectF(QPointF((side - drawn.width()) / 2, (side - drawn.height()) / 2), drawn));
        // The drawings are black; the colour replaces them wherever they cover.
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(pixmap.rect(), color);
    }
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

QIcon symbolIcon(const QString& name, const QColor& color) {
    return QIcon(new SymbolIconEngine(name, color));
}
