// The cookies.txt format. Cookie values are compared with QVERIFY, never QCOMPARE: a
// failure must not print a value, as a real sign-in would be printed the same way.

#include "net/cookie_file.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace quillmere;

namespace {

const QDateTime Now = QDateTime::fromSecsSinceEpoch(1'800'000'000, Qt::UTC);
constexpr qint64 Later = 1'900'000'000;
constexpr qint64 Earlier = 1'700'000'000;

QByteArray line(const QByteArray &domain, const QByteArray &subdomains, const QByteArray &path,
                const QByteArray &secure, qint64 expiry, const QByteArray &name,
                const QByteArray &value) {
    return domain + '\t' + subdomains + '\t' + path + '\t' + secure + '\t' +
           QByteArray::number(expiry) + '\t' + name + '\t' + value + '\n';
}

} // namespace

class TestCookieFile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void readsWhatCurlWrites() {
        const QByteArray file =
            "# Netscape HTTP Cookie File\r\n"
            "# https://curl.se/docs/http-cookies.html\r\n"
            "\r\n" +
            line(".bbs.example", "TRUE", "/", "FALSE", 0, "sid", "s1").replace("\n", "\r\n") +
            "#HttpOnly_" + line("bbs.example", "FALSE", "/forum", "TRUE", Later, "auth", "a%2Fb=c");
        const CookieFileContents read = ParseCookieFile(file, Now);
        QCOMPARE(read.badLines, 0);
        QCOMPARE(read.cookies.size(), 2);

        const QNetworkCookie &session = read.cookies[0];
        QCOMPARE(session.name(), "sid"_ba);
        QVERIFY(session.value() == "s1");
        QCOMPARE(session.domain(), u".bbs.example"_s); // subdomains included
        QCOMPARE(session.path(), u"/"_s);
        QVERIFY(session.isSessionCookie());
        QVERIFY(!session.isSecure() && !session.isHttpOnly());

        const QNetworkCookie &auth = read.cookies[1];
        QVERIFY(auth.value() == "a%2Fb=c");        // "=" inside a value is part of it
        QCOMPARE(auth.domain(), u"bbs.example"_s); // this host only
        QCOMPARE(auth.path(), u"/forum"_s);
        QVERIFY(auth.isSecure() && auth.isHttpOnly());
        QCOMPARE(auth.expirationDate().toSecsSinceEpoch(), Later);
    }

    void theFlagDecidesSubdomainsNotTheDot() {
        // curl drops a leading dot and goes by the second field alone.
        const CookieFileContents read =
            ParseCookieFile(line(".one.example", "FALSE", "/", "FALSE", 0, "a", "1") +
                                line("two.example", "TRUE", "/", "FALSE", 0, "b", "2") +
                                line("Three.Example", "true", "/", "false", 0, "c", "3"),
                            Now);
        QCOMPARE(read.badLines, 0);
        QCOMPARE(read.cookies.size(), 3);
        QCOMPARE(read.cookies[0].domain(), u"one.example"_s);
        QCOMPARE(read.cookies[1].domain(), u".two.example"_s);
        QCOMPARE(read.cookies[2].domain(), u".three.example"_s);
    }

    void skipsAndCountsBadLines_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("six fields") << "bbs.example\tFALSE\t/\tFALSE\t0\tname\n"_ba;
        QTest::newRow("eight fields") << "bbs.example\tFALSE\t/\tFALSE\t0\tn\tv\textra\n"_ba;
        QTest::newRow("blanks instead of tabs") << "bbs.example FALSE / FALSE 0 n v\n"_ba;
        QTest::newRow("bad flag") << line("bbs.example", "YES", "/", "FALSE", 0, "n", "v");
        QTest::newRow("bad secure flag") << line("bbs.example", "FALSE", "/", "1", 0, "n", "v");
        QTest::newRow("expiry not a number") << "bbs.example\tFALSE\t/\tFALSE\tsoon\tn\tv\n"_ba;
        QTest::newRow("negative expiry")
            << line("bbs.example", "FALSE", "/", "FALSE", -5, "n", "v");
        QTest::newRow("expiry too large")
            << "bbs.example\tFALSE\t/\tFALSE\t99999999999999999999999\tn\tv\n"_ba;
        QTest::newRow("path without slash")
            << line("bbs.example", "FALSE", "x", "FALSE", 0, "n", "v");
        QTest::newRow("no domain") << line("", "FALSE", "/", "FALSE", 0, "n", "v");
        QTest::newRow("only a dot") << line(".", "TRUE", "/", "FALSE", 0, "n", "v");
        QTest::newRow("no name") << line("bbs.example", "FALSE", "/", "FALSE", 0, "", "v");
        QTest::newRow("invalid UTF-8")
            << line("bbs.example", "FALSE", "/", "FALSE", 0, "n", "\xC3\x28");
        QTest::newRow("control character")
            << line("bbs.example", "FALSE", "/", "FALSE", 0, "n", "a\x01z");
        QTest::newRow("carriage return inside")
            << line("bbs.example", "FALSE", "/", "FALSE", 0, "n", "a\rz");
    }
    void skipsAndCountsBadLines() {
        QFETCH(QByteArray, text);
        const QByteArray good = line("good.example", "FALSE", "/", "FALSE", 0, "ok", "1");
        const CookieFileContents read = ParseCookieFile(good + text + text + good, Now);
        QCOMPARE(read.badLines, 2);
        QCOMPARE(read.cookies.size(), 2); // the good lines around them still count
    }

    void leavesOutExpiredCookies() {
        const CookieFileContents read =
            ParseCookieFile(line("bbs.example", "FALSE", "/", "FALSE", Earlier, "old", "1") +
                                line("bbs.example", "FALSE", "/", "FALSE", Later, "new", "2"),
                            Now);
        QCOMPARE(read.badLines, 0); // expired is not bad
        QCOMPARE(read.cookies.size(), 1);
        QCOMPARE(read.cookies[0].name(), "new"_ba);
    }

    void aLastLineWithoutNewlineCounts() {
        QByteArray text = line("bbs.example", "FALSE", "/", "FALSE", 0, "n", "v");
        text.chop(1);
        QCOMPARE(ParseCookieFile(text, Now).cookies.size(), 1);
    }

    void writesWhatItReadsBack() {
        QList<QNetworkCookie> cookies;
        QNetworkCookie session("sid", "s1");
        session.setDomain(u".bbs.example"_s);
        session.setPath(u"/"_s);
        QNetworkCookie auth("auth", "x%2By");
        auth.setDomain(u"bbs.example"_s);
        auth.setPath(u"/forum"_s);
        auth.setSecure(true);
        auth.setHttpOnly(true);
        auth.setExpirationDate(QDateTime::fromSecsSinceEpoch(Later, Qt::UTC));
        QNetworkCookie gone("gone", "1");
        gone.setDomain(u"bbs.example"_s);
        gone.setPath(u"/"_s);
        gone.setExpirationDate(QDateTime::fromSecsSinceEpoch(Earlier, Qt::UTC));
        QNetworkCookie noPath("nopath", "2");
        noPath.setDomain(u"bbs.example"_s);
        cookies << session << auth << gone << noPath;

        const QByteArray file = FormatCookieFile(cookies, Now);
        QVERIFY(file.startsWith("# Netscape HTTP Cookie File\n"));
        // Session cookies stay, with expiry 0, as curl -c writes them.
        QVERIFY(file.contains(".bbs.example\tTRUE\t/\tFALSE\t0\tsid\t"));
        QVERIFY(file.contains("#HttpOnly_bbs.example\tFALSE\t/forum\tTRUE\t1900000000\tauth\t"));
        QVERIFY(file.contains("bbs.example\tFALSE\t/\tFALSE\t0\tnopath\t"));
        QVERIFY(!file.contains("gone"));

        const CookieFileContents read = ParseCookieFile(file, Now);
        QCOMPARE(read.badLines, 0);
        QCOMPARE(read.cookies.size(), 3);
        for (const QNetworkCookie &original : {session, auth}) {
            const auto found = std::find_if(
                read.cookies.cbegin(), read.cookies.cend(),
                [&](const QNetworkCookie &c) { return c.hasSameIdentifier(original); });
            QVERIFY(found != read.cookies.cend());
            QVERIFY(found->value() == original.value());
            QCOMPARE(found->isHttpOnly(), original.isHttpOnly());
            QCOMPARE(found->isSecure(), original.isSecure());
            QCOMPARE(found->isSessionCookie(), original.isSessionCookie());
        }
        // The same session always gives the same file.
        std::reverse(cookies.begin(), cookies.end());
        QCOMPARE(FormatCookieFile(cookies, Now), file);
    }

    void tellsACookieFileFromOtherFiles() {
        QVERIFY(LooksLikeCookieFile(line("bbs.example", "FALSE", "/", "FALSE", 0, "n", "v")));
        QVERIFY(LooksLikeCookieFile(QByteArray()));
        QVERIFY(!LooksLikeCookieFile("SQLite format 3\0\x10\0"_ba));
        QVERIFY(!LooksLikeCookieFile(QByteArray(MaxCookieFileBytes + 1, '#')));
    }
};

QTEST_GUILESS_MAIN(TestCookieFile)
#include "tst_cookie_file.moc"
