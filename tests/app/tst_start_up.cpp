// The command line and the cookie store at start-up: parsed in-process, and the real
// program run as a child for what only its exit status and output can show.

#include "app/start_up.h"
#include "net/cookie_store.h"
#include "net/network_session.h"
#include "support/fake_platform.h"
#include "support/line_end.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace quillmere;
using quillmere::test::FakePlatform;

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run runProgram(const QStringList &arguments) {
    QProcess program;
    program.start(QStringLiteral(QUILLMERE_PROGRAM), arguments);
    Run run;
    if (!program.waitForFinished(60'000) || program.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = program.exitCode();
    run.out = program.readAllStandardOutput();
    run.err = program.readAllStandardError();
    return run;
}

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestStartUp : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void readsTheOptions_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("runs");
        QTest::addColumn<QString>("cookieFile");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("nothing") << QStringList{} << true << QString() << 0;
        QTest::newRow("--cookies FILE")
            << QStringList{u"--cookies"_s, u"/tmp/c.txt"_s} << true << u"/tmp/c.txt"_s << 0;
        QTest::newRow("--cookies=FILE")
            << QStringList{u"--cookies=/tmp/c.txt"_s} << true << u"/tmp/c.txt"_s << 0;
        QTest::newRow("--cookies without FILE")
            << QStringList{u"--cookies"_s} << false << QString() << 2;
        QTest::newRow("--cookies with an empty FILE")
            << QStringList{u"--cookies="_s} << false << QString() << 2;
        QTest::newRow("unknown option")
            << QStringList{u"--cookie-jar"_s, u"x"_s} << false << QString() << 2;
        QTest::newRow("a stray argument")
            << QStringList{u"thread.html"_s} << false << QString() << 2;
        QTest::newRow("--cookies-from-browser without BROWSER")
            << QStringList{u"--cookies-from-browser"_s} << false << QString() << 2;
        QTest::newRow("--help") << QStringList{u"--help"_s} << false << QString() << 0;
        QTest::newRow("--version") << QStringList{u"--version"_s} << false << QString() << 0;
    }
    void readsTheOptions() {
        QFETCH(QStringList, arguments);
        QFETCH(bool, runs);
        QFETCH(QString, cookieFile);
        QFETCH(int, exitCode);
        arguments.prepend(u"quillmere"_s);
        const CommandLine line = ParseCommandLine(arguments);
        QCOMPARE(line.run.has_value(), runs);
        if (runs) {
            QCOMPARE(line.run->cookieFile, cookieFile);
            QVERIFY(line.output.isEmpty() && line.error.isEmpty());
            return;
        }
        QCOMPARE(line.exitCode, exitCode);
        // Help and version on stdout, a mistake on stderr, never both.
        QCOMPARE(line.output.isEmpty(), exitCode != 0);
        QCOMPARE(line.error.isEmpty(), exitCode == 0);
    }

    void namesTheBrowserAndItsProfile() {
        const CommandLine line = ParseCommandLine(
            {u"quillmere"_s, u"--cookies-from-browser"_s, u"firefox:/home/me/.mozilla/p"_s});
        QVERIFY(line.run);
        QCOMPARE(line.run->browser, u"firefox:/home/me/.mozilla/p"_s);
        QCOMPARE(line.run->cookieFile, QString()); // the store stays the default one
    }

    void aBrowserThatCannotBeReadIsOneBoxAndTheProgramGoesOn() {
        QTemporaryDir dir;
        NetworkSession session;
        FakePlatform platform;
        platform.folder = dir.path();
        QString errors;
        const StartOptions options{QString(), u"firefox:"_s + dir.filePath(u"no-profile"_s)};
        QVERIFY(!OpenCookieStore(session, options, platform, errors));
        QCOMPARE(platform.messages.size(), 1);
        QCOMPARE(platform.messages[0].icon, QMessageBox::Warning);
        QCOMPARE(platform.messages[0].title, u"提示"_s);
        QVERIFY(platform.messages[0].text.contains(u"cookies.txt"_s));
        QVERIFY(session.cookieStore()->isPersistent()); // the store works as ever
    }

    void theStoreIsBesideTheSettingsFile() {
        QCOMPARE(DefaultCookieFile(u"/opt/quillmere"_s), u"/opt/quillmere/cookies.txt"_s);
    }

    void aStoreThatCannotBeReadEndsOnlyANamedStart() {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(u"cookies.txt"_s)); // unreadable as a file, even for root
        for (const bool named : {false, true}) {
            NetworkSession session;
            QString errors;
            const StartOptions options{named ? dir.filePath(u"cookies.txt"_s) : QString()};
            FakePlatform platform;
            platform.folder = dir.path();
            const std::optional<int> exit = OpenCookieStore(session, options, platform, errors);
            QCOMPARE(exit.has_value(), named);
            if (named)
                QCOMPARE(*exit, BadUsageExitCode);
            QVERIFY(errors.contains(u"cannot read the cookie file"_s));
            QVERIFY(!session.cookieStore()->isPersistent());
        }
    }

    void badLinesAreCountedOnceAndNoValueIsShown() {
        QTemporaryDir dir;
        const QString path = DefaultCookieFile(dir.path());
        QVERIFY(writeFile(path, "127.0.0.1\tFALSE\t/\tFALSE\t0\tsid\tvalue-never-shown\n"
                                "127.0.0.1\tFALSE\t/\tFALSE\tsoon\tbad\tvalue-never-shown\n"
                                "what is this\n"));
        NetworkSession session;
        FakePlatform platform;
        platform.folder = dir.path();
        QString errors;
        QVERIFY(!OpenCookieStore(session, {}, platform, errors));
        QCOMPARE(errors.count(u'\n'), 1);
        QVERIFY(errors.contains(u"skipped 2 line(s)"_s));
        QVERIFY(!errors.contains(u"value-never-shown"_s));
        QCOMPARE(session.cookieStore()->cookies().size(), 1);

        // A binary file is named, left alone, and the session kept in memory.
        QVERIFY(writeFile(path, "\x7F"
                                "ELF\0\0\0"_ba));
        NetworkSession second;
        errors.clear();
        QVERIFY(!OpenCookieStore(second, {}, platform, errors));
        QVERIFY(errors.contains(u"is not a cookies.txt"_s));
        QVERIFY(!second.cookieStore()->isPersistent());
    }

    void theEndWritesTheLastChange() {
        QTemporaryDir dir;
        NetworkSession session;
        FakePlatform platform;
        platform.folder = dir.path();
        QString errors;
        QVERIFY(!OpenCookieStore(session, {}, platform, errors));
        QNetworkCookie signIn("auth", "value-never-shown");
        signIn.setDomain(u"bbs.example"_s);
        signIn.setPath(u"/"_s);
        session.cookieStore()->addCookies({signIn});
        QVERIFY(!QFile::exists(DefaultCookieFile(dir.path()))); // not yet: the write waits
        platform.endProcess();
        QFile store(DefaultCookieFile(dir.path()));
        QVERIFY(store.open(QIODevice::ReadOnly));
        QVERIFY(store.readAll().contains("\tauth\tvalue-never-shown\n"));
    }

    // The real program: what it prints and the status it leaves with, before any window.
    void theProgramAnswersItsCommandLine_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::newRow("--version")
            << QStringList{u"--version"_s} << 0 << "Quillmere 1.4"_ba + test::LineEnd << ""_ba;
        QTest::newRow("--help") << QStringList{u"--help"_s} << 0 << "--cookies FILE"_ba
                                << ""_ba;
        QTest::newRow("a bad option") << QStringList{u"--bogus"_s} << 2 << ""_ba
                                      << "bogus"_ba;
        QTest::newRow("--cookies without FILE") << QStringList{u"--cookies"_s} << 2 << ""_ba
                                                << "--cookies"_ba;
    }
    void theProgramAnswersItsCommandLine() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        const Run run = runProgram(arguments);
        QCOMPARE(run.exitCode, exitCode);
        if (out.isEmpty())
            QCOMPARE(run.out, QByteArray());
        else
            QVERIFY2(run.out.contains(out), run.out.constData());
        if (err.isEmpty())
            QCOMPARE(run.err, QByteArray());
        else
            QVERIFY2(run.err.contains(err), run.err.constData());
    }

    void theProgramWillNotStartWithACookieFileItCannotRead() {
        QTemporaryDir dir;
        const Run run = runProgram({u"--cookies"_s, dir.path()}); // a folder
        QCOMPARE(run.exitCode, BadUsageExitCode);
        QVERIFY2(run.err.contains("cannot read the cookie file"), run.err.constData());
    }
};

QTEST_GUILESS_MAIN(TestStartUp)
#include "tst_start_up.moc"
