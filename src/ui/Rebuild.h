#pragma once

// Views build what they show anew from the model. A rebuild waits for the event loop, so a burst
// of changes costs one, and a button is never deleted inside its own click; the new content
// replaces the old at once, so its parts appear, and are measured, together.

#include <QObject>

#include <functional>

class QWidget;

class CoalescedCall {
public:
    CoalescedCall(QObject* context, std::function<void()> call)
        : m_context(context)
        , m_call(std::move(call)) {}

    // Calls once on the event loop's next turn, however often it is asked before.
    void schedule();

private:
    QObject* m_context;
    std::function<void()> m_call;
    bool m_pending = false;
};

// Puts `next` into `host`'s layout in place of `current`, which goes once control returns to the
// event loop, and makes `next` the current one.
void replaceContent(QWidget& host, QWidget*& current, QWidget* next);
