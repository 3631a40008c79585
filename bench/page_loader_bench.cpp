// A generated 20,000-post GBK thread page, served from a loopback server: the whole
// analysis (navigate to DocumentComplete, then the walk that finds the attachments) beside
// the HTML parser alone on the same page (gumbo over its bytes, decoded to UTF-8 once
// beforehand, nothing built on top) and the document alone (parser and our tree on those
// bytes, no network, no decoding). The three run interleaved, 5 rounds; every analysis is
// checked to find every attachment. Prints medians with min and max, the process's peak
// memory during the analysis (the loopback server and its copy of the page included), and
// how long the UI event loop ever stalls.
//   quillmere_page_loader_bench [POSTS [ROUNDS]]   (20,000 posts, 5 rounds unless given)

#include "analysis/attachment_discovery.h"
#include "bench_support.h"
#include "net/network_session.h"
#include "support/loopback_server.h"
#include "thread_page.h"
#include "web/page_loader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QStringDecoder>
#include <algorithm>
#include <cstdio>
#include <gumbo.h>
#include <vector>

using namespace quillmere;

namespace {

constexpr int DefaultRounds = 5;

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const int posts = argc > 1 ? QByteArray(argv[1]).toInt() : 20'000;
    const int attachments = (posts + 1) / 2;
    const int rounds = argc > 2 ? std::max(1, QByteArray(argv[2]).toInt()) : DefaultRounds;

    const QByteArray page = bench::threadPage(posts);
    QStringDecoder gbk("GB18030");
    const QByteArray utf8 = QString(gbk(page)).toUtf8();
    test::LoopbackServer server;
    server.route(QStringLiteral("/thread.html"),
                 test::Reply{.contentType = "text/html; charset=gbk", .body = page});

    const double startMiB = double(bench::currentRssKiB()) / 1024;
    NetworkSession network;
    PageLoader loader(&network);
    QSignalSpy complete(&loader, &PageLoader::DocumentComplete);
    // The first analysis of a fresh process, as a user's first click: its peak memory is
    // the figure (later rounds reuse what the allocator kept, and the parser-alone rounds
    // leave their own behind). It also warms up the connection and the parser.
    loader.Navigate(server.url(QStringLiteral("/thread.html")));
    complete.wait(30'000);
    const bool firstFound = DiscoverAttachments(*loader.Document()).size() == attachments;
    const double peakMiB = double(bench::peakRssKiB()) / 1024;
    loader.Navigate(QStringLiteral("about:blank"));
    complete.wait(30'000);

    std::vector<double> analysisMs, parserMs, documentMs;
    double longestGapMs = 0;
    bool allFound = firstFound;
    for (int round = 0; round < rounds; ++round) {
        // The whole analysis.
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
        const qsizetype found = DiscoverAttachments(*loader.Document()).size();
        analysisMs.push_back(double(clock.nsecsElapsed()) / 1e6);
        gaps.stop();
        longestGapMs = std::max(longestGapMs, gaps.longestMs());
        allFound = allFound && found == attachments;
        // Let the next round start from a blank page, as the window leaves the loader.
        complete.clear();
        loader.Navigate(QStringLiteral("about:blank"));
        complete.wait(30'000);

        // The parser alone, on the same page.
        clock.restart();
        // As the loader calls it: parse errors are not collected.
        GumboOptions options = kGumboDefaultOptions;
        options.max_errors = 0;
        GumboOutput *output =
            gumbo_parse_with_options(&options, utf8.constData(), size_t(utf8.size()));
        parserMs.push_back(double(clock.nsecsElapsed()) / 1e6);
        gumbo_destroy_output(&options, output);

        // The document alone: parser and our tree on the same bytes, no network, no decoding.
        clock.restart();
        const auto document = HtmlDocument::parseUtf8(utf8, QUrl(QStringLiteral("http://x/")));
        documentMs.push_back(double(clock.nsecsElapsed()) / 1e6);
        allFound = allFound && DiscoverAttachments(*document).size() == attachments;

        std::printf("round %d: analysis %.1f ms (%lld attachments%s), parser alone %.1f ms, "
                    "document %.1f ms\n",
                    round + 1, analysisMs.back(), static_cast<long long>(found),
                    found == attachments ? "" : ", WRONG", parserMs.back(), documentMs.back());
    }

    const bench::Spread a = bench::spread(analysisMs), p = bench::spread(parserMs),
                        d = bench::spread(documentMs);
    std::printf("page loader: %d posts, %.2f MB GBK, %d attachments, %d rounds interleaved\n",
                posts, double(page.size()) / 1e6, attachments, rounds);
    std::printf("  analysis (navigate -> DocumentComplete -> walk)  median %.1f ms (%.1f-%.1f)%s\n",
                a.median, a.min, a.max, allFound ? "" : "  A RUN FOUND THE WRONG ATTACHMENTS");
    std::printf("  parser alone (gumbo on the UTF-8 page)          median %.1f ms (%.1f-%.1f)\n",
                p.median, p.min, p.max);
    std::printf("  document alone (parser + our tree, UTF-8 bytes)  median %.1f ms (%.1f-%.1f)\n",
                d.median, d.min, d.max);
    std::printf("  analysis / parser                               %.2f\n", a.median / p.median);
    std::printf("  peak RSS through the first analysis             %.1f MiB (%.1f MiB at start)\n",
                peakMiB, startMiB);
    std::printf("  longest UI event-loop gap                       %.1f ms (target < 50 ms)\n",
                longestGapMs);
    const auto fmt = [](const bench::Spread &s, const char *unit) {
        return QStringLiteral("%1 %4 (%2-%3)")
            .arg(s.median, 0, 'f', 1)
            .arg(s.min, 0, 'f', 1)
            .arg(s.max, 0, 'f', 1)
            .arg(QLatin1StringView(unit));
    };
    bench::figure("analysis: 20,000-post GBK page, navigate to list of attachments", "-",
                  fmt(a, "ms"),
                  QStringLiteral("%1x the parser alone (%2)")
                      .arg(a.median / p.median, 0, 'f', 2)
                      .arg(fmt(p, "ms")));
    bench::figure("analysis: peak RSS of the process through its first analysis", "<= 100 MiB",
                  QStringLiteral("%1 MiB").arg(peakMiB, 0, 'f', 1),
                  QStringLiteral("%1 MiB at start, the server's copy of the page included")
                      .arg(startMiB, 0, 'f', 1));
    bench::figure("analysis: longest UI event-loop gap", "< 50 ms", bench::ms(longestGapMs));
    return allFound ? 0 : 1;
}
