#pragma once

#include "UrlOpener.h"

#include <QByteArray>
#include <QObject>

class QSocketNotifier;

namespace zidire {

// Stands in for the browser at a terminal. It prints the sign-in address and hands it to the
// desktop's browser, if there is one. With `pasteRedirect` (the browser runs on another machine,
// as over SSH) it opens no browser; instead it reads the address that browser ended on from
// standard input and takes it to the sign-in's loopback listener, as the browser would have. The
// listener then judges it exactly like a redirect, state check included, and the first outcome
// to reach it wins.
class TerminalBrowser final : public QObject, public UrlOpener {
    Q_OBJECT

public:
    explicit TerminalBrowser(bool pasteRedirect);
    ~TerminalBrowser() override;

    void open(const QUrl& url) override;

private:
    void readPastedLines();
    void deliverRedirect(const QByteArray& pasted);

    bool m_pasteRedirect;
    quint16 m_listenerPort = 0;
    QByteArray m_input;
    QSocketNotifier* m_standardInput = nullptr;
};

} // namespace zidire
