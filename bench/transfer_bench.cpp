// Downloads one large attachment from a loopback server with CFileDownload and with
// `curl -o`, into the same folder, and prints both throughputs, the peak memory growth and
// how long the event loop was kept waiting during the transfer.
//   --runs N   alternate N transfers of each (default 3) and report the medians
//   --large    one run of 4.5 GiB, checking that progress past 2^31 and 2^32 stays right
//   --bomb     instead, one gzip stream of about 4 MiB that inflates to 4 GiB of zeros: the
//              file saved whole, and how much the process grew meanwhile

#include "bench_support.h"
#include "net/network_session.h"
#include "support/loopback_server.h"
#include "support/raw_http_server.h"
#include "transfer/file_download.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <vector>

using namespace Qt::StringLiterals;
using namespace quillmere;

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr qint64 GiB = 1024 * MiB;

// A fixed pseudo-random table repeated; its odd length keeps neighbouring blocks
// different, so a misplaced block shows in the spot checks.
class Pattern {
public:
    Pattern()
        : m_table(TableSize) {
        quint32 x = 2463534242u;
        for (char &c : m_table) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            c = char(x & 0xff);
        }
    }
    void fill(qint64 offset, char *data, std::size_t length) const {
        std::size_t at = std::size_t(offset % qint64(TableSize));
        while (length > 0) {
            const std::size_t n = std::min(length, TableSize - at);
            std::memcpy(data, m_table.data() + at, n);
            data += n;
            length -= n;
            at = 0;
        }
    }

private:
    static constexpr std::size_t TableSize = 1'000'003;
    std::vector<char> m_table;
};

bool contentMatches(const QString &path, qint64 size, const Pattern &pattern) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() != size)
        return false;
    QByteArray expected(64 * 1024, Qt::Uninitialized);
    for (int i = 0; i <= 32; ++i) {
        const qint64 at = std::min(size - expected.size(), size / 32 * i);
        pattern.fill(at, expected.data(), std::size_t(expected.size()));
        if (!file.seek(at) || file.read(expected.size()) != expected)
            return false;
    }
    return true;
}

// Drops the file and waits until the disk has settled, so one run's write-back does not
// slow down the next.
void removeAndSettle(const QString &path) {
    QFile::remove(path);
    ::sync();
}

// Lets VmHWM measure this run alone.
bool resetPeakRss() {
    QFile clear(u"/proc/self/clear_refs"_s);
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct ProgressCheck {
    qint64 last = -1;
    qint64 events = 0;
    bool monotonic = true;
    bool percentInRange = true;
    bool past31 = false;
    bool past32 = false;
    qint64 finalMax = -1;

    void see(qint64 progress, qint64 max) {
        ++events;
        monotonic = monotonic && progress >= last && progress >= 0;
        last = progress;
        if (max > 0) {
            const qint64 percent = progress * 100 / max; // as the status line computes it
            percentInRange = percentInRange && percent >= 0 && percent <= 100;
        }
        past31 = past31 || progress >= (qint64(1) << 31);
        past32 = past32 || progress >= (qint64(1) << 32);
        finalMax = max;
    }
};

} // namespace

// Every byte of the file is zero: read back in large blocks.
bool allZeros(const QString &path, qint64 size) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() != size)
        return false;
    std::vector<char> block(8 * MiB);
    for (;;) {
        const qint64 n = file.read(block.data(), qint64(block.size()));
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (std::any_of(block.begin(), block.begin() + n, [](char c) { return c != 0; }))
            return false;
    }
}

int bomb() {
    constexpr qint64 Size = 4 * GiB;
    test::LoopbackServer server;
    const test::Reply reply = test::GzipOfZeros(Size);
    server.route(u"/zeros.rar"_s, reply);
    QTemporaryDir dir(QDir::tempPath() + u"/quillmere-transfer-bench-XXXXXX"_s);
    const QString target = dir.filePath(u"zeros.rar"_s);
    NetworkSession network;
    CFileDownload download(&network);
    const qint64 rssBeforeKiB = bench::currentRssKiB();
    const bool peakReset = resetPeakRss();
    const qint64 baseKiB = peakReset ? rssBeforeKiB : bench::peakRssKiB();
    QElapsedTimer clock;
    clock.start();
    const bool ok = download.StartDownloading(server.url(u"/zeros.rar"_s), target);
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const double growthMiB = double(bench::peakRssKiB() - baseKiB) / 1024.0;
    const bool whole = ok && allZeros(target, Size);
    std::printf("gzip bomb: %.1f MiB on the wire, %.0f GiB inflated: StartDownloading %s, file "
                "%s, %.0f MiB/s inflated, peak RSS growth %.1f MiB (target < 64)\n",
                double(reply.size) / double(MiB), double(Size) / double(GiB), ok ? "True" : "False",
                whole ? "whole" : "WRONG", double(Size) / double(MiB) / seconds, growthMiB);
    bench::figure("gzip bomb, 4 GiB inflated: peak RSS growth", "< 64 MiB",
                  QString::number(growthMiB, 'f', 1) + QStringLiteral(" MiB") +
                      (whole ? QString() : QStringLiteral(" (file WRONG)")));
    return whole ? 0 : 1;
}

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.contains(u"--bomb"_s))
        return bomb();
    const bool large = args.contains(u"--large"_s);
    const qsizetype runsAt = args.indexOf(u"--runs"_s);
    const int runs = large ? 1 : std::max(1, runsAt > 0 ? args.value(runsAt + 1).toInt() : 3);
    const qint64 size = large ? 9 * GiB / 2 : 2 * GiB;

    const Pattern pattern;
    test::LoopbackServer server;
    test::Reply reply;
    reply.contentType = "application/x-rar-compressed";
    reply.size = size;
    reply.chunkSize = 256 * 1024;
    reply.generator = [&pattern](std::int64_t offset, char *data, std::size_t length) {
        pattern.fill(offset, data, length);
    };
    server.route(u"/big.rar"_s, reply);
    const QString url = server.url(u"/big.rar"_s);

    QTemporaryDir dir(QDir::tempPath() + u"/quillmere-transfer-bench-XXXXXX"_s);
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }
    const QString curlTarget = dir.filePath(u"curl.rar"_s);
    const QString target = dir.filePath(u"quillmere.rar"_s);
    std::printf("attachment: %lld bytes (%.2f GiB), %d run(s) each, into %s\n", size,
                double(size) / double(GiB), runs, qPrintable(dir.path()));

    NetworkSession network;
    CFileDownload download(&network);
    ProgressCheck progress;
    QObject::connect(&download, &CFileDownload::OnProgress, &download,
                     [&progress](qint64 done, qint64 max) { progress.see(done, max); });

    std::vector<double> curlRates, ourRates;
    double worstGrowthMiB = 0, worstP99Ms = 0, worstGapMs = 0;
    bool allOk = true;
    for (int run = 1; run <= runs; ++run) {
        QProcess curl;
        QElapsedTimer clock;
        clock.start();
        curl.start(u"curl"_s, {u"-sS"_s, u"-o"_s, curlTarget, url});
        const bool curlOk = curl.waitForFinished(-1) && curl.exitCode() == 0 &&
                            QFileInfo(curlTarget).size() == size;
        curlRates.push_back(double(size) / double(MiB) / (double(clock.nsecsElapsed()) / 1e9));
        removeAndSettle(curlTarget);

        progress = {};
        bench::EventLoopGapMeter gaps(10);
        const qint64 rssBeforeKiB = bench::currentRssKiB();
        const bool peakReset = resetPeakRss();
        const qint64 baseKiB = peakReset ? rssBeforeKiB : bench::peakRssKiB();
        gaps.start();
        clock.restart();
        const bool ok = download.StartDownloading(url, target);
        const qint64 ns = clock.nsecsElapsed();
        gaps.stop();
        const double growthMiB = double(bench::peakRssKiB() - baseKiB) / 1024.0;
        const bool bytesOk = ok && contentMatches(target, size, pattern);
        removeAndSettle(target);

        const double rate = double(size) / double(MiB) / (double(ns) / 1e9);
        ourRates.push_back(rate);
        const bool progressOk = progress.monotonic && progress.percentInRange &&
                                progress.last == size && progress.finalMax == size;
        allOk = allOk && curlOk && bytesOk && progressOk;
        worstGrowthMiB = std::max(worstGrowthMiB, growthMiB);
        worstP99Ms = std::max(worstP99Ms, gaps.percentileMs(99));
        worstGapMs = std::max(worstGapMs, gaps.longestMs());
        std::printf("run %d: curl %s %.0f MiB/s | StartDownloading %s, bytes %s, %.0f MiB/s, "
                    "RSS +%.1f MiB, gaps p99 %.1f ms max %.1f ms, %lld progress events (%.0f/s)\n",
                    run, curlOk ? "ok" : "FAILED", curlRates.back(), ok ? "True" : "False",
                    bytesOk ? "verified" : "WRONG", rate, growthMiB, gaps.percentileMs(99),
                    gaps.longestMs(), progress.events,
                    double(progress.events) / (double(ns) / 1e9));
        std::printf("       progress ended at %lld of %lld, monotonic %s, percent in 0..100 %s, "
                    "passed 2^31 %s, passed 2^32 %s\n",
                    progress.last, progress.finalMax, progress.monotonic ? "yes" : "NO",
                    progress.percentInRange ? "yes" : "NO", progress.past31 ? "yes" : "no",
                    progress.past32 ? "yes" : "no");
    }

    const double ours = median(ourRates), theirs = median(curlRates);
    std::printf("throughput (median): StartDownloading %.0f MiB/s, curl -o %.0f MiB/s, "
                "ratio %.2f (target >= 1.0)\n",
                ours, theirs, ours / theirs);
    std::printf("peak RSS growth (worst): %.1f MiB (target < 64)\n", worstGrowthMiB);
    std::printf("event-loop gaps (worst run): p99 %.1f ms, longest %.1f ms (target <= 50)\n",
                worstP99Ms, worstGapMs);
    const QString label =
        QStringLiteral("transfer %1 GiB").arg(QString::number(double(size) / double(GiB), 'f', 1));
    bench::figure(qPrintable(label + QStringLiteral(": StartDownloading throughput")),
                  ">= 1.0x curl", QString::number(ours, 'f', 0) + QStringLiteral(" MiB/s"),
                  QString::number(ours / theirs, 'f', 2) + QStringLiteral("x curl (") +
                      QString::number(theirs, 'f', 0) + QStringLiteral(" MiB/s)"));
    bench::figure(qPrintable(label + QStringLiteral(": peak RSS growth")), "< 64 MiB",
                  QString::number(worstGrowthMiB, 'f', 1) + QStringLiteral(" MiB"));
    bench::figure(qPrintable(label + QStringLiteral(": UI event-loop gap p99 / longest")),
                  "< 50 ms", bench::ms(worstP99Ms) + QStringLiteral(" / ") + bench::ms(worstGapMs));
    return allOk ? 0 : 1;
}
