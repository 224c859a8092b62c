#pragma once

// Widgets found and worked as a person does: by the text they show. Views rebuild their content
// from the event loop, so the actions wait for what they act on.

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

// The widget of type T under `view` that shows `text` and is visible, if there is one.
template <class T> T* visible(const QWidget* view, const QString& text) {
    for (T* widget : view->findChildren<T*>()) {
        if (widget->isVisibleTo(view) && widget->property("text").toString() == text)
            return widget;
    }
    return nullptr;
}

inline void clickButton(const QWidget* view, const QString& title) {
    QTRY_VERIFY2(visible<QPushButton>(view, title) &&
                     visible<QPushButton>(view, title)->isEnabled(),
                 qPrintable(title));
    visible<QPushButton>(view, title)->click();
}

inline void typeInto(const QWidget* view, const char* name, const QString& text) {
    QTRY_VERIFY(view->findChild<QLineEdit*>(name));
    view->findChild<QLineEdit*>(name)->setText(text);
}
