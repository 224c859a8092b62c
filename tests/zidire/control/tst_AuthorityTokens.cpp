#include "LocalRelay.h"
#include "auth/AuthorityTokens.h"

#include <QFile>
#include <QTest>

#include <unistd.h>

using namespace zidire;

// The token rules, on token files as LocalRelay mints them; that zidire asks them is seen through
// a real one (tst_ZidireControl).
class AuthorityTokensTest : public QObject {
    Q_OBJECT

    LocalRelay m_relay; // no zidire runs: only its authority directory is used

    std::optional<QString> refusal(const QString& authorization, uid_t owner = ::geteuid()) const {
        return AuthorityTokens(m_relay.authorityDirectory(), owner).consume(authorization);
    }

    QString pathOf(const QString& authorization) const {
        return m_relay.authorityDirectory() + '/' +
               QByteArray::fromBase64(authorization.toLatin1()).toHex();
    }

private Q_SLOTS:
    void freshOwnedTokenCountsOnce() {
        const QString token = m_relay.mintToken();
        QVERIFY2(refusal(token, ::geteuid() + 1), "someone else's token");
        QVERIFY2(QFile::exists(pathOf(token)), "a refused token stays where it was");
        QCOMPARE(refusal(token), std::nullopt);
        QVERIFY2(!QFile::exists(pathOf(token)), "a used token is deleted");
        QVERIFY2(refusal(token), "a token counts once");
        QVERIFY2(refusal(m_relay.mintToken(6 * 60)), "a token older than 5 minutes");
        QCOMPARE(refusal(m_relay.mintToken(4 * 60)), std::nullopt);
        QVERIFY2(refusal(m_relay.mintToken(-60)), "a token dated ahead of the clock");
    }

    void whatIsNoTokenFile() {
        // A symbolic link, a second (hard) name.
        const QString linked = m_relay.mintToken(), hardLinked = m_relay.mintToken();
        QVERIFY(QFile::rename(pathOf(linked), m_relay.path("moved")));
        QVERIFY(QFile::link(m_relay.path("moved"), pathOf(linked)));
        QCOMPARE(::link(QFile::encodeName(pathOf(hardLinked)).constData(),
                        QFile::encodeName(m_relay.path("second")).constData()),
                 0);
        // Texts that can't name a token file: none, the wrong length, a path.
        for (const QString& authorization :
             {linked, hardLinked, QString(), QString(QByteArray(31, 'a').toBase64()),
              QString("../").repeated(12) + "etc/pass"})
            QVERIFY2(refusal(authorization), qPrintable(authorization));
    }

    void refusedTokenUsedUp_data() {
        QTest::addColumn<int>("ageSeconds");
        QTest::addColumn<bool>("secondName");
        QTest::addColumn<QString>("why");
        QTest::newRow("stale") << 6 * 60 << false << "the token is older than 300 seconds";
        QTest::newRow("dated ahead") << -60 << false << "the token is dated in the future";
        QTest::newRow("second name") << 0 << true << "the token has more than one name";
    }

    // A token that was presented can't be presented again, taken or not; the reason (which goes
    // to the log) never names it. A second name of it stays where it was.
    void refusedTokenUsedUp() {
        QFETCH(int, ageSeconds);
        QFETCH(bool, secondName);
        QFETCH(QString, why);
        const QString token = m_relay.mintToken(ageSeconds);
        const QString other = m_relay.path(QString("other-%1").arg(QTest::currentDataTag()));
        if (secondName)
            QCOMPARE(::link(QFile::encodeName(pathOf(token)).constData(),
                            QFile::encodeName(other).constData()),
                     0);
        const std::optional<QString> refused = refusal(token);
        QCOMPARE(refused, why);
        QVERIFY2(!QFile::exists(pathOf(token)), "a refused token is used up");
        QCOMPARE(QFile::exists(other), secondName);
        QCOMPARE(refusal(token), QString("no such token: No such file or directory"));
    }
};

QTEST_GUILESS_MAIN(AuthorityTokensTest)
#include "tst_AuthorityTokens.moc"
