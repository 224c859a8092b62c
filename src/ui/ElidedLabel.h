#pragma once

// One line of text that, when it does not fit, gives up characters in its middle ("…") rather
// than wrapping or clipping, and reflows when its width changes.

#include <QWidget>

class ElidedLabel : public QWidget {
    Q_OBJECT

public:
    explicit ElidedLabel(const QString& text = {}, Qt::TextElideMode mode = Qt::ElideMiddle,
                         QWidget* parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString& text);
    // The text as it is drawn at the current width.
    QString shownText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;
    void changeEvent(QEvent* event) override;

private:
    QString m_text;
    Qt::TextElideMode m_mode;
};
