#include "TerminalBrowser.h"

#include "Console.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QProcess>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QUrl>
#include <QUrlQuery>

#include <cerrno>
#include <unistd.h>

namespace zidire {

TerminalBrowser::TerminalBrowser(bool pasteRedirect)
    : m_pasteRedirect(pasteRedirect) {}

TerminalBrowser::~TerminalBrowser() = default;

void TerminalBrowser::open(const QUrl& url) {
    printLine(stdout, QStringLiteral("Open this address in a browser and sign in:\n\n  ") +
                          url.toString(QUrl::FullyEncoded) + u'\n');
    if (!m_pasteRedirect) {
        // Best effort, and only on a desktop: without one, xdg-open would start a text browser
        // on this very terminal.
        if (!qEnvironmentVariableIsEmpty("DISPLAY") ||
            !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
            QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)});
        return;
    }
    const QUrl redirect(QUrlQuery(url).queryItemValue(QStringLiteral("redirect_uri")));
    m_listenerPort = quint16(redirect.port());
    printLine(stdout, QStringLiteral("The browser then goes to an address starting with %1, "
                                     "which it may fail to show. Paste that address here:")
                          .arg(redirect.toString()));
    m_standardInput = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(m_standardInput, &QSocketNotifier::activated, this, &TerminalBrowser::readPastedLines);
}

void TerminalBrowser::readPastedLines() {
    char buffer[4096];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        // Nothing more will be pasted; the listener may still get the redirect itself.
        m_standardInput->setEnabled(false);
        return;
    }
    m_input.append(buffer, n);
    for (qsizetype end = m_input.indexOf('\n'); end >= 0; end = m_input.indexOf('\n')) {
        const QByteArray line = m_input.left(end).trimmed();
        m_input.remove(0, end + 1);
        if (!line.isEmpty())
            deliverRedirect(line);
    }
}

void TerminalBrowser::deliverRedirect(const QByteArray& pasted) {
    const QUrl redirect(QString::fromUtf8(pasted));
    if (!redirect.hasQuery()) {
        printLine(stdout, QStringLiteral("That is not the address the browser ended on; paste "
                                         "all of it, from http:// on:"));
        return;
    }
    auto* listener = new QTcpSocket(this);
    listener->setProxy(QNetworkProxy::NoProxy);
    const QByteArray request = "GET /?" + redirect.query(QUrl::FullyEncoded).toLatin1() +
                               " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
    connect(listener, &QTcpSocket::connected, listener,
            [listener, request] { listener->write(request); });
    connect(listener, &QTcpSocket::disconnected, listener, &QObject::deleteLater);
    connect(listener, &QTcpSocket::errorOccurred, listener, &QObject::deleteLater);
    listener->connectToHost(QHostAddress(QHostAddress::LocalHost), m_listenerPort);
}

} // namespace zidire
