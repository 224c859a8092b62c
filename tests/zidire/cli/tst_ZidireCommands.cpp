// zidire's commands as a person runs them, against a real local zidire: what each prints and its
// exit status when the relay does the work, refuses it or isn't there; and a sign-in at a
// terminal whose browser runs elsewhere, its redirect pasted back.

#include "FakeProvider.h"
#include "LocalRelay.h"
#include "OAuthProviderApp.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QUrlQuery>

namespace {

struct Run {
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;
};

// The build's zidire with `arguments` and `input` on standard input, to its end. The test's
// event loop runs meanwhile, so a provider in this process can answer the relay.
Run zidire(const QStringList& arguments, const QByteArray& input = {}) {
    QProcess process;
    QSignalSpy finished(&process, &QProcess::finished);
    process.start(LocalRelay::zidireProgram(), arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!finished.wait(60000))
        return {};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

} // namespace

class ZidireCommandsTest : public QObject {
    Q_OBJECT

    FakeProvider m_provider;
    LocalRelay m_relay;

private Q_SLOTS:
    void initTestCase() {
        const QByteArray base = m_provider.baseUrl().toUtf8();
        m_relay.writeSettings(R"({"listen_host":"127.0.0.1","ZIDIRE_MICROSOFT_LOGIN_BASE":")" +
                              base + R"(","ZIDIRE_GRAPH_BASE":")" + base + R"("})");
        QVERIFY2(m_relay.start(), qPrintable(m_relay.standardError()));
    }
    void cleanupTestCase() { QCOMPARE(m_relay.stop(), 0); }

    // Before any sign-in. What a command prints on success goes to standard output; a failure's
    // reason to standard error.
    void commands_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("printed");
        const auto row = [](const char* name, const QStringList& arguments, int exitCode,
                            const QString& printed, const QByteArray& input = {}) {
            QTest::newRow(name) << arguments << input << exitCode << printed;
        };
        const QString nowhere = m_relay.path("nowhere.sock");
        row("status", {"--user", "status"}, 0, "Set up your sender\n  Account:      none chosen");
        row("status as JSON", {"status", "--user", "--json"}, 0, "\"authenticated\": false,");
        row("log", {"--user", "log"}, 0, "running in local mode");
        row("device login", {"--user", "device-login", "copier"}, 0,
            "Copiers now sign in as copier.", "scan-secret\nnot the password\n");
        row("device login without password", {"--user", "device-login", "copier"}, 2,
            "zidire: the password is empty", "\n");
        row("listen", {"--user", "listen", "127.0.0.1"}, 0, "on 127.0.0.1.");
        row("listen elsewhere", {"--user", "listen", "192.0.2.1"}, 1,
            "zidire: Couldn't change the listening address: 192.0.2.1 isn't an address of this "
            "machine");
        row("test without account", {"--user", "test", "someone@example.com"}, 1,
            "no sending account is set up yet");
        row("retry without account", {"--user", "retry"}, 1, "no sending account is set up yet");
        row("unknown command", {"--user", "send"}, 2, "unknown command \"send\"");
        row("missing argument", {"--user", "test"}, 2, "\"test\" needs RECIPIENT");
        row("relay option", {"--user", "log", "--smtp-ports", "1,2,3"}, 2,
            "--smtp-ports doesn't apply to \"log\"");
        row("command option alone", {"--user", "--json"}, 2, "--json doesn't apply to the relay");
        row("no relay", {"--socket", nowhere, "status"}, 3, "the background service isn't running");
        row("no relay for the password", {"--socket", nowhere, "device-login", "copier"}, 3,
            "the background service isn't running", "secret\n");
        if (ClientRegistrations::builtIn().googleClientID.isEmpty())
            row("no Google client", {"--user", "auth", "gmail"}, 2,
                "pass --client-id ID --client-secret SECRET");
    }
    void commands() {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        QFETCH(int, exitCode);
        QFETCH(QString, printed);
        const Run run = zidire(arguments, input);
        QCOMPARE(run.exitCode, exitCode);
        const QByteArray& stream = exitCode == 0 ? run.standardOutput : run.standardError;
        QVERIFY2(stream.contains(printed.toUtf8()), stream.constData());
    }

    // The page to open is printed; the redirect comes back pasted. A forged state ends the
    // sign-in, and the relay learns nothing; the real one signs in, after which the relay sends.
    void signInAtTerminal_data() {
        QTest::addColumn<QString>("state"); // empty: the one the page asked for
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("printed");
        QTest::newRow("forged state") << "forged" << 1 << "state mismatch";
        QTest::newRow("signed in") << "" << 0 << "Signed in to Microsoft 365 as scans@example.com.";
    }
    void signInAtTerminal() {
        QFETCH(QString, state);
        QFETCH(int, exitCode);
        QFETCH(QString, printed);
        const QByteArray claims =
            QByteArray(R"({"email":"scans@example.com"})")
                .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
        if (exitCode == 0)
            m_provider.queueReply(FakeProvider::Endpoint::token,
                                  {.body = R"({"refresh_token":"refresh-1","id_token":"e30.)" +
                                           claims + R"(.c2ln"})"});
        QProcess auth;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("ZIDIRE_MICROSOFT_LOGIN_BASE", m_provider.baseUrl());
        auth.setProcessEnvironment(environment);
        auth.start(LocalRelay::zidireProgram(),
                   {"--user", "auth", "m365", "--no-browser", "--client-id",
                    "6731de76-14a6-49ae-97bc-6eba6914391e"});
        QByteArray output;
        QTRY_VERIFY_WITH_TIMEOUT((output += auth.readAllStandardOutput()).contains("Paste"), 20000);
        const QUrlQuery page(
            QUrl(QRegularExpression("http\\S+authorize\\S+").match(output).captured()));
        const QString redirect = page.queryItemValue("redirect_uri") + "/?code=granted&state=" +
                                 (state.isEmpty() ? page.queryItemValue("state") : state);
        auth.write(redirect.toUtf8() + '\n');
        QTRY_COMPARE_WITH_TIMEOUT(auth.state(), QProcess::NotRunning, 30000);
        QCOMPARE(auth.exitCode(), exitCode);
        const QByteArray all = output + auth.readAllStandardOutput() + auth.readAllStandardError();
        QVERIFY2(all.contains(printed.toUtf8()), all.constData());

        const bool signedIn = exitCode == 0;
        QVERIFY(zidire({"--user", "status", "--json"})
                    .standardOutput.contains(signedIn ? "\"authenticated\": true"
                                                      : "\"authenticated\": false"));
        if (signedIn) {
            QCOMPARE(zidire({"--user", "test", "someone@example.com"}).standardOutput,
                     "Test email sent to someone@example.com.\n");
            QCOMPARE(m_provider.requestCount(FakeProvider::Endpoint::graph), 1);
        }
    }
};

QTEST_GUILESS_MAIN(ZidireCommandsTest)
#include "tst_ZidireCommands.moc"
