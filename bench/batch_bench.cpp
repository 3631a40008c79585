// One download run of many small attachments through the real window, offscreen: the list
// is filled, Command2 is clicked and the run goes to its closing box. The same addresses
// are fetched by one `curl -K` process in the same run, into a folder of its own. Prints
// files per second for both, their ratio, and the resident memory after 100 and after all
// files of the window's run.
//   --files N   attachments per run (default 1000)
//   --kib K     size of each attachment in KiB (default 64)
//   --hidden    leave the window unshown: no painting, the transfers and the walk alone
// Both folders go under the temporary folder (TMPDIR): a disk that has just deleted many
// files makes creating new ones slow for both sides alike.

#include "analysis/attachment_entry.h"
#include "analysis/attachment_list.h"
#include "app/main_window.h"
#include "bench_support.h"
#include "support/fake_platform.h"
#include "support/loopback_server.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>

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
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int files = argument(args, u"--files"_s, 1000);
    const int kib = argument(args, u"--kib"_s, 64);
    const int firstMark = std::min(100, files);

    const QByteArray body = attachmentBody(qsizetype(kib) * 1024);
    test::LoopbackServer server;
    test::Reply reply;
    reply.contentType = "application/x-rar-compressed";
    reply.body = body;
    QStringList urls;
    for (int i = 0; i < files; ++i) {
        const QString path = u"/attachment.php?aid=%1"_s.arg(i);
        server.route(path, reply);
        urls.append(server.url(path));
    }

    QTemporaryDir dir(QDir::tempPath() + u"/quillmere-batch-bench-XXXXXX"_s);
    QDir root(dir.path());
    if (!dir.isValid() || !root.mkdir(u"curl"_s) || !root.mkdir(u"window"_s) ||
        !root.mkdir(u"program"_s)) {
        std::fprintf(stderr, "cannot create the temporary folders\n");
        return 1;
    }
    std::printf("%d attachments of %d KiB from %s, into %s\n", files, kib,
                qPrintable(server.url(u"/"_s)), qPrintable(dir.path()));

    // curl: one process, one config of url/output pairs.
    QFile config(root.filePath(u"curl.config"_s));
    if (!config.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "cannot write the curl config\n");
        return 1;
    }
    for (int i = 0; i < files; ++i) {
        config.write("url = \"" + urls[i].toUtf8() + "\"\n");
        config.write("output = \"" + root.filePath(u"curl/"_s + fileNameOf(i)).toUtf8() + "\"\n");
    }
    config.close();
    QProcess curl;
    QElapsedTimer clock;
    settleDisk();
    clock.start();
    curl.start(u"curl"_s, {u"-s"_s, u"--noproxy"_s, u"*"_s, u"-K"_s, config.fileName()});
    const bool curlRan = curl.waitForFinished(-1) && curl.exitCode() == 0;
    const double curlSeconds = double(clock.nsecsElapsed()) / 1e9;
    const bool curlOk = curlRan && allSaved(root.filePath(u"curl"_s), files, body);

    // The floor under any client built on Qt's network stack: bare QNetworkAccessManager
    // GETs one after another, each body written to its file, no window and no engine.
    QNetworkAccessManager network;
    root.mkdir(u"qt"_s);
    settleDisk();
    clock.restart();
    for (int i = 0; i < files; ++i) {
        std::unique_ptr<QNetworkReply> get(network.get(QNetworkRequest(QUrl(urls[i]))));
        QEventLoop loop;
        QObject::connect(get.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        QFile file(root.filePath(u"qt/"_s + fileNameOf(i)));
        if (file.open(QIODevice::WriteOnly))
            file.write(get->readAll());
    }
    const double qtRate = double(files) / (double(clock.nsecsElapsed()) / 1e9);

    // The window: the list filled as an analysis would leave it, then one click.
    test::FakePlatform platform;
    platform.folder = root.filePath(u"program"_s);
    frmMain window(&network, platform);
    window.Text2->setText(QDir::toNativeSeparators(root.filePath(u"window"_s)));
    AttachmentList &list = *window.attachments();
    for (int i = 0; i < files; ++i) {
        list.AddItem(MakeEntry(urls[i], fileNameOf(i)));
        list.setSelected(i, true);
    }
    const bool shown = !args.contains(u"--hidden"_s);
    if (shown) {
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            std::fprintf(stderr, "the window was not exposed\n");
    }

    // Every fetch ends with its entry rewritten; count those to find the 100th file.
    int fetched = 0;
    qint64 rssAtMarkKiB = 0, rssAtEndKiB = 0;
    double seconds = 0;
    QObject::connect(&list, &QAbstractItemModel::dataChanged, &window,
                     [&](const QModelIndex &, const QModelIndex &, const QList<int> &roles) {
                         if (roles.contains(Qt::DisplayRole) && ++fetched == firstMark)
                             rssAtMarkKiB = bench::currentRssKiB();
                     });
    platform.onMessage = [&](const test::ShownMessage &) {
        seconds = double(clock.nsecsElapsed()) / 1e9;
        rssAtEndKiB = bench::currentRssKiB();
    };
    settleDisk();
    clock.restart();
    QTest::mouseClick(window.Command2, Qt::LeftButton);

    int done = 0;
    for (int i = 0; i < list.ListCount(); ++i)
        done += EntryMarker(list.List(i)) == MarkerDone ? 1 : 0;
    const bool ours = platform.messages.size() == 1 && done == files &&
                      allSaved(root.filePath(u"window"_s), files, body);

    const double ourRate = double(files) / seconds;
    const double curlRate = double(files) / curlSeconds;
    const double growthMiB = double(rssAtEndKiB - rssAtMarkKiB) / 1024.0;
    std::printf("curl -K:  %s, %d files in %.3f s, %.0f files/s\n", curlOk ? "all saved" : "FAILED",
                files, curlSeconds, curlRate);
    std::printf("window:   %s, %d of %d done in %.3f s, %.0f files/s (%s)\n",
                ours ? "all saved" : "FAILED", done, files, seconds, ourRate,
                shown ? "shown, painting" : "hidden");
    std::printf("ratio:    %.2f of curl (target >= 0.80)\n", ourRate / curlRate);
    std::printf("floor:    bare QNetworkAccessManager %.0f files/s, %.2f of curl; the window "
                "reaches %.2f of it\n",
                qtRate, qtRate / curlRate, ourRate / qtRate);
    std::printf("RSS:      %.1f MiB after %d files, %.1f MiB after %d files, growth %.1f MiB "
                "(target <= 10)\n",
                double(rssAtMarkKiB) / 1024.0, firstMark, double(rssAtEndKiB) / 1024.0, files,
                growthMiB);
    bench::figure("batch: 1,000 attachments of 64 KiB through the window", ">= 0.8x curl",
                  QString::number(ourRate, 'f', 0) + u" files/s"_s,
                  QString::number(ourRate / curlRate, 'f', 2) + u"x curl ("_s +
                      QString::number(curlRate, 'f', 0) + u" files/s)"_s);
    bench::figure("batch: the same with bare QNetworkAccessManager (no window, no engine)", "-",
                  QString::number(qtRate, 'f', 0) + u" files/s"_s,
                  QString::number(qtRate / curlRate, 'f', 2) + u"x curl"_s);
    bench::figure("batch: RSS growth from 100 to 1,000 files", "<= 10 MiB",
                  QString::number(growthMiB, 'f', 1) + u" MiB"_s);
    return curlOk && ours ? 0 : 1;
}
