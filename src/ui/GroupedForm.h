#pragma once

// The grouped form every window is built from: a column of sections, each a rounded panel set
// off from the window's background, holding rows with the label on the left and the value on the
// right, thin lines between the rows. Drawn from the palette, so light and dark both fit.

#include "Appearance.h"

#include <QWidget>

#include <initializer_list>

class QLabel;
class QVBoxLayout;

class FormSection : public QWidget {
    Q_OBJECT

public:
    explicit FormSection(QWidget* parent = nullptr);

    // A row with `label` on the left and `value` on the right; the tooltip covers the row.
    QWidget* addRow(const QString& label, QWidget* value, const QString& tooltip = {});
    // A row that is one widget across the panel's width.
    QWidget* addWidget(QWidget* fullWidth);
    // A row of buttons at the trailing edge, in the order given.
    QWidget* addButtons(std::initializer_list<QWidget*> buttons);
    // A row of text across the panel, wrapped, in `tint`.
    QLabel* addText(const QString& text, Tint tint = Tint::primary);
    // Removes every row.
    void clear();
    int rowCount() const;

    // Small text above and below the panel; an empty text hides it.
    void setHeader(const QString& header);
    void setFooter(const QString& footer);

private:
    class Panel;

    QLabel* m_header;
    QLabel* m_footer;
    Panel* m_panel;
};

class GroupedForm : public QWidget {
    Q_OBJECT

public:
    explicit GroupedForm(QWidget* parent = nullptr);

    FormSection* addSection();
    // Removes every section. Safe from a slot of a widget inside the form: the sections go once
    // control returns to the event loop.
    void clear();

private:
    QVBoxLayout* m_sections;
};

// A thin horizontal line between parts of a window (a sheet's header and its body), in the same
// faint shade as the lines between a form's rows.
class FormDivider : public QWidget {
    Q_OBJECT

public:
    explicit FormDivider(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent*) override;
};
