#include "smtp/AuthFailureBudget.h"

#include <QTest>

using namespace zidire;
using namespace std::chrono_literals;

class ClientLimitsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Failures are "host@second", hosts a-f being 127.0.0.1-6; each used up '-' nothing, 'c' its
    // host's budget, 'e' everyone's. Then, at `checkedAt`, which of a, b and f may try AUTH.
    void authFailureBudget_data() {
        QTest::addColumn<QString>("failures");
        QTest::addColumn<QString>("exhausted");
        QTest::addColumn<int>("checkedAt");
        QTest::addColumn<QString>("admitted");
        QTest::newRow("a host's third failure locks it out alone, once") << "a@0 a@1 a@2 a@3"
                                                                         << "--c-" << 4 << "bf";
        QTest::newRow("a lockout ends") << "a@0 a@1 a@2"
                                        << "--c" << 62 << "abf";
        QTest::newRow("failures a window apart") << "a@0 a@1 a@10"
                                                 << "---" << 11 << "abf";
        QTest::newRow("many hosts lock out everyone") << "a@0 b@1 c@2 d@3 e@4"
                                                      << "----e" << 63 << "";
    }

    void authFailureBudget() {
        QFETCH(QString, failures);
        QFETCH(QString, exhausted);
        QFETCH(int, checkedAt);
        QFETCH(QString, admitted);
        std::chrono::seconds now{};
        AuthFailureBudget budget({.perClient = 3, .total = 5, .window = 10s, .lockout = 60s},
                                 [&] { return std::chrono::steady_clock::time_point(now); });
        const auto host = [](QChar name) {
            return QHostAddress(0x7f000001 + name.unicode() - 'a');
        };
        QString outcomes, admittedNow;
        for (const QString& failure : failures.split(u' ')) {
            now = std::chrono::seconds(failure.mid(2).toInt());
            outcomes += "-ce"[int(budget.recordFailure(host(failure[0])))];
        }
        now = std::chrono::seconds(checkedAt);
        for (const QChar name : QStringLiteral("abf"))
            if (budget.admits(host(name)))
                admittedNow += name;
        QCOMPARE(outcomes + u' ' + admittedNow, exhausted + u' ' + admitted);
    }
};

QTEST_GUILESS_MAIN(ClientLimitsTest)
#include "tst_ClientLimits.moc"
