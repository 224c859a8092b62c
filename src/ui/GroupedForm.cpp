#include "GroupedForm.h"

#include <QBoxLayout>
#include <QLabel>
#include <QPainter>

namespace {

constexpr int rowInset = 10;

// The panel stands out from the window the way the desktop's own grouped forms do: a shade
// lighter in light mode, a shade lighter again on a dark window.
QColor panelColor(const QPalette& palette) {
    const QColor window = palette.color(QPalette::Window);
    const float towardWhite = isDarkAppearance(palette) ? 0.07f : 0.65f;
    auto mix = [&](int c) { return int(c + (255 - c) * towardWhite); };
    return QColor(mix(window.red()), mix(window.green()), mix(window.blue()));
}

QColor lineColor(const QPalette& palette, float alpha) {
    QColor line = palette.color(QPalette::WindowText);
    line.setAlphaF(alpha);
    return line;
}

void removeLater(QWidget* widget) {
    widget->hide();
    if (auto* layout = widget->parentWidget() ? widget->parentWidget()->layout() : nullptr)
        layout->removeWidget(widget);
    widget->deleteLater();
}

} // namespace

class FormSection::Panel : public QWidget {
public:
    explicit Panel(QWidget* parent)
        : QWidget(parent)
        , m_rows(new QVBoxLayout(this)) {
        m_rows->setContentsMargins(0, 0, 0, 0);
        // The gap between rows is where the separator line goes.
        m_rows->setSpacing(1);
    }

    QWidget* add(QWidget* row) {
        m_rows->addWidget(row);
        return row;
    }

    QList<QWidget*> rows(bool visibleOnly = true) const {
        QList<QWidget*> rows;
        for (int i = 0; i < m_rows->count(); ++i) {
            QWidget* row = m_rows->itemAt(i)->widget();
            if (row && !(visibleOnly && row->isHidden()))
                rows.append(row);
        }
        return rows;
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(lineColor(palette(), 0.10f), 1));
        painter.setBrush(panelColor(palette()));
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);

        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.setPen(QPen(lineColor(palette(), 0.12f), 1));
        const QList<QWidget*> visible = rows();
        for (qsizetype i = 1; i < visible.size(); ++i) {
            const int y = visible[i]->y() - 1;
            painter.drawLine(rowInset, y, width() - rowInset - 1, y);
        }
    }

private:
    QVBoxLayout* m_rows;
};

FormSection::FormSection(QWidget* parent)
    : QWidget(parent)
    , m_header(new QLabel(this))
    , m_footer(new QLabel(this))
    , m_panel(new Panel(this)) {
    QFont headerFont = font();
    headerFont.setWeight(QFont::DemiBold);
    m_header->setFont(headerFont);
    m_header->setContentsMargins(rowInset, 0, rowInset, 0);
    m_header->hide();

    QFont footerFont = font();
    footerFont.setPixelSize(11);
    m_footer->setFont(footerFont);
    m_footer->setWordWrap(true);
    m_footer->setContentsMargins(rowInset, 0, rowInset, 0);
    setTextTint(m_footer, Tint::secondary);
    m_footer->hide();

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    column->addWidget(m_header);
    column->addWidget(m_panel);
    column->addWidget(m_footer);
}

QWidget* FormSection::addRow(const QString& label, QWidget* value, const QString& tooltip) {
    auto* row = new QWidget(m_panel);
    auto* name = new QLabel(label, row);
    name->setTextFormat(Qt::PlainText);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(rowInset, 6, rowInset, 6);
    layout->setSpacing(12);
    layout->addWidget(name, 0, Qt::AlignVCenter);
    layout->addStretch(1);
    layout->addWidget(value, 0, Qt::AlignVCenter | Qt::AlignRight);
    row->setToolTip(tooltip);
    row->setMinimumHeight(30);
    return m_panel->add(row);
}

QWidget* FormSection::addWidget(QWidget* fullWidth) {
    auto* row = new QWidget(m_panel);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(rowInset, 6, rowInset, 6);
    layout->addWidget(fullWidth);
    row->setMinimumHeight(30);
    return m_panel->add(row);
}

QWidget* FormSection::addButtons(std::initializer_list<QWidget*> buttons) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addStretch(1);
    for (QWidget* button : buttons)
        layout->addWidget(button);
    return addWidget(row);
}

QLabel* FormSection::addText(const QString& text, Tint tint) {
    auto* label = new QLabel(text);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    setTextTint(label, tint);
    addWidget(label);
    return label;
}

void FormSection::clear() {
    for (QWidget* row : m_panel->rows(false))
        removeLater(row);
}

int FormSection::rowCount() const {
    return int(m_panel->rows().size());
}

void FormSection::setHeader(const QString& header) {
    m_header->setText(header);
    m_header->setVisible(!header.isEmpty());
}

void FormSection::setFooter(const QString& footer) {
    m_footer->setText(footer);
    m_footer->setVisible(!footer.isEmpty());
}

GroupedForm::GroupedForm(QWidget* parent)
    : QWidget(parent)
    , m_sections(new QVBoxLayout(this)) {
    // The desktop's regular text size for forms; widgets that need another set their own.
    QFont formFont = font();
    formFont.setPixelSize(13);
    setFont(formFont);
    m_sections->setContentsMargins(20, 20, 20, 20);
    m_sections->setSpacing(14);
}

FormSection* GroupedForm::addSection() {
    auto* section = new FormSection(this);
    m_sections->addWidget(section);
    return section;
}

void GroupedForm::clear() {
    for (auto* section : findChildren<FormSection*>(Qt::FindDirectChildrenOnly))
        removeLater(section);
}

FormDivider::FormDivider(QWidget* parent)
    : QWidget(parent) {
    setFixedHeight(1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void FormDivider::paintEvent(QPaintEvent*) {
    QPainter(this).fillRect(rect(), lineColor(palette(), 0.12f));
}
