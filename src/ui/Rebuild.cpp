#include "Rebuild.h"

#include <QLayout>
#include <QTimer>
#include <QWidget>

void CoalescedCall::schedule() {
    if (m_pending)
        return;
    m_pending = true;
    QTimer::singleShot(0, m_context, [this] {
        m_pending = false;
        m_call();
    });
}

void replaceContent(QWidget& host, QWidget*& current, QWidget* next) {
    if (current) {
        current->hide();
        host.layout()->removeWidget(current);
        current->deleteLater();
    }
    host.layout()->addWidget(next);
    next->show();
    current = next;
}
