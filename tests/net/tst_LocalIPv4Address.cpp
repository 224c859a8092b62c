#include "LocalIPv4Address.h"

#include <QNetworkInterface>
#include <QTest>

namespace {

QList<LocalIPv4Address> addressesOf(const QStringList& interfaces) {
    QList<LocalIPv4Address> addresses;
    for (qsizetype i = 0; i < interfaces.size(); ++i)
        addresses.append({interfaces[i], QStringLiteral("10.0.0.%1").arg(i + 1)});
    return addresses;
}

// What Qt's own interface enumeration says list() should hold, in no particular order.
QList<LocalIPv4Address> expectedFromQt() {
    QList<LocalIPv4Address> expected;
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        const auto flags = interface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) ||
            flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
            const QHostAddress ip = entry.ip();
            if (ip.protocol() == QAbstractSocket::IPv4Protocol && !ip.isLinkLocal())
                expected.append({interface.name(), ip.toString()});
        }
    }
    return expected;
}

} // namespace

class LocalIPv4AddressTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void sortsByInterfaceName_data() {
        QTest::addColumn<QStringList>("interfaces");
        QTest::addColumn<QStringList>("sorted");
        QTest::newRow("digit runs by value")
            << QStringList{"en0", "en10", "en2"} << QStringList{"en0", "en2", "en10"};
        QTest::newRow("case ignored")
            << QStringList{"wlan0", "ETH1", "eth0"} << QStringList{"eth0", "ETH1", "wlan0"};
        QTest::newRow("longer digit runs") << QStringList{"veth100", "veth20", "br-9", "br-10"}
                                           << QStringList{"br-9", "br-10", "veth20", "veth100"};
    }
    void sortsByInterfaceName() {
        // Runs in the C locale (see tests/CMakeLists.txt), where numeric collation is off.
        QFETCH(QStringList, interfaces);
        QFETCH(QStringList, sorted);
        QList<LocalIPv4Address> addresses = addressesOf(interfaces);
        LocalIPv4Address::sortByInterface(addresses);
        QStringList names;
        for (const LocalIPv4Address& address : addresses)
            names.append(address.interface);
        QCOMPARE(names, sorted);
    }

    void keepsTheSystemsOrderWithinAnInterface() {
        QList<LocalIPv4Address> addresses{
            {"en1", "10.0.0.9"}, {"en0", "10.0.0.7"}, {"EN1", "10.0.0.3"}, {"en1", "10.0.0.5"}};
        LocalIPv4Address::sortByInterface(addresses);
        const QList<LocalIPv4Address> expected{
            {"en0", "10.0.0.7"}, {"en1", "10.0.0.9"}, {"EN1", "10.0.0.3"}, {"en1", "10.0.0.5"}};
        QCOMPARE(addresses, expected);
    }

    void listsThisMachinesUsableAddresses() {
        const QList<LocalIPv4Address> listed = LocalIPv4Address::list();
        QList<LocalIPv4Address> expected = expectedFromQt();
        QCOMPARE(listed.size(), expected.size());
        for (const LocalIPv4Address& address : listed) {
            QVERIFY2(expected.removeOne(address), qPrintable(address.id()));
            QVERIFY(!address.address.startsWith("127.") && !address.address.startsWith("169.254."));
        }
        QList<LocalIPv4Address> resorted = listed;
        LocalIPv4Address::sortByInterface(resorted);
        QCOMPARE(resorted, listed);
    }

    void primaryFollowsTheRoute() {
        // Connecting a datagram socket sends nothing: these only ask for the route.
        QCOMPARE(LocalIPv4Address::primary("127.0.0.1"), "127.0.0.1");
        const QList<LocalIPv4Address> listed = LocalIPv4Address::list();
        const std::optional<QString> first =
            listed.isEmpty() ? std::nullopt : std::optional(listed.first().address);
        // Connecting to the broadcast address is refused without SO_BROADCAST: no route.
        QCOMPARE(LocalIPv4Address::primary("255.255.255.255"), first);
    }
};

QTEST_GUILESS_MAIN(LocalIPv4AddressTest)
#include "tst_LocalIPv4Address.moc"
