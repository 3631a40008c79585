#include "net/network_session.h"
#include "support/encoded.h"
#include "support/loopback_server.h"
#include "support/raw_http_server.h"
#include "web/page_loader.h"

#include <QMap>
#include <QNetworkCookie>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using quillmere::HtmlElement;
using quillmere::NetworkError;
using quillmere::NetworkSession;
using quillmere::PageLoader;
using quillmere::test::LoopbackServer;
using quillmere::test::RawConnection;
using quillmere::test::RawHttpServer;
using quillmere::test::Reply;

namespace {

const QByteArray ThreadPage =
    "<html><head><title>t</title></head><body>"
    "<a href='/attach/1'>one.rar</a><a href='/attach/2'>two.RAR</a></body></html>";

QStringList anchorTexts(const PageLoader &loader) {
    QStringList texts;
    for (const HtmlElement *e : loader.Document()->all()) {
        if (e->tagName() == u"A")
            texts << e->innerText();
    }
    return texts;
}

// Saves a page into `dir` and gives its file: address.
QString savedPage(const QTemporaryDir &dir, const QString &name, const QByteArray &html) {
    QFile page(dir.filePath(name));
    if (!page.open(QIODevice::WriteOnly) || page.write(html) != html.size())
        return {};
    return QUrl::fromLocalFile(page.fileName()).toString();
}

// Records both events in arrival order.
struct Events {
    explicit Events(PageLoader &loader)
        : complete(&loader, &PageLoader::DocumentComplete)
        , error(&loader, &PageLoader::NavigateError) {}
    bool waitForAny(int ms = 5000) {
        return QTest::qWaitFor([&] { return complete.count() + error.count() > 0; }, ms);
    }
    QString completedUrl() const {
        return complete.isEmpty() ? QString() : complete[0][0].toString();
    }
    QString failedUrl() const { return error.isEmpty() ? QString() : error[0][0].toString(); }
    QSignalSpy complete;
    QSignalSpy error;
};

} // namespace

class TestPageLoader : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        m_server = std::make_unique<LoopbackServer>();
        m_network = std::make_unique<NetworkSession>();
        m_server->route(u"/thread.html"_s, Reply{.body = ThreadPage});
    }
    void cleanup() {
        m_server.reset();
        m_network.reset();
    }

    void startsWithAFailingInitialAddress() {
        PageLoader loader(m_network.get());
        Events events(loader);
        QCOMPARE(events.error.count(), 0); // never from inside the constructor
        QVERIFY(events.waitForAny());
        QCOMPARE(events.failedUrl(), u"http:///"_s);
        QCOMPARE(events.complete.count(), 0);
    }

    void completesWithTheAddressAsGiven() {
        PageLoader loader(m_network.get());
        Events events(loader);
        QVERIFY(events.waitForAny()); // the initial failure
        events.error.clear();

        const QString address = m_server->url(u"/thread.html"_s);
        loader.Navigate(address);
        QCOMPARE(events.complete.count(), 0);
        QVERIFY(events.complete.wait());
        QCOMPARE(events.completedUrl(), address);
        QCOMPARE(events.error.count(), 0);
        QCOMPARE(anchorTexts(loader), (QStringList{u"one.rar"_s, u"two.RAR"_s}));
        QCOMPARE(loader.Document()->all()[0]->tagName(), u"HTML"_s);
        QVERIFY(settled({u"/thread.html"_s}));
        QCOMPARE(events.complete.count(), 1); // exactly one completion
    }

    void aboutBlankIsAnEmptyDocument() {
        m_server->route(u"/slow.html"_s, Reply{.body = ThreadPage, .delayMs = 300});
        PageLoader loader(m_network.get());
        loader.Navigate(m_server->url(u"/slow.html"_s));
        QVERIFY(seen(u"/slow.html"_s)); // its answer is on the way
        Events events(loader);
        loader.Navigate2(u"about:blank"_s);
        QCOMPARE(events.complete.count(), 0);
        QVERIFY(events.complete.wait());
        QCOMPARE(events.completedUrl(), u"about:blank"_s);
        QVERIFY(loader.Document()->body());
        QCOMPARE(loader.Document()->body()->innerhtml(), QString());
        QVERIFY(settled({u"/slow.html"_s}));
        QCOMPARE(events.complete.count(), 1); // the abandoned thread page never completes
        QCOMPARE(events.error.count(), 0);
    }

    void stopAndRenavigateAbandonTheLoad() {
        m_server->route(u"/slow.html"_s, Reply{.body = ThreadPage, .delayMs = 300});
        PageLoader loader(m_network.get());
        Events events(loader);
        loader.Navigate(m_server->url(u"/slow.html"_s));
        QVERIFY(seen(u"/slow.html"_s));
        loader.Stop();
        QVERIFY(settled({u"/slow.html"_s}));
        QCOMPARE(events.complete.count() + events.error.count(), 0);

        loader.Navigate(m_server->url(u"/slow.html?first"_s));
        QVERIFY(seen(u"/slow.html?first"_s));
        loader.Navigate(m_server->url(u"/thread.html"_s));
        QVERIFY(events.complete.wait());
        QVERIFY(settled({u"/slow.html?first"_s}));
        QCOMPARE(events.complete.count(), 1);
        QCOMPARE(events.completedUrl(), m_server->url(u"/thread.html"_s));
        QCOMPARE(events.error.count(), 0);
    }

    void addressesWithoutSchemeAreCompleted() {
        PageLoader loader(m_network.get());
        Events events(loader);
        QVERIFY(events.waitForAny());
        events.error.clear();
        const QString typed = m_server->url(u"/thread.html"_s).mid(u"http://"_s.size());
        loader.Navigate(typed);
        QVERIFY(events.complete.wait());
        QCOMPARE(events.completedUrl(), u"http://"_s + typed);
    }

    void failures_data() {
        QTest::addColumn<QString>("path"); // under /raw/, the raw server's
        QTest::addColumn<NetworkError>("kind");
        QTest::addColumn<std::chrono::milliseconds>("stallTimeout");
        QTest::addColumn<std::chrono::milliseconds>("loadTimeLimit");
        // A limit a row is not about is out of its reach: what ends the load must be the
        // row's own fault, not a time limit that happens to come first.
        constexpr std::chrono::milliseconds far = 1min;
        QTest::newRow("404") << u"/missing.html"_s << NetworkError::HttpStatus << far << far;
        QTest::newRow("500") << u"/error.html"_s << NetworkError::HttpStatus << far << far;
        QTest::newRow("redirect loop")
            << u"/loop"_s << NetworkError::TooManyRedirects << far << far;
        QTest::newRow("redirect to file")
            << u"/to-file"_s << NetworkError::TooManyRedirects << far << far;
        QTest::newRow("reset mid-body") << u"/reset.html"_s << NetworkError::CutShort << far << far;
        QTest::newRow("stall") << u"/stall.html"_s << NetworkError::TimedOut << 500ms << far;
        QTest::newRow("over 64 MiB, chunked without end")
            << u"/huge.html"_s << NetworkError::TooLarge << far << far;
        QTest::newRow("trickling for ever")
            << u"/trickle.html"_s << NetworkError::TimedOut << far << 1500ms;
        QTest::newRow("announced over 64 MiB")
            << u"/announced-huge.html"_s << NetworkError::TooLarge << far << far;
        QTest::newRow("garbled chunk size after 30,000 bytes")
            << u"/raw/garbled-chunk"_s << NetworkError::GarbledFraming << far << far;
        QTest::newRow("closed inside a chunk")
            << u"/raw/close-inside-chunk"_s << NetworkError::CutShort << far << far;
        QTest::newRow("header without end")
            << u"/raw/endless-header"_s << NetworkError::HeaderTooLarge << far << far;
    }

    void failures() {
        QFETCH(QString, path);
        QFETCH(NetworkError, kind);
        QFETCH(std::chrono::milliseconds, stallTimeout);
        QFETCH(std::chrono::milliseconds, loadTimeLimit);
        m_server->route(u"/error.html"_s, Reply{.status = 500, .body = ThreadPage});
        m_server->redirect(u"/loop"_s, u"/loop"_s);
        m_server->redirect(u"/to-file"_s, u"file:///etc/hostname"_s);
        m_server->route(u"/reset.html"_s,
                        Reply{.body = ThreadPage.repeated(100), .delayMs = 20, .closeAfter = 50});
        m_server->route(u"/stall.html"_s,
                        Reply{.body = ThreadPage, .delayMs = 20, .stallAfter = 10});
        const qint64 huge = PageLoader::MaxPageBytes + 1024 * 1024;
        // 64 GiB: only a loader that stops reading at its limit gets through this.
        m_server->route(u"/huge.html"_s,
                        Reply{.generator = [](std::int64_t, char *data,
                                              std::size_t n) { std::fill_n(data, n, 'x'); },
                              .size = qint64(64) * 1024 * 1024 * 1024,
                              .chunked = true});
        // A byte every 20 ms: never silent long enough for the no-data limit.
        m_server->route(u"/trickle.html"_s,
                        Reply{.generator =
                                  [](std::int64_t, char *data, std::size_t n) {
                                      std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                      std::fill_n(data, n, ' ');
                                  },
                              .size = 100'000,
                              .chunked = true,
                              .chunkSize = 1});
        m_server->route(u"/announced-huge.html"_s,
                        Reply{.body = ThreadPage, .declaredLength = huge});
        const QMap<QByteArray, RawHttpServer::Script> scripts{
            {"/raw/garbled-chunk", quillmere::test::GarbledChunkAfter(30'000)},
            {"/raw/close-inside-chunk", quillmere::test::CloseInsideChunk(30'000)},
            {"/raw/endless-header", quillmere::test::EndlessHeader()},
        };
        RawHttpServer raw([&scripts](RawConnection &connection) {
            const auto script = scripts.constFind(connection.request().split(' ').value(1));
            if (script != scripts.cend())
                (*script)(connection);
        });

        PageLoader loader(m_network.get());
        loader.setStallTimeout(stallTimeout);
        loader.setLoadTimeLimit(loadTimeLimit);
        Events events(loader);
        const QString address = path.startsWith(u"/raw/"_s) ? raw.url(path) : m_server->url(path);
        loader.Navigate(address);
        QVERIFY(events.error.wait(10'000));
        QCOMPARE(events.failedUrl(), address);
        QCOMPARE(events.complete.count(), 0);
        QVERIFY(loader.Document()->all().empty());
        const quillmere::NetworkFailure &failure = loader.lastFailure();
        QVERIFY2(failure.kind == kind,
                 qPrintable(u"kind %1 rather than %2: %3"_s.arg(int(failure.kind))
                                .arg(int(kind))
                                .arg(failure.reason)));
    }

    void unsupportedSchemesFail_data() {
        QTest::addColumn<QString>("address");
        QTest::newRow("ftp") << u"ftp://127.0.0.1/a.html"_s;
        QTest::newRow("javascript") << u"javascript:alert(1)"_s;
        QTest::newRow("missing file") << u"file:///no/such/page.html"_s;
        QTest::newRow("refused") << u"http://127.0.0.1:1/thread.html"_s;
    }

    void unsupportedSchemesFail() {
        QFETCH(QString, address);
        PageLoader loader(m_network.get());
        Events events(loader);
        QVERIFY(events.waitForAny());
        events.error.clear();
        loader.Navigate(address);
        QCOMPARE(events.error.count(), 0);
        QVERIFY(events.error.wait());
        QCOMPARE(events.failedUrl(), address);
    }

    void redirectsReportTheFinalAddress() {
        m_server->redirect(u"/r1"_s, u"/r2"_s, 301);
        m_server->redirect(u"/r2"_s, m_server->url(u"/r3"_s), 302);
        m_server->redirect(u"/r3"_s, u"thread.html"_s, 307);
        PageLoader loader(m_network.get());
        Events events(loader);
        loader.Navigate(m_server->url(u"/r1"_s));
        QVERIFY(events.complete.wait());
        QCOMPARE(events.completedUrl(), m_server->url(u"/thread.html"_s));
        QCOMPARE(anchorTexts(loader).size(), 2);
    }

    void fileEventsNeverComeFromInsideNavigate() {
        // A missing or tiny file is read so fast that the answer can be ready before the
        // loader has finished starting the load; it must still arrive as an event.
        QTemporaryDir dir;
        const QString saved = savedPage(dir, u"t.html"_s, ThreadPage);
        QVERIFY(!saved.isEmpty());

        PageLoader loader(m_network.get());
        Events events(loader);
        QVERIFY(events.waitForAny());
        for (int i = 0; i < 40; ++i) {
            events.error.clear();
            events.complete.clear();
            const bool missing = i % 2 == 0;
            loader.Navigate(missing ? u"file:///no/such/page.html"_s : saved);
            QCOMPARE(events.error.count() + events.complete.count(), 0);
            QVERIFY(events.waitForAny());
            QCOMPARE(events.error.count(), missing ? 1 : 0);
        }
    }

    void aLoaderMayGoWhileItsPageIsParsed() {
        // The window may close while a big page is still being read and parsed.
        QTemporaryDir dir;
        const QString big = savedPage(dir, u"big.html"_s, ThreadPage.repeated(20'000));
        QVERIFY(!big.isEmpty());
        int parsing = 0;
        {
            PageLoader loader(m_network.get());
            loader.Navigate(big);
            parsing = QThreadPool::globalInstance()->activeThreadCount();
        }
        QVERIFY(parsing > 0); // the loader really went while its page was being read
        // The work finishes into a loader that is gone: nothing may reach it, nor crash.
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }

    void savedPagesOpenFromDisk() {
        QTemporaryDir dir;
        const QString address = savedPage(dir, u"saved thread.html"_s, ThreadPage);
        QVERIFY(!address.isEmpty());

        PageLoader loader(m_network.get());
        Events events(loader);
        QVERIFY(events.waitForAny());
        loader.Navigate(address);
        QVERIFY(events.complete.wait());
        QCOMPARE(events.completedUrl(), address);
        QCOMPARE(anchorTexts(loader), (QStringList{u"one.rar"_s, u"two.RAR"_s}));
    }

    void pagesAreDecodedLikeABrowser() {
        const QString text = u"附件：资料.rar"_s;
        const auto gbk = [](QStringView s) {
            return quillmere::test::Encoded("GB18030", s);
        };
        const QByteArray undeclared = "<body><a href=x>" + gbk(text) + "</a>";
        m_server->route(u"/gbk.html"_s, Reply{.contentType = "text/html", .body = undeclared});
        m_server->route(u"/plain.txt"_s, Reply{.contentType = "text/plain", .body = ThreadPage});

        PageLoader loader(m_network.get());
        Events events(loader);
        loader.Navigate(m_server->url(u"/gbk.html"_s));
        QVERIFY(events.complete.wait());
        QCOMPARE(anchorTexts(loader), QStringList{text});

        loader.Navigate(m_server->url(u"/plain.txt"_s));
        QVERIFY(events.complete.wait());
        QVERIFY(loader.Document()->all().empty()); // not HTML: nothing to walk

        // A declared GBK page is decoded as it trickles in, its characters cut between
        // pieces; one the quick way does not know (a four-byte GB18030 character) hands the
        // page over to the converter, which must see it whole.
        QStringList texts;
        QByteArray trickled = "<body>";
        for (int i = 0; i < 300; ++i) {
            texts << u"第%1楼：附件资料.rar"_s.arg(i);
            trickled += "<a href=x>" + gbk(texts.back()) + "</a>\n";
        }
        m_server->route(u"/gbk-trickled.html"_s, Reply{.contentType = "text/html; charset=gbk",
                                                       .body = trickled,
                                                       .chunked = true,
                                                       .chunkSize = 7});
        loader.Navigate(m_server->url(u"/gbk-trickled.html"_s));
        QVERIFY(events.complete.wait());
        QCOMPARE(anchorTexts(loader), texts);

        texts << u"\U00020000资料.rar"_s; // a four-byte character
        trickled += "<a href=x>" + gbk(texts.back()) + "</a>";
        m_server->route(u"/trickled.html"_s, Reply{.contentType = "text/html; charset=gbk",
                                                   .body = trickled,
                                                   .chunked = true,
                                                   .chunkSize = 7});
        loader.Navigate(m_server->url(u"/trickled.html"_s));
        QVERIFY(events.complete.wait());
        QCOMPARE(anchorTexts(loader), texts);
    }

    void sharesTheSessionsCookiesAndAgent() {
        m_server->route(u"/login.html"_s,
                        Reply{.headers = {{"Set-Cookie", "sid=42; Path=/"}}, .body = ThreadPage});
        PageLoader loader(m_network.get());
        Events events(loader);
        loader.Navigate(m_server->url(u"/login.html"_s));
        QVERIFY(events.complete.wait());
        loader.Navigate(m_server->url(u"/thread.html"_s));
        QVERIFY(events.complete.wait());

        const auto requests = m_server->requests();
        QVERIFY(!requests.isEmpty());
        QCOMPARE(requests.last().header("Cookie"), QByteArray("sid=42"));
        QVERIFY(requests.last().header("User-Agent").startsWith("Mozilla/5.0"));
        const QList<QNetworkCookie> cookies = m_network->cookies();
        QCOMPARE(cookies.size(), 1);
        QCOMPARE(cookies[0].name(), QByteArray("sid"));
        QCOMPARE(cookies[0].domain(), m_server->qurl(u"/"_s).host());
    }

    void badCertificatesAreNavigationErrors() {
        LoopbackServer tls(LoopbackServer::Tls::SelfSigned);
        tls.route(u"/thread.html"_s, Reply{.body = ThreadPage});
        PageLoader loader(m_network.get());
        Events events(loader);
        QVERIFY(events.waitForAny());
        events.error.clear();
        loader.Navigate(tls.url(u"/thread.html"_s));
        QVERIFY(events.error.wait());
        QCOMPARE(events.failedUrl(), tls.url(u"/thread.html"_s));
        QCOMPARE(events.complete.count(), 0);
        QCOMPARE(loader.lastFailure().kind, NetworkError::Certificate);
    }

private:
    bool seen(const QString &target) const {
        return QTest::qWaitFor([&] { return m_server->hits(target) > 0; }, 10'000);
    }

    // Waits until the server is done with `targets`, then loads one more page with a loader
    // of its own. That page is asked for only after their answers left, so anything an
    // abandoned load could still report would have arrived before it completes.
    bool settled(const QStringList &targets) {
        for (const QString &target : targets) {
            if (!QTest::qWaitFor([&] { return m_server->answered(target) > 0; }, 10'000))
                return false;
        }
        PageLoader marker(m_network.get());
        QSignalSpy done(&marker, &PageLoader::DocumentComplete);
        marker.Navigate(m_server->url(u"/thread.html?settled"_s));
        return QTest::qWaitFor(
            [&] {
                return !done.isEmpty() &&
                       done.constLast().constFirst() == m_server->url(u"/thread.html?settled"_s);
            },
            10'000);
    }

    std::unique_ptr<LoopbackServer> m_server;
    std::unique_ptr<NetworkSession> m_network;
};

QTEST_GUILESS_MAIN(TestPageLoader)
#include "tst_page_loader.moc"
