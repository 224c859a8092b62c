#include "LocalIPv4Address.h"

#include <QCollator>
#include <QLocale>

#include <algorithm>
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::optional<QString> dottedDecimal(const in_addr& address) {
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &address, text, sizeof text))
        return std::nullopt;
    return QString::fromLatin1(text);
}

bool isUsable(const ifaddrs& entry) {
    return entry.ifa_addr && entry.ifa_addr->sa_family == AF_INET &&
           (entry.ifa_flags & (IFF_UP | IFF_LOOPBACK)) == IFF_UP;
}

// The route's local address: connecting a datagram socket only chooses the route.
std::optional<QString> routeSourceAddress(int fd, const QString& routeProbe) {
    sockaddr_in probe{};
    probe.sin_family = AF_INET;
    probe.sin_port = htons(53);
    if (inet_pton(AF_INET, routeProbe.toLatin1().constData(), &probe.sin_addr) != 1)
        return std::nullopt;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&probe), sizeof probe) != 0)
        return std::nullopt;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return std::nullopt;
    return dottedDecimal(local.sin_addr);
}

std::optional<QString> firstListedAddress() {
    const QList<LocalIPv4Address> addresses = LocalIPv4Address::list();
    if (addresses.isEmpty())
        return std::nullopt;
    return addresses.first().address;
}

} // namespace

QList<LocalIPv4Address> LocalIPv4Address::list() {
    ifaddrs* entries = nullptr;
    if (getifaddrs(&entries) != 0)
        return {};
    QList<LocalIPv4Address> addresses;
    for (const ifaddrs* entry = entries; entry; entry = entry->ifa_next) {
        if (!isUsable(*entry))
            continue;
        const auto address =
            dottedDecimal(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr);
        if (!address || address->startsWith(u"169.254."))
            continue;
        addresses.append({QString::fromUtf8(entry->ifa_name), *address});
    }
    freeifaddrs(entries);
    sortByInterface(addresses);
    return addresses;
}

std::optional<QString> LocalIPv4Address::primary(const QString& routeProbe) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return firstListedAddress();
    std::optional<QString> address = routeSourceAddress(fd, routeProbe);
    ::close(fd);
    return address ? address : firstListedAddress();
}

QString LocalIPv4Address::defaultRouteProbe() {
    // Cloudflare's public resolver: any globally routable address would do.
    return QStringLiteral("1.1.1.1");
}

void LocalIPv4Address::sortByInterface(QList<LocalIPv4Address>& addresses) {
    // The C locale (what services and CI run in) turns numeric collation off, so the order is
    // pinned to a locale that keeps it; for interface names any Latin-script locale sorts alike.
    QCollator collator(QLocale(QLocale::English, QLocale::UnitedStates));
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(addresses.begin(), addresses.end(),
                     [&collator](const LocalIPv4Address& a, const LocalIPv4Address& b) {
                         return collator.compare(a.interface, b.interface) < 0;
                     });
}
