// Loads a generated 20,000-post thread page from a loopback server and walks its
// elements as the analysis does, measuring time, throughput, memory and how long the
// UI event loop ever stalls while it happens.

#include "bench_support.h"
#include "support/loopback_server.h"
#include "thread_page.h"
#include "web/network_session.h"
#include "web/page_loader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <cstdio>

using namespace quillmere;

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const int posts = argc > 1 ? QByteArray(argv[1]).toInt() : 20'000;

    const QByteArray page = bench::threadPage(posts);
    test::LoopbackServer server;
    server.route(QStringLiteral("/thread.html"),
                 test::Reply{.contentType = "text/html; charset=gbk", .body = page});

    NetworkSession network;
    PageLoader loader(&network);
    QSignalSpy complete(&loader, &PageLoader::DocumentComplete);
    // Warm up the connection and the parser once, as a running program would be.
    loader.Navigate(server.url(QStringLiteral("/thread.html")));
    complete.wait(30'000);
    complete.clear();

    bench::EventLoopGapMeter gaps(5);
    QElapsedTimer clock;
    gaps.start();
    clock.start();
    loader.Navigate(server.url(QStringLiteral("/thread.html")));
    if (!complete.wait(30'000)) {
        std::fprintf(stderr, "the page did not load\n");
        return 1;
    }
    const double loadMs = double(clock.nsecsElapsed()) / 1e6;
    gaps.stop();

    QElapsedTimer walkClock;
    walkClock.start();
    qsizetype anchors = 0, rar = 0, hrefChars = 0;
    for (const HtmlElement *e : loader.Document()->all()) {
        if (e->tagName().toUpper() != u"A")
            continue;
        ++anchors;
        if (e->innerText().endsWith(u".rar"))
            ++rar;
        hrefChars += e->href().size();
    }
    const double walkMs = double(walkClock.nsecsElapsed()) / 1e6;
    const double totalMs = loadMs + walkMs;

    std::printf("page loader: %d posts, %.2f MB, %zu elements, %lld anchors (%lld .rar)\n", posts,
                double(page.size()) / 1e6, loader.Document()->all().size(),
                static_cast<long long>(anchors), static_cast<long long>(rar));
    std::printf("  navigate -> DocumentComplete  %8.1f ms  (%.1f MB/s)\n", loadMs,
                double(page.size()) / 1e6 / (loadMs / 1e3));
    std::printf("  walk of all (tagName, innerText, href)  %8.1f ms\n", walkMs);
    std::printf("  total                          %8.1f ms  (target < 600 ms)\n", totalMs);
    std::printf("  longest UI event-loop gap      %8.1f ms  (target < 50 ms)\n", gaps.longestMs());
    std::printf("  peak RSS                       %8.1f MiB\n", double(bench::peakRssKiB()) / 1024);
    bench::figure("page load: navigate to DocumentComplete + walk (20,000 posts)", "< 600 ms",
                  bench::ms(totalMs));
    bench::figure("page load: longest UI event-loop gap", "< 50 ms", bench::ms(gaps.longestMs()));
    bench::figure("page load: throughput", "-",
                  QString::number(double(page.size()) / 1e6 / (loadMs / 1e3), 'f', 1) +
                      QStringLiteral(" MB/s"));
    bench::figure("page load: peak RSS", "-",
                  QString::number(double(bench::peakRssKiB()) / 1024, 'f', 1) +
                      QStringLiteral(" MiB"));
    return hrefChars > 0 ? 0 : 1;
}
