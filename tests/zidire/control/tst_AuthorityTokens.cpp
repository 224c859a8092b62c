#include "auth/AuthorityTokens.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace zidire;

namespace {

enum class Token { fresh, datedAhead, directory, hardLinked, missing, otherOwner };

} // namespace

Q_DECLARE_METATYPE(Token)

class AuthorityTokensTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void tokenFiles_data() {
        QTest::addColumn<Token>("token");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("fresh") << Token::fresh << true;
        QTest::newRow("dated ahead of the clock") << Token::datedAhead << false;
        QTest::newRow("a directory") << Token::directory << false;
        QTest::newRow("a second name") << Token::hardLinked << false;
        QTest::newRow("no such file") << Token::missing << false;
        QTest::newRow("someone else's") << Token::otherOwner << false;
    }

    void tokenFiles() {
        QFETCH(Token, token);
        QFETCH(bool, accepted);
        QTemporaryDir directory;
        QByteArray bytes(AuthorityTokens::tokenBytes, '\0');
        QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(bytes.data()),
                                              bytes.size() / 4);
        const QString path = directory.filePath(QString::fromLatin1(bytes.toHex()));
        QFile file(path);
        if (token == Token::directory)
            QVERIFY(QDir().mkdir(path));
        else if (token != Token::missing)
            QVERIFY(file.open(QIODevice::WriteOnly));
        if (token == Token::datedAhead)
            QVERIFY(file.setFileTime(QDateTime::currentDateTimeUtc().addSecs(60),
                                     QFileDevice::FileModificationTime));
        if (token == Token::hardLinked)
            QCOMPARE(::link(QFile::encodeName(path).constData(),
                            QFile::encodeName(path + QStringLiteral(".2")).constData()),
                     0);
        file.close();

        const uid_t owner = token == Token::otherOwner ? ::geteuid() + 1 : ::geteuid();
        const AuthorityTokens tokens(directory.path(), owner);
        const std::optional<QString> refusal =
            tokens.consume(QString::fromLatin1(bytes.toBase64()));
        QVERIFY2(refusal.has_value() != accepted, qPrintable(refusal.value_or(QString())));
        if (accepted)
            QVERIFY2(!QFile::exists(path), "a used token is deleted");
        else if (token != Token::missing)
            QVERIFY2(QFileInfo::exists(path), "a refused token stays where it was");
    }

    void authorizationTexts_data() {
        QTest::addColumn<QString>("authorization");
        QTest::newRow("empty") << QString();
        QTest::newRow("not Base64") << QStringLiteral("%").repeated(44);
        QTest::newRow("unpadded") << QString::fromLatin1(QByteArray(32, 'a').toBase64()).chopped(1);
        QTest::newRow("31 bytes") << QString::fromLatin1(QByteArray(31, 'a').toBase64());
        QTest::newRow("a path of the right length")
            << QStringLiteral("../").repeated(12) + QStringLiteral("etc/pass");
    }

    // Texts that can't name a token are refused before anything is looked up.
    void authorizationTexts() {
        QFETCH(QString, authorization);
        const AuthorityTokens tokens(QStringLiteral("/nonexistent"), ::geteuid());
        QVERIFY(tokens.consume(authorization)->contains(QStringLiteral("isn't the Base64")));
    }
};

QTEST_GUILESS_MAIN(AuthorityTokensTest)
#include "tst_AuthorityTokens.moc"
