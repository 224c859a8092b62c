#pragma once

#include <QUrl>

#include <memory>

// Opens a web page in the user's default browser. The desktop backend hands the address to the
// desktop environment; tests substitute their own opener to see the address and act as the
// browser.
class UrlOpener {
public:
    virtual ~UrlOpener() = default;
    // Whether a browser actually showed the page is not reported: callers wait for what the page
    // leads to, not for the browser.
    virtual void open(const QUrl& url) = 0;
};

// QDesktopServices: needs a QGuiApplication and the main thread.
std::shared_ptr<UrlOpener> desktopUrlOpener();
