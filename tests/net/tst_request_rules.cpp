#include "net/http_reply.h"
#include "net/network_session.h"
#include "net/request_rules.h"
#include "support/loopback_server.h"

#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTest>
#include <memory>

using namespace Qt::StringLiterals;
using namespace quillmere;
using quillmere::test::LoopbackServer;
using quillmere::test::Reply;

namespace {

// The named header of a request as the session will send it; empty if absent.
QByteArray headerOf(const HttpRequest &request, QByteArrayView name) {
    for (const auto &[key, value] : request.headers) {
        if (QByteArrayView(key).compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

// The request's whole exchange with the loopback server.
std::unique_ptr<HttpReply> fetch(NetworkSession &session, const HttpRequest &request) {
    std::unique_ptr<HttpReply> reply = session.get(request);
    QSignalSpy finished(reply.get(), &HttpReply::finished);
    if (!reply->isFinished())
        finished.wait();
    return reply;
}

} // namespace

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
        LoopbackServer server;
        server.route(u"/thread-1-1-1.html"_s, Reply{.body = "<p>"});
        server.route(u"/a.rar"_s, Reply{.contentType = "application/octet-stream", .body = "R"});
        const QUrl pageUrl = server.qurl(u"/thread-1-1-1.html"_s);
        const QUrl fileUrl = server.qurl(u"/a.rar"_s);
        const HttpRequest page = WebRequest(pageUrl, RequestKind::Page);
        const HttpRequest file =
            WebRequest(fileUrl, RequestKind::File, std::chrono::seconds(5), pageUrl);
        QCOMPARE(page.url, pageUrl);
        QCOMPARE(page.kind, RequestKind::Page);
        QCOMPARE(file.kind, RequestKind::File);
        QCOMPARE(page.noDataTimeout, NoDataTimeout);
        QCOMPARE(file.noDataTimeout, std::chrono::milliseconds(5000));
        // A page has a size it may not pass; a file is as large as it is.
        QCOMPARE(page.maxBodyBytes, MaxPageBytes);
        QCOMPARE(file.maxBodyBytes, qint64(-1));

        // What the server sees is what a browser sends, nothing of libcurl's own.
        NetworkSession session;
        for (const HttpRequest &request : {page, file}) {
            QVERIFY(!fetch(session, request)->result());
            const quillmere::test::Request seen = server.requests().constLast();
            for (const auto &[name, value] : request.headers)
                QCOMPARE(seen.header(name), value);
            QVERIFY(seen.header("User-Agent").startsWith("Mozilla/5.0"));
            QVERIFY(!seen.header("Accept-Encoding").isEmpty());
        }
        const QList<quillmere::test::Request> seen = server.requests();
        QVERIFY(seen[0].header("Accept").startsWith("text/html"));
        QCOMPARE(seen[0].header("Referer"), QByteArray());
        QCOMPARE(seen[1].header("Accept"), "*/*"_ba);
        QCOMPARE(seen[1].header("Referer"), pageUrl.toEncoded());
    }

    // A proxy set on the session carries every request, whatever no_proxy says: the
    // session has chosen already, and libcurl must not choose again.
    void aSessionsProxyCarriesEveryRequest() {
        LoopbackServer proxy;
        const QString target = u"http://127.0.0.1:9/thread.html"_s;
        proxy.route(target, Reply{.body = "<p>"});
        const QByteArray noProxy = qgetenv("no_proxy");
        qputenv("no_proxy", "127.0.0.1,localhost");
        NetworkSession session;
        session.setProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, u"127.0.0.1"_s, quint16(proxy.port())));
        const std::unique_ptr<HttpReply> answer =
            fetch(session, WebRequest(QUrl(target), RequestKind::Page));
        qputenv("no_proxy", noProxy);
        QVERIFY2(!answer->result(), qPrintable(answer->result().reason));
        QCOMPARE(answer->readAll(), "<p>"_ba);
        QCOMPARE(proxy.hits(target), 1);
    }

    void theLengthCountsTheBytesWeKeep_data() {
        QTest::addColumn<QByteArray>("encoding"); // "" for no Content-Encoding header
        QTest::addColumn<qint64>("expected");
        QTest::newRow("plain") << ""_ba << qint64(100);
        QTest::newRow("identity") << "identity"_ba << qint64(100);
        QTest::newRow("none, as forums send it") << "none"_ba << qint64(100);
        QTest::newRow("deflate: the session inflates it") << "deflate"_ba << qint64(-1);
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

        NetworkSession session;
        const std::unique_ptr<HttpReply> answer =
            fetch(session, WebRequest(server.qurl(u"/a.rar"_s), RequestKind::File));
        QVERIFY(answer->isFinished() && !answer->result());
        QCOMPARE(answer->readAll(), file);
        QCOMPARE(ExpectedBodyLength(answer->header("Content-Length"),
                                    answer->header("Content-Encoding")),
                 expected);
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
        const HttpRequest request =
            WebRequest(QUrl(target), RequestKind::File, NoDataTimeout, QUrl(page));
        QCOMPARE(headerOf(request, "Referer"), referer);
    }
};

QTEST_GUILESS_MAIN(TestRequestRules)
#include "tst_request_rules.moc"
