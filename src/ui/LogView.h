#pragma once

// zidire's log as the log sheet shows it: a header with "Refresh" and "Done" over the text.
// The presenter owns the text and the fetch; the view only shows the one and starts the other.

#include <QCoroTask>
#include <QWidget>

#include <functional>

class QPlainTextEdit;
class QPushButton;

class LogView : public QWidget {
    Q_OBJECT

public:
    explicit LogView(std::function<QCoro::Task<>()> refresh, QWidget* parent = nullptr);

    // An empty text shows "Loading…".
    void setText(const QString& text);
    QString shownText() const;

Q_SIGNALS:
    // "Done" (or Return): the sheet should go. An enclosing dialog is accepted as well.
    void done();

private:
    void finish();

    std::function<QCoro::Task<>()> m_refresh;
    QPlainTextEdit* m_text;
    QPushButton* m_refreshButton;
    QPushButton* m_doneButton;
};
