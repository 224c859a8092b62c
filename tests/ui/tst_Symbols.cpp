#include "Symbols.h"

#include <QImage>
#include <QTest>

class SymbolsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Every symbol name the views use, so that none of them can show an empty square.
    void everyNameRendersTinted() {
        for (const QString name :
             {"power", "hourglass", "bolt.slash", "gearshape", "exclamationmark.triangle",
              "checkmark.circle", "xmark.circle.fill", "scanner", "printer", "person.crop.circle",
              "key", "eye", "eye.slash", "1.circle", "2.circle", "3.circle"})
            rendersTinted(name);
    }

private:
    void rendersTinted(const QString& name) {
        QVERIFY2(hasSymbol(name), qPrintable(name));
        const QColor tint(254, 120, 57);
        for (qreal ratio : {1.0, 2.0}) {
            const QImage image = symbolPixmap(name, 20, tint, ratio).toImage();
            QCOMPARE(image.size(), QSize(20, 20) * ratio);
            int covered = 0;
            for (int y = 0; y < image.height(); ++y) {
                for (int x = 0; x < image.width(); ++x) {
                    const QColor pixel = image.pixelColor(x, y);
                    covered += pixel.alpha() > 0;
                    const int off = qAbs(pixel.red() - tint.red()) +
                                    qAbs(pixel.green() - tint.green()) +
                                    qAbs(pixel.blue() - tint.blue());
                    // Premultiplied edges round a little; the colour must still be the tint.
                    QVERIFY2(pixel.alpha() < 128 || off <= 6, qPrintable(name));
                }
            }
            // Something drawn, and not the whole square.
            const int area = image.width() * image.height();
            QVERIFY2(covered > area / 25 && covered < area * 9 / 10, qPrintable(name));
            // Icons are drawn afresh for the ratio they are asked for.
            QCOMPARE(symbolIcon(name, tint).pixmap(QSize(20, 20), ratio).size(), image.size());
        }
        QVERIFY(!hasSymbol(name + ".fill.none"));
    }
};

QTEST_MAIN(SymbolsTest)
#include "tst_Symbols.moc"
