#include "RelayContract.h"
#include "auth/AuthorityTokens.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace zidire;

// The owner rule only; the other token rules are seen through a real zidire.
class AuthorityTokensTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void someoneElsesTokenRefused() {
        QTemporaryDir directory;
        const QByteArray token(RelayContract::authorityTokenBytes, 'k');
        QFile file(directory.filePath(token.toHex()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        const QString authorization = token.toBase64();
        QVERIFY(AuthorityTokens(directory.path(), ::geteuid() + 1).consume(authorization));
        QVERIFY2(file.exists(), "a refused token stays where it was");
        const std::optional<QString> refusal =
            AuthorityTokens(directory.path(), ::geteuid()).consume(authorization);
        QVERIFY2(!refusal, qPrintable(refusal.value_or(QString())));
        QVERIFY2(!file.exists(), "a used token is deleted");
    }
};

QTEST_GUILESS_MAIN(AuthorityTokensTest)
#include "tst_AuthorityTokens.moc"
