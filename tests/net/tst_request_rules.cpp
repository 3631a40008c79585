#include "support/loopback_server.h"
#include "net/request_rules.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>
#include <memory>

using namespace Qt::StringLiterals;
using namespace quillmere;
using quillmere::test::LoopbackServer;
using quillmere::test::Reply;

class TestRequestRules : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void knowsAWebPage_data() {
        QTest::addColumn<QString>("mediaType");
        QTest::addColumn<bool>("page");
        QTest::newRow("html") << u"text/html"_s << true;
        QTest::newRow("upper case") << u"TEXT/HTML"_s << true;
        QTest::newRow("xhtml") << u"application/xhtml+xml"_s << true;
        QTest::newRow("rar") << u"application/x-rar-compressed"_s << false;
        QTest::newRow("octet stream") << u"application/octet-stream"_s << false;
        QTest::newRow("plain text") << u"text/plain"_s << false;
        QTest::newRow("none") << QString() << false;
    }
    void knowsAWebPage() {
        QFETCH(QString, mediaType);
        QFETCH(bool, page);
        QCOMPARE(IsPageType(mediaType), page);
        QCOMPARE(IsPageType(mediaType.toLatin1()), page); // headers come as bytes
    }

    void readsContentTypeLikeABrowser_data() {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QByteArray>("mediaType");
        QTest::addColumn<QByteArray>("charset"); // "-" for none
        QTest::newRow("plain") << "text/html"_ba
                               << "text/html"_ba
                               << "-"_ba;
        QTest::newRow("charset") << "text/html; charset=gbk"_ba
                                 << "text/html"_ba
                                 << "gbk"_ba;
        QTest::newRow("case and blanks") << " Text/HTML ;CHARSET=GBK "_ba
                                         << "text/html"_ba
                                         << "GBK"_ba;
        QTest::newRow("quoted") << "text/html; charset=\"gb2312\""_ba
                                << "text/html"_ba
                                << "gb2312"_ba;
        QTest::newRow("second of two parameters") << "text/html; q=1; charset=big5"_ba
                                                  << "text/html"_ba
                                                  << "big5"_ba;
        QTest::newRow("no subtype") << "text"_ba
                                    << ""_ba
                                    << "-"_ba;
        QTest::newRow("empty") << ""_ba
                               << ""_ba
                               << "-"_ba;
        QTest::newRow("wildcard is skipped") << "*/*"_ba
                                             << ""_ba
                                             << "-"_ba;
        QTest::newRow("repeated: the last wins")
            << "text/html; charset=gbk, application/octet-stream"_ba
            << "application/octet-stream"_ba
            << "-"_ba;
        QTest::newRow("repeated: same type keeps the charset")
            << "text/html; charset=gbk, text/html"_ba
            << "text/html"_ba
            << "gbk"_ba;
        QTest::newRow("quoted comma") << "text/html; charset=\"a,b\""_ba
                                      << "text/html"_ba
                                      << "a,b"_ba;
    }
    void readsContentTypeLikeABrowser() {
        QFETCH(QByteArray, header);
        QFETCH(QByteArray, mediaType);
        QFETCH(QByteArray, charset);
        const ContentType parsed = ParseContentType(header);
        QCOMPARE(parsed.mediaType, mediaType);
        QCOMPARE(parsed.charset.value_or("-"_ba), charset);
    }

    void followsRedirectsOnlyWithinTheWeb_data() {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("followed");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("http") << u"http://bbs.example/t.html"_s << 0 << true;
        QTest::newRow("https") << u"https://bbs.example/t.html"_s << 0 << true;
        QTest::newRow("the last one allowed")
            << u"http://bbs.example/"_s << MaxRedirects - 1 << true;
        QTest::newRow("one too many") << u"http://bbs.example/"_s << MaxRedirects << false;
        QTest::newRow("file") << u"file:///etc/hostname"_s << 0 << false;
        QTest::newRow("ftp") << u"ftp://bbs.example/a.rar"_s << 0 << false;
        QTest::newRow("no host") << u"http:///a.rar"_s << 0 << false;
        QTest::newRow("javascript") << u"javascript:alert(1)"_s << 0 << false;
    }
    void followsRedirectsOnlyWithinTheWeb() {
        QFETCH(QString, target);
        QFETCH(int, followed);
        QFETCH(bool, allowed);
        QCOMPARE(MayFollowRedirect(QUrl(target), followed), allowed);
    }

    void requestsLookLikeABrowsersOfTheirKind() {
        const QUrl url(u"http://bbs.example/thread-1-1-1.html"_s);
        const QNetworkRequest page = WebRequest(url, RequestKind::Page);
        const QNetworkRequest file = WebRequest(url, RequestKind::File, std::chrono::seconds(5));
        for (const QNetworkRequest &request : {page, file}) {
            QCOMPARE(request.url(), url);
            QVERIFY(request.rawHeader("User-Agent").startsWith("Mozilla/5.0"));
        }
        QCOMPARE(page.transferTimeout(), int(NoDataTimeout.count()));
        QCOMPARE(file.transferTimeout(), 5000);
        // The loader follows redirects itself; Qt follows a file's, asking first.
        QCOMPARE(page.attribute(QNetworkRequest::RedirectPolicyAttribute).toInt(),
                 int(QNetworkRequest::ManualRedirectPolicy));
        QCOMPARE(file.attribute(QNetworkRequest::RedirectPolicyAttribute).toInt(),
                 int(QNetworkRequest::UserVerifiedRedirectPolicy));
        QCOMPARE(file.maximumRedirectsAllowed(), MaxRedirects);
        QVERIFY(page.rawHeader("Accept").startsWith("text/html"));
    }

    void theLengthCountsTheBytesWeKeep_data() {
        QTest::addColumn<QByteArray>("encoding"); // "" for no Content-Encoding header
        QTest::addColumn<qint64>("expected");
        QTest::newRow("plain") << ""_ba << qint64(100);
        QTest::newRow("identity") << "identity"_ba << qint64(100);
        QTest::newRow("none, as forums send it") << "none"_ba << qint64(100);
        QTest::newRow("deflate: Qt inflates it") << "deflate"_ba << qint64(-1);
    }
    void theLengthCountsTheBytesWeKeep() {
        QFETCH(QByteArray, encoding);
        QFETCH(qint64, expected);
        const QByteArray file(100, 'x');
        LoopbackServer server;
        Reply reply{.contentType = "application/octet-stream", .body = file};
        if (!encoding.isEmpty())
            reply.headers = {{"Content-Encoding", encoding}};
        if (encoding == "deflate")
            reply.body = qCompress(file).mid(4); // a zlib stream, as HTTP's deflate is
        server.route(u"/a.rar"_s, reply);

        QNetworkAccessManager network; // a page's request: Qt inflates what it is sent
        std::unique_ptr<QNetworkReply> answer(
            network.get(WebRequest(server.qurl(u"/a.rar"_s), RequestKind::Page)));
        QSignalSpy finished(answer.get(), &QNetworkReply::finished);
        QVERIFY(finished.wait());
        QCOMPARE(answer->readAll(), file);
        QCOMPARE(ExpectedBodyLength(*answer), expected);
    }

    void refersAsABrowserDoes_data() {
        QTest::addColumn<QString>("page");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QByteArray>("referer");
        const QString thread = u"http://bbs.example/thread-7-1-1.html?x=1#post-3"_s;
        QTest::newRow("same origin: the whole page")
            << thread << u"http://bbs.example/attachment.php?aid=1"_s
            << "http://bbs.example/thread-7-1-1.html?x=1"_ba;
        QTest::newRow("another host: its origin")
            << thread << u"http://files.example/a.rar"_s << "http://bbs.example/"_ba;
        QTest::newRow("another port: another origin")
            << u"http://bbs.example:8080/t.html"_s << u"http://bbs.example/a.rar"_s
            << "http://bbs.example:8080/"_ba;
        QTest::newRow("http to https: its origin")
            << thread << u"https://bbs.example/a.rar"_s << "http://bbs.example/"_ba;
        QTest::newRow("https to http: nothing")
            << u"https://bbs.example/t.html"_s << u"http://bbs.example/a.rar"_s << ""_ba;
        QTest::newRow("https within its origin")
            << u"https://bbs.example/t.html"_s << u"https://bbs.example/a.rar"_s
            << "https://bbs.example/t.html"_ba;
        QTest::newRow("credentials never")
            << u"http://me:pw@bbs.example/t.html"_s << u"http://bbs.example/a.rar"_s
            << "http://bbs.example/t.html"_ba;
        QTest::newRow("a saved page: nothing")
            << u"file:///home/me/t.html"_s << u"http://bbs.example/a.rar"_s << ""_ba;
        QTest::newRow("no page: nothing") << QString() << u"http://bbs.example/a.rar"_s << ""_ba;
    }
    void refersAsABrowserDoes() {
        QFETCH(QString, page);
        QFETCH(QString, target);
        QFETCH(QByteArray, referer);
        QCOMPARE(RefererFor(QUrl(page), QUrl(target)), referer);
        const QNetworkRequest request =
            WebRequest(QUrl(target), RequestKind::File, NoDataTimeout, QUrl(page));
        QCOMPARE(request.rawHeader("Referer"), referer);
    }
};

QTEST_GUILESS_MAIN(TestRequestRules)
#include "tst_request_rules.moc"
