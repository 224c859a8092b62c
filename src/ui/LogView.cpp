#include "LogView.h"

#include "GroupedForm.h"
#include "ProminentButton.h"

#include <QBoxLayout>
#include <QDialog>
#include <QFontDatabase>
#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>

LogView::LogView(std::function<QCoro::Task<>()> refresh, QWidget* parent)
    : QWidget(parent)
    , m_refresh(std::move(refresh))
    , m_text(new QPlainTextEdit(this))
    , m_refreshButton(new QPushButton(QStringLiteral("Refresh"), this))
    , m_doneButton(new QPushButton(QStringLiteral("Done"), this)) {
    setFixedSize(640, 420);

    auto* title = new QLabel(QStringLiteral("zidire log"), this);
    QFont headline = title->font();
    headline.setPixelSize(13);
    headline.setWeight(QFont::DemiBold);
    title->setFont(headline);

    m_doneButton->setDefault(true);
    makeProminent(m_doneButton);
    auto* header = new QHBoxLayout;
    header->setContentsMargins(12, 12, 12, 12);
    header->addWidget(title);
    header->addStretch();
    header->addWidget(m_refreshButton);
    header->addWidget(m_doneButton);

    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPixelSize(11);
    m_text->setFont(mono);
    m_text->setReadOnly(true);
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_text->setFrameShape(QFrame::NoFrame);
    m_text->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_text->document()->setDocumentMargin(12);
    // The log reads as part of the sheet, not as a field to type into.
    m_text->viewport()->setBackgroundRole(QPalette::Window);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addLayout(header);
    column->addWidget(new FormDivider(this));
    column->addWidget(m_text, 1);
    setText({});

    connect(m_refreshButton, &QPushButton::clicked, this, [this] {
        // Started and left running: the presenter's fetch stores its own result.
        if (m_refresh)
            m_refresh();
    });
    connect(m_doneButton, &QPushButton::clicked, this, &LogView::finish);
    // Return means "Done" wherever the focus is, the text included, as in a sheet.
    for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setContext(Qt::WidgetWithChildrenShortcut);
        connect(shortcut, &QShortcut::activated, m_doneButton, &QPushButton::click);
    }
}

void LogView::setText(const QString& text) {
    m_text->setPlainText(text.isEmpty() ? QStringLiteral("Loading…") : text);
}

QString LogView::shownText() const {
    return m_text->toPlainText();
}

void LogView::finish() {
    Q_EMIT done();
    if (auto* dialog = qobject_cast<QDialog*>(window()))
        dialog->accept();
}
