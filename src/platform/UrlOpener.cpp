#include "UrlOpener.h"

#include <QDesktopServices>

namespace {

class DesktopUrlOpener final : public UrlOpener {
public:
    void open(const QUrl& url) override { QDesktopServices::openUrl(url); }
};

} // namespace

std::shared_ptr<UrlOpener> desktopUrlOpener() {
    return std::make_shared<DesktopUrlOpener>();
}
