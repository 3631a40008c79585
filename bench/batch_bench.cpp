// One download run of many small attachments through the real window, offscreen: the list
// is filled, Command2 is clicked and the run goes to its closing box. The same addresses
// are fetched by one `curl -K` process and by a bare libcurl loop that reuses one handle, as
// curl does with -K, each body written to its file. The three
// run interleaved, round after round, each into a fresh folder, and every run's files are
// checked byte for byte. Prints files per second for each: the median, min and max over
// the rounds, and the ratio of the medians; and the window's resident memory after 100
// and after all files of its first run.
//   --files N     attachments per run (default 1000)
//   --kib K       size of each attachment in KiB (default 64)
//   --rounds R    rounds (default 5)
//   --latency MS  the server waits this long before each answer (default 0)
//   --tmpfs       the folders on /dev/shm instead of the temporary folder
//   --hidden      leave the window unshown: no painting, the transfers and the walk alone
// The folders go under the temporary folder (TMPDIR) unless --tmpfs: a disk that has just
// deleted many files makes creating new ones slow for every side alike.

#include "analysis/attachment_entry.h"
#include "analysis/attachment_list.h"
#include "app/main_window.h"
#include "bench_support.h"
#include "net/network_session.h"
#include "support/fake_platform.h"
#include "support/loopback_server.h"
#include "transfer/download_service.h"
#include "transfer/file_download.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <algorithm>
#include <curl/curl.h>
#include <vector>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif
#include <QTest>
#include <cstdio>
#include <cstring>

using namespace Qt::StringLiterals;
using namespace quillmere;

namespace {

QByteArray attachmentBody(qsizetype size) {
    QByteArray body(size, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (char &c : body) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x & 0xff);
    }
    return body;
}

QString fileNameOf(int i) {
    return u"附件%1.rar"_s.arg(i, 4, 10, QChar(u'0'));
}

// Every attachment is in the folder with the right bytes.
bool allSaved(const QString &folder, int files, const QByteArray &body) {
    for (int i = 0; i < files; ++i) {
        QFile file(QDir(folder).filePath(fileNameOf(i)));
        if (!file.open(QIODevice::ReadOnly) || file.readAll() != body)
            return false;
    }
    return true;
}

int argument(const QStringList &args, const QString &name, int fallback) {
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args[at + 1].toInt() : fallback;
}

QString rates(const bench::Spread &s) {
    return u"%1 files/s (%2-%3)"_s.arg(s.median, 0, 'f', 0)
        .arg(s.min, 0, 'f', 0)
        .arg(s.max, 0, 'f', 0);
}

size_t writeToFile(char *data, size_t size, size_t count, void *file) {
    return std::fwrite(data, size, count, static_cast<std::FILE *>(file)) * size;
}

// The floor under any client built on libcurl: one easy handle reused for every file, as
// curl -K does, blocking, each body written to its file; no event loop, no window.
bool bareLibcurl(const QStringList &urls, const QString &folder) {
    CURL *handle = curl_easy_init();
    bool ok = handle != nullptr;
    for (int i = 0; ok && i < urls.size(); ++i) {
        std::FILE *file =
            std::fopen(QFile::encodeName(folder + u'/' + fileNameOf(i)).constData(), "wb");
        if (!file)
            return false;
        curl_easy_setopt(handle, CURLOPT_URL, urls[i].toUtf8().constData());
        curl_easy_setopt(handle, CURLOPT_PROXY, "");
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &writeToFile);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, file);
        long status = 0;
        ok = curl_easy_perform(handle) == CURLE_OK &&
             curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
             status == 200;
        ok = std::fclose(file) == 0 && ok;
    }
    curl_easy_cleanup(handle);
    return ok;
}

// Means of the time between two of the transfer's reports, for the phases of a file.
class PhaseClock : public QObject {
public:
    explicit PhaseClock(CFileDownload *download) {
        m_clock.start();
        connect(download, &CFileDownload::OnProgress, this,
                [this](qint64, qint64, qint32 status, const QString &) { reached(status); });
    }
    QString summary() const {
        return u"end to next start %1 ms, start to headers %2 ms, headers to end %3 ms"_s
            .arg(mean(BINDSTATUS_ENDDOWNLOADDATA), 0, 'f', 3)
            .arg(mean(BINDSTATUS_CONNECTING), 0, 'f', 3)
            .arg(mean(BINDSTATUS_MIMETYPEAVAILABLE), 0, 'f', 3);
    }

private:
    void reached(qint32 status) {
        const qint64 now = m_clock.nsecsElapsed();
        // Only the three steps of a whole file: start, headers, end.
        if (status == BINDSTATUS_CONNECTING || status == BINDSTATUS_MIMETYPEAVAILABLE ||
            status == BINDSTATUS_ENDDOWNLOADDATA) {
            if (m_last >= 0) {
                m_sum[m_last] += now - m_since;
                ++m_count[m_last];
            }
            m_last = status;
            m_since = now;
        }
    }
    double mean(int from) const {
        return m_count[from] ? double(m_sum[from]) / 1e6 / m_count[from] : 0.0;
    }
    QElapsedTimer m_clock;
    qint64 m_sum[16] = {};
    int m_count[16] = {};
    int m_last = -1;
    qint64 m_since = 0;
};

// The time the window's paint requests take, painting included: the application's
// notify() sees every event after the event filters that may hold a paint back.
class TimedApplication : public QApplication {
public:
    using QApplication::QApplication;
    QWidget *watched = nullptr;
    qint64 paintNs = 0;

    bool notify(QObject *receiver, QEvent *event) override {
        if (receiver != watched || event->type() != QEvent::UpdateRequest)
            return QApplication::notify(receiver, event);
        QElapsedTimer clock;
        clock.start();
        const bool handled = QApplication::notify(receiver, event);
        paintNs += clock.nsecsElapsed();
        return handled;
    }
};

} // namespace

// Each timed phase starts with the disk's dirty pages written out, so none of them pays
// for the files the one before it left in the cache.
void settleDisk() {
#ifdef Q_OS_UNIX
    ::sync();
#endif
}

int main(int argc, char *argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TimedApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int files = argument(args, u"--files"_s, 1000);
    const int kib = argument(args, u"--kib"_s, 64);
    const int rounds = std::max(1, argument(args, u"--rounds"_s, 5));
    const int latencyMs = argument(args, u"--latency"_s, 0);
    const bool tmpfs = args.contains(u"--tmpfs"_s);
    const bool shown = !args.contains(u"--hidden"_s);
    const int firstMark = std::min(100, files);

    const QByteArray body = attachmentBody(qsizetype(kib) * 1024);
    test::LoopbackServer server;
    test::Reply reply;
    reply.contentType = "application/x-rar-compressed";
    reply.body = body;
    reply.delayMs = latencyMs;
    QStringList urls;
    for (int i = 0; i < files; ++i) {
        const QString path = u"/attachment.php?aid=%1"_s.arg(i);
        server.route(path, reply);
        urls.append(server.url(path));
    }

    const QString base = tmpfs ? u"/dev/shm"_s : QDir::tempPath();
    QTemporaryDir dir(base + u"/quillmere-batch-bench-XXXXXX"_s);
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot create the temporary folder under %s\n", qPrintable(base));
        return 1;
    }
    QDir root(dir.path());
    std::printf("%d attachments of %d KiB from %s, %d ms latency, %d rounds, into %s\n", files, kib,
                qPrintable(server.url(u"/"_s)), latencyMs, rounds, qPrintable(dir.path()));

    std::vector<double> curlRates, bareRates, windowRates;
    bool allOk = true;
    qint64 rssAtMarkKiB = 0, rssAtEndKiB = 0;
    NetworkSession network;
    for (int round = 0; round < rounds; ++round) {
        const QString folder = root.filePath(u"round%1"_s.arg(round));
        for (const QString &side : {u"curl"_s, u"bare"_s, u"window"_s, u"program"_s})
            root.mkpath(folder + u'/' + side);

        // curl: one process, one config of url/output pairs.
        QFile config(folder + u"/curl.config"_s);
        if (!config.open(QIODevice::WriteOnly))
            return 1;
        for (int i = 0; i < files; ++i) {
            config.write("url = \"" + urls[i].toUtf8() + "\"\n");
            config.write("output = \"" + (folder + u"/curl/"_s + fileNameOf(i)).toUtf8() + "\"\n");
        }
        config.close();
        QProcess curl;
        QElapsedTimer clock;
        settleDisk();
        clock.start();
        curl.start(u"curl"_s, {u"-s"_s, u"--noproxy"_s, u"*"_s, u"-K"_s, config.fileName()});
        const bool curlRan = curl.waitForFinished(-1) && curl.exitCode() == 0;
        curlRates.push_back(double(files) / (double(clock.nsecsElapsed()) / 1e9));
        const bool curlOk = curlRan && allSaved(folder + u"/curl"_s, files, body);

        settleDisk();
        clock.restart();
        bool bareOk = bareLibcurl(urls, folder + u"/bare"_s);
        bareRates.push_back(double(files) / (double(clock.nsecsElapsed()) / 1e9));
        bareOk = bareOk && allSaved(folder + u"/bare"_s, files, body);

        // The window: the list filled as an analysis would leave it, then one click.
        test::FakePlatform platform;
        platform.folder = folder + u"/program"_s;
        frmMain window(&network, platform);
        window.Text2->setText(QDir::toNativeSeparators(folder + u"/window"_s));
        AttachmentList &list = *window.attachments();
        for (int i = 0; i < files; ++i) {
            list.AddItem(MakeEntry(urls[i], fileNameOf(i)));
            list.setSelected(i, true);
        }
        if (shown) {
            window.show();
            if (!QTest::qWaitForWindowExposed(&window))
                std::fprintf(stderr, "the window was not exposed\n");
        }
        // Every fetch ends with its entry rewritten; count those to find the 100th file.
        int fetched = 0;
        double seconds = 0;
        QObject::connect(&list, &QAbstractItemModel::dataChanged, &window,
                         [&](const QModelIndex &, const QModelIndex &, const QList<int> &roles) {
                             if (round == 0 && roles.contains(Qt::DisplayRole) &&
                                 ++fetched == firstMark)
                                 rssAtMarkKiB = bench::currentRssKiB();
                         });
        platform.onMessage = [&](const test::ShownMessage &) {
            seconds = double(clock.nsecsElapsed()) / 1e9;
            if (round == 0)
                rssAtEndKiB = bench::currentRssKiB();
        };
        // Where a file's time goes, from the transfer's reports: the time from one file's
        // end to the next one's start (the walk, the request, the temporary file), and the
        // time each paint of the window takes.
        PhaseClock phases(window.fileDownload());
        app.watched = &window;
        app.paintNs = 0;
        settleDisk();
        clock.restart();
        QTest::mouseClick(window.Command2, Qt::LeftButton);
        if (round == 0)
            std::printf("per file: %s; painting %.3f ms\n", qPrintable(phases.summary()),
                        double(app.paintNs) / 1e6 / files);
        int done = 0;
        for (int i = 0; i < list.ListCount(); ++i)
            done += EntryMarker(list.List(i)) == MarkerDone ? 1 : 0;
        const bool windowOk = platform.messages.size() == 1 && done == files &&
                              allSaved(folder + u"/window"_s, files, body);
        windowRates.push_back(double(files) / seconds);

        std::printf("round %d: curl %s %.0f files/s | bare libcurl %s %.0f files/s | window %s "
                    "%.0f files/s\n",
                    round + 1, curlOk ? "ok" : "FAILED", curlRates.back(), bareOk ? "ok" : "FAILED",
                    bareRates.back(), windowOk ? "ok" : "FAILED", windowRates.back());
        std::fflush(stdout);
        allOk = allOk && curlOk && bareOk && windowOk;
        QDir(folder).removeRecursively();
    }

    const bench::Spread c = bench::spread(curlRates), q = bench::spread(bareRates),
                        w = bench::spread(windowRates);
    std::vector<double> ratios;
    for (int i = 0; i < rounds; ++i)
        ratios.push_back(windowRates[size_t(i)] / curlRates[size_t(i)]);
    const bench::Spread r = bench::spread(ratios);
    const double growthMiB = double(rssAtEndKiB - rssAtMarkKiB) / 1024.0;
    std::printf("curl -K:  median %s\n", qPrintable(rates(c)));
    std::printf("libcurl:  median %s, %.2f of curl\n", qPrintable(rates(q)), q.median / c.median);
    std::printf("window:   median %s (%s)\n", qPrintable(rates(w)),
                shown ? "shown, painting" : "hidden");
    std::printf("ratio:    %.2f of curl by the medians; per round %.2f-%.2f\n", w.median / c.median,
                r.min, r.max);
    std::printf("RSS:      %.1f MiB after %d files, %.1f MiB after %d files, growth %.1f MiB "
                "(target <= 10)\n",
                double(rssAtMarkKiB) / 1024.0, firstMark, double(rssAtEndKiB) / 1024.0, files,
                growthMiB);
    const QString mode = tmpfs           ? u"tmpfs"_s
                         : latencyMs > 0 ? u"%1 ms latency"_s.arg(latencyMs)
                                         : u"disk"_s;
    const QByteArray name = u"batch (%1): %2 x %3 KiB through the window, %4 rounds"_s.arg(mode)
                                .arg(files)
                                .arg(kib)
                                .arg(rounds)
                                .toUtf8();
    bench::figure(name.constData(),
                  latencyMs > 0 ? ">= 0.98x curl"
                  : tmpfs       ? ">= 0.6x curl"
                                : "-",
                  rates(w),
                  QString::number(w.median / c.median, 'f', 2) +
                      u"x curl (%1; per round %2-%3)"_s.arg(rates(c))
                          .arg(r.min, 0, 'f', 2)
                          .arg(r.max, 0, 'f', 2));
    const QByteArray floorName =
        u"batch (%1): bare libcurl, one handle reused"_s.arg(mode).toUtf8();
    bench::figure(floorName.constData(), "-", rates(q),
                  QString::number(q.median / c.median, 'f', 2) + u"x curl"_s);
    if (!tmpfs && latencyMs == 0)
        bench::figure("batch: RSS growth from 100 to 1,000 files", "<= 10 MiB",
                      QString::number(growthMiB, 'f', 1) + u" MiB"_s);
    return allOk ? 0 : 1;
}
