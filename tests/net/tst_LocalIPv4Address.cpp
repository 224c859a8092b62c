#include "LocalIPv4Address.h"

#include <QNetworkInterface>
#include <QTest>

namespace {

// "interface/address" items, as LocalIPv4Address::id() writes them.
QStringList ids(const QList<LocalIPv4Address>& addresses) {
    QStringList ids;
    for (const LocalIPv4Address& address : addresses)
        ids.append(address.id());
    return ids;
}

} // namespace

class LocalIPv4AddressTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Runs in the C locale, where QCollator's numeric mode is ignored.
    void sortsByInterfaceName() {
        const std::pair<QStringList, QStringList> givenAndSorted[] = {
            // Digit runs by value.
            {{"en0/1", "en10/2", "en2/3"}, {"en0/1", "en2/3", "en10/2"}},
            // Letter case ignored, and the order kept among equal names.
            {{"en1/9", "en0/7", "EN1/3", "en1/5"}, {"en0/7", "en1/9", "EN1/3", "en1/5"}},
        };
        for (const auto& [given, sorted] : givenAndSorted) {
            QList<LocalIPv4Address> addresses;
            for (const QString& id : given)
                addresses.append({id.section('/', 0, 0), id.section('/', 1)});
            LocalIPv4Address::sortByInterface(addresses);
            QCOMPARE(ids(addresses), sorted);
        }
    }

    void listsThisMachinesUsableAddresses() {
        QStringList expected; // what Qt's own enumeration says, in no particular order
        for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
            if (interface.flags().testFlag(QNetworkInterface::IsUp) &&
                !interface.flags().testFlag(QNetworkInterface::IsLoopBack))
                for (const QNetworkAddressEntry& entry : interface.addressEntries())
                    if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol &&
                        !entry.ip().isLinkLocal())
                        expected.append(interface.name() + '/' + entry.ip().toString());
        }
        QList<LocalIPv4Address> listed = LocalIPv4Address::list();
        QStringList listedIds = ids(listed);
        LocalIPv4Address::sortByInterface(listed);
        QCOMPARE(ids(listed), listedIds);
        listedIds.sort();
        expected.sort();
        QCOMPARE(listedIds, expected);

        // Connecting a datagram socket sends nothing: it only asks for the route.
        QCOMPARE(LocalIPv4Address::primary("127.0.0.1"), "127.0.0.1");
        // Without SO_BROADCAST the broadcast address has no route: the first listed one.
        const auto first = LocalIPv4Address::list().value(0).address;
        QCOMPARE(LocalIPv4Address::primary("255.255.255.255"),
                 first.isEmpty() ? std::nullopt : std::optional(first));
    }
};

QTEST_GUILESS_MAIN(LocalIPv4AddressTest)
#include "tst_LocalIPv4Address.moc"
