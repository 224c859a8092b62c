#pragma once

#include <QHashFunctions>
#include <QList>
#include <QString>

#include <optional>

// An IPv4 address of this machine on one of its network interfaces.
struct LocalIPv4Address {
    QString interface; // the system's interface name, "eth0"
    QString address;   // dotted decimal

    // Identity in list views.
    QString id() const { return interface + u'/' + address; }

    friend bool operator==(const LocalIPv4Address&, const LocalIPv4Address&) = default;

    // The addresses of interfaces that are up, except loopback and self-assigned link-local
    // (169.254.x.x) ones, sorted by interface name as a file browser sorts names (ignoring case,
    // digit runs by their value: en2 before en10); the addresses of one interface stay in the
    // system's order. Empty when the system lists none.
    static QList<LocalIPv4Address> list();

    // The address the system would send from to reach `routeProbe` (an IPv4 address in dotted
    // decimal; no packet is sent): by default a public address, giving the address the machine
    // reaches the internet from. Without a route, the first address of `list()`.
    static std::optional<QString> primary(const QString& routeProbe = defaultRouteProbe());
    static QString defaultRouteProbe();

    // The ordering of `list()`.
    static void sortByInterface(QList<LocalIPv4Address>& addresses);
};

inline size_t qHash(const LocalIPv4Address& value, size_t seed = 0) {
    return qHashMulti(seed, value.interface, value.address);
}
