#include "net/network_session.h"
#include "support/loopback_server.h"
#include "support/raw_http_server.h"
#include "transfer/download_service.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <zlib.h>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

using namespace Qt::StringLiterals;
using namespace quillmere;
using quillmere::test::LoopbackServer;
using quillmere::test::RawHttpServer;
using quillmere::test::Reply;

namespace {

QByteArray pattern(qsizetype size) {
    QByteArray data(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        data[i] = char((i * 131 + i / 4099) & 0xff);
    return data;
}

QByteArray noise(qsizetype size) {
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(1234);
    std::generate(data.begin(), data.end(), [&] { return char(generator.bounded(256)); });
    return data;
}

QByteArray gzip(const QByteArray &data) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(qsizetype(deflateBound(&z, uLong(data.size()))) + 32, Qt::Uninitialized);
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(qsizetype(z.total_out));
    deflateEnd(&z);
    return out;
}

// A file, not a page: the service refuses a page by itself.
Reply serving(QByteArray body, int status = 200) {
    Reply reply;
    reply.status = status;
    reply.contentType = "application/octet-stream";
    reply.body = std::move(body);
    return reply;
}

QByteArray readAll(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QStringList filesIn(const QString &dir) {
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System);
}

// Whether the file's first and last MiB, and pieces spread between them, are zeros: enough
// to catch a misplaced or dropped block without reading gigabytes back.
bool looksAllZeros(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const qint64 size = file.size();
    const qint64 piece = std::min<qint64>(size, 1024 * 1024);
    const QByteArray zeros(piece, '\0');
    for (int i = 0; i <= 16; ++i) {
        if (!file.seek((size - piece) / 16 * i) || file.read(piece) != zeros)
            return false;
    }
    return true;
}

#if defined(__SANITIZE_ADDRESS__)
#define TEST_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TEST_UNDER_ASAN 1
#endif
#endif

#ifdef TEST_UNDER_ASAN
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void *, size_t),
                                              void (*onFree)(const volatile void *));
size_t __sanitizer_get_allocated_size(const volatile void *pointer);
}
#endif

// How far the process's memory grows while it lives, at the most.
//
// Resident memory tells, except under AddressSanitizer: that holds on to freed blocks, 256 MiB
// of them by default, to catch late uses, so there resident memory grows with everything
// freed and the figure would be its own. There the allocator's count of the bytes handed out
// and not yet given back is followed instead.
class MemoryGrowth {
public:
    MemoryGrowth() {
#ifdef TEST_UNDER_ASAN
        static const bool hooked = __sanitizer_install_malloc_and_free_hooks(
                                       &MemoryGrowth::onMalloc, &MemoryGrowth::onFree) != 0;
        s_live = 0;
        s_peak = 0;
        s_counting = hooked;
#elif defined(Q_OS_LINUX)
        m_peakReset = resetPeakResident();
        m_before = statusKiB("VmRSS");
        m_seen = m_before;
#endif
    }
    ~MemoryGrowth() {
#ifdef TEST_UNDER_ASAN
        s_counting = false;
#endif
    }
    MemoryGrowth(const MemoryGrowth &) = delete;
    MemoryGrowth &operator=(const MemoryGrowth &) = delete;

    // Where the peak cannot be followed, it is sampled now and then.
    void sample() {
#if !defined(TEST_UNDER_ASAN) && defined(Q_OS_LINUX)
        if (!m_peakReset)
            m_seen = std::max(m_seen, statusKiB("VmRSS"));
#endif
    }

    // In KiB; -1 where it cannot be measured.
    qint64 mostKiB() const {
#ifdef TEST_UNDER_ASAN
        return s_counting ? s_peak / 1024 : -1;
#elif defined(Q_OS_LINUX)
        const qint64 peak = m_peakReset ? statusKiB("VmHWM") : m_seen;
        return m_before < 0 || peak < 0 ? -1 : std::max<qint64>(peak - m_before, 0);
#else
        return -1;
#endif
    }

private:
#ifdef TEST_UNDER_ASAN
    static void onMalloc(const volatile void *, size_t size) {
        if (!s_counting)
            return;
        const qint64 live = s_live += qint64(size);
        qint64 peak = s_peak;
        while (live > peak && !s_peak.compare_exchange_weak(peak, live)) {
        }
    }
    static void onFree(const volatile void *pointer) {
        if (s_counting)
            s_live -= qint64(__sanitizer_get_allocated_size(pointer));
    }

    static inline std::atomic<bool> s_counting = false;
    static inline std::atomic<qint64> s_live = 0;
    static inline std::atomic<qint64> s_peak = 0;
#elif defined(Q_OS_LINUX)
    // Lowers VmHWM to what is resident now, so that it measures what follows alone.
    static bool resetPeakResident() {
        QFile clear(u"/proc/self/clear_refs"_s);
        return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
    }
    // A "Vm..." figure of /proc/self/status, in KiB; -1 when it cannot be read.
    static qint64 statusKiB(QByteArrayView key) {
        QFile status(u"/proc/self/status"_s);
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith(key) && line.mid(key.size()).startsWith(':'))
                return line.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong();
        }
        return -1;
    }

    bool m_peakReset = false;
    qint64 m_before = -1;
    qint64 m_seen = -1;
#endif
};

// Records every call; onProgress lets a test act from inside the transfer.
class RecordingCallback final : public IBindStatusCallback {
public:
    struct Progress {
        qint64 progress, max;
        quint32 status;
        QString text;
    };
    int starts = 0, stops = 0;
    HResult stopResult = 1;
    QList<Progress> progress;
    IBinding *binding = nullptr;
    std::function<void(const Progress &)> onProgress;

    HResult OnStartBinding(quint32, IBinding *pib) override {
        ++starts;
        binding = pib;
        return S_OK;
    }
    HResult GetPriority(qint32 *) override { return S_OK; }
    HResult OnLowResource(quint32) override { return S_OK; }
    HResult OnProgress(qint64 p, qint64 max, quint32 status, const char16_t *text) override {
        progress.append({p, max, status, text ? QString::fromUtf16(text) : QString()});
        if (onProgress)
            onProgress(progress.constLast());
        return S_OK;
    }
    HResult OnStopBinding(HResult hresult, const char16_t *) override {
        ++stops;
        stopResult = hresult;
        binding = nullptr;
        return S_OK;
    }
    HResult GetBindInfo(quint32 *, void *) override { return S_OK; }
    HResult OnDataAvailable(quint32, quint32, void *, void *) override { return S_OK; }
    HResult OnObjectAvailable(const QUuid &, void *) override { return S_OK; }

    QList<quint32> statuses() const {
        QList<quint32> codes;
        for (const Progress &p : progress)
            codes.append(p.status);
        return codes;
    }
};

} // namespace

class TestDownloadService : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        QVERIFY(m_dir.isValid());
        for (const QString &name : filesIn(m_dir.path()))
            QFile::remove(m_dir.filePath(name));
        m_target = m_dir.filePath(u"attachment.rar"_s);
    }

    void deliversExactBytesWithOrderedReports_data() {
        QTest::addColumn<bool>("chunked");
        QTest::addColumn<bool>("redirected");
        QTest::addRow("sized") << false << false;
        QTest::addRow("chunked") << true << false;
        QTest::addRow("redirected") << false << true;
    }
    void deliversExactBytesWithOrderedReports() {
        QFETCH(bool, chunked);
        QFETCH(bool, redirected);
        const QByteArray body = pattern(3 * 1024 * 1024 + 17);
        Reply reply = serving(body);
        reply.contentType = "application/x-rar-compressed";
        reply.chunked = chunked;
        m_server.route(u"/file.rar"_s, reply);
        m_server.redirect(u"/moved"_s, u"/file.rar"_s);

        RecordingCallback callback;
        const QString url = m_server.url(redirected ? u"/moved"_s : u"/file.rar"_s);
        QCOMPARE(m_service.URLDownloadToFile(nullptr, url, m_target, 0, &callback), S_OK);

        QCOMPARE(readAll(m_target), body);
        QCOMPARE(filesIn(m_dir.path()), QStringList{u"attachment.rar"_s});
        QCOMPARE(callback.starts, 1);
        QCOMPARE(callback.stops, 1);
        QCOMPARE(callback.stopResult, S_OK);

        const QList<quint32> codes = callback.statuses();
        QCOMPARE(codes.contains(BINDSTATUS_REDIRECTING), redirected);
        const qsizetype mime = codes.indexOf(BINDSTATUS_MIMETYPEAVAILABLE);
        QVERIFY(mime >= 0 && mime < codes.indexOf(BINDSTATUS_BEGINDOWNLOADDATA));
        QCOMPARE(codes.constLast(), quint32(BINDSTATUS_ENDDOWNLOADDATA));
        qint64 last = 0;
        for (const RecordingCallback::Progress &p : std::as_const(callback.progress)) {
            QVERIFY(p.progress >= last);
            if (p.status >= BINDSTATUS_BEGINDOWNLOADDATA && p.status <= BINDSTATUS_ENDDOWNLOADDATA)
                QCOMPARE(p.max, chunked ? 0 : qint64(body.size()));
            last = p.progress;
            if (p.status == BINDSTATUS_MIMETYPEAVAILABLE)
                QCOMPARE(p.text, u"application/x-rar-compressed"_s);
            if (p.status == BINDSTATUS_REDIRECTING)
                QCOMPARE(p.text, m_server.url(u"/file.rar"_s));
        }
        QCOMPARE(last, qint64(body.size()));
    }

    void namesAtTheLengthLimitAreWritten() {
        // 255 bytes is the most most file systems take for one name, in UTF-8 or UTF-16.
        const QByteArray body = pattern(70'000);
        m_server.route(u"/file.rar"_s, serving(body));
        for (const QString &name :
             {QString(251, u'n') + u".rar"_s, QString(81, u'附') + u"资料xy.rar"_s}) {
            const QString target = m_dir.filePath(name);
            RecordingCallback callback;
            QCOMPARE(m_service.URLDownloadToFile(nullptr, m_server.url(u"/file.rar"_s), target, 0,
                                                 &callback),
                     S_OK);
            QCOMPARE(readAll(target), body);
        }
        QCOMPARE(filesIn(m_dir.path()).size(), 2);
    }

    void failureKeepsExistingTarget_data() {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("location"); // answer with a redirect there instead
        QTest::addColumn<bool>("tls");
        QTest::addColumn<RawHttpServer::Script>("raw"); // a raw server's answer instead
        const auto row = [](const char *name, const Reply &reply, const QString &location = {},
                            bool tls = false) {
            QTest::addRow("%s", name) << reply << location << tls << RawHttpServer::Script();
        };
        const auto raw = [](const char *name, RawHttpServer::Script script) {
            QTest::addRow("%s", name) << Reply() << QString() << false << std::move(script);
        };
        const Reply body = serving(pattern(512 * 1024));
        Reply reset = body, shortBody = body, stall = body;
        reset.closeAfter = 200 * 1024;
        shortBody.declaredLength = 512 * 1024 + 1000;
        stall.stallAfter = 64 * 1024;
        Reply partial = serving(pattern(1000), 206); // to a request that asked for no range
        partial.headers = {{"Content-Range", "bytes 0-999/200000"}};
        // Compressed, cut short: the Content-Length right and half the bytes sent, or the
        // Content-Length of what was sent, so that only the stream itself tells.
        const QByteArray packed = gzip(pattern(400'000) + noise(100'000));
        Reply halfGzip = serving(packed.first(packed.size() / 2));
        halfGzip.headers = {{"Content-Encoding", "gzip"}};
        halfGzip.declaredLength = packed.size();
        Reply endlessGzip = halfGzip;
        endlessGzip.declaredLength = -1;
        Reply unknownCoding = serving("BZh91AY&SY");
        unknownCoding.headers = {{"Content-Encoding", "bzip2"}};
        const QString fileUrl = QUrl::fromLocalFile(QDir::currentPath()).toString();
        row("404", serving("not here", 404));
        row("reset mid-body", reset);
        row("short body", shortBody);
        row("stall", stall);
        row("3xx without location", serving("where?", 302));
        row("redirect to file", body, fileUrl);
        row("redirect loop", body, u"/f"_s);
        row("untrusted certificate", body, {}, true);
        row("206 not asked for", partial);
        row("204 no content", serving({}, 204));
        row("gzip cut short", halfGzip);
        row("gzip stream cut short", endlessGzip);
        row("a coding not asked for", unknownCoding);
        raw("garbled chunk size after 30,000 bytes", test::GarbledChunkAfter(30'000));
        raw("closed inside a chunk", test::CloseInsideChunk(30'000));
        raw("endless header", test::EndlessHeader());
        raw("closed before the Content-Length", test::CloseBeforeLength(300'000, 100'000));
    }
    void failureKeepsExistingTarget() {
        QFETCH(Reply, reply);
        QFETCH(QString, location);
        QFETCH(bool, tls);
        QFETCH(RawHttpServer::Script, raw);
        LoopbackServer tlsServer(LoopbackServer::Tls::SelfSigned);
        LoopbackServer &server = tls ? tlsServer : m_server;
        std::unique_ptr<RawHttpServer> rawServer;
        if (raw)
            rawServer = std::make_unique<RawHttpServer>(raw);
        else if (location.isEmpty())
            server.route(u"/f"_s, reply);
        else
            server.redirect(u"/f"_s, location);
        QVERIFY(placeOldTarget());

        // A raw answer has to fail by its own fault: a no-data limit that could end it
        // first would hide a parser that never notices.
        DownloadService service = m_service;
        if (raw)
            service.setTransferTimeout(30'000);
        RecordingCallback callback;
        const HResult result = service.URLDownloadToFile(
            nullptr, rawServer ? rawServer->url(u"/f"_s) : server.url(u"/f"_s), m_target, 0,
            &callback);
        QVERIFY2(result < 0, qPrintable(QString::number(result, 16)));
        if (raw)
            QCOMPARE(result, INET_E_DOWNLOAD_FAILURE); // not INET_E_CONNECTION_TIMEOUT
        if (tls)
            QCOMPARE(result, INET_E_SECURITY_PROBLEM);
        QCOMPARE(callback.starts, 1);
        QCOMPARE(callback.stops, 1);
        QCOMPARE(callback.stopResult, result);
        QCOMPARE(readAll(m_target), QByteArray("old"));
        QCOMPARE(filesIn(m_dir.path()), QStringList{u"attachment.rar"_s});
        m_server.releaseStalls();
    }

#ifdef Q_OS_UNIX
    // The disk refusing bytes part-way (a full disk, a quota) fails the transfer from the
    // writer's side: no end of data is reported and nothing half written is kept.
    void aDiskThatRefusesBytesFailsTheTransfer_data() {
        // The first MiB go to the disk at once, the rest through the writer thread.
        QTest::addColumn<int>("limitMiB");
        QTest::addRow("early") << 2;
        QTest::addRow("late") << 7;
    }
    void aDiskThatRefusesBytesFailsTheTransfer() {
        QFETCH(int, limitMiB);
        m_server.route(u"/f"_s, serving(pattern(10 * 1024 * 1024)));
        QVERIFY(placeOldTarget());

        std::signal(SIGXFSZ, SIG_IGN);
        rlimit unlimited{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
        rlimit limited = unlimited;
        limited.rlim_cur = rlim_t(limitMiB) * 1024 * 1024 + 100;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
        RecordingCallback callback;
        const HResult result =
            m_service.URLDownloadToFile(nullptr, m_server.url(u"/f"_s), m_target, 0, &callback);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &unlimited), 0);

        QCOMPARE(result, STG_E_WRITEFAULT);
        QCOMPARE(callback.stopResult, result);
        QVERIFY(!callback.statuses().contains(BINDSTATUS_ENDDOWNLOADDATA));
        QCOMPARE(readAll(m_target), QByteArray("old"));
        QCOMPARE(filesIn(m_dir.path()), QStringList{u"attachment.rar"_s});
    }
#endif

    // Nothing is bound and nothing is written or requested for what can never work.
    void refusedBeforeBinding_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("target");
        const QString served = m_server.url(u"/unused"_s);
        const QString target = u"attachment.rar"_s;
        QTest::addRow("file") << QUrl::fromLocalFile(QDir::currentPath()).toString() << target;
        QTest::addRow("ftp") << u"ftp://127.0.0.1/a.rar"_s << target;
        QTest::addRow("data") << u"data:text/plain,hello"_s << target;
        QTest::addRow("no host") << u"http:///a.rar"_s << target;
        QTest::addRow("missing folder") << served << u"missing/attachment.rar"_s;
        QTest::addRow("target is a folder") << served << u"sub"_s;
        QTest::addRow("name too long") << served << QString(300, u'x');
    }
    void refusedBeforeBinding() {
        QFETCH(QString, url);
        QFETCH(QString, target);
        QVERIFY(QDir(m_dir.path()).mkpath(u"sub"_s));
        RecordingCallback callback;
        QVERIFY(m_service.URLDownloadToFile(nullptr, url, m_dir.filePath(target), 0, &callback) <
                0);
        QCOMPARE(callback.starts, 0);
        QCOMPARE(callback.stops, 0);
        QVERIFY(filesIn(m_dir.path()).isEmpty());
        QCOMPARE(m_server.hits(u"/unused"_s), 0);
    }

    // A caller that sees a web page instead of an archive and aborts there keeps nothing
    // either; its abort, made first, is the result.
    void abortOnMediaTypeKeepsNothing() {
        Reply page = serving(pattern(256 * 1024));
        page.contentType = "text/html; charset=utf-8";
        m_server.route(u"/page"_s, page);
        RecordingCallback callback;
        QStringList filesAfterAbort{u"<not aborted>"_s};
        callback.onProgress = [&](const RecordingCallback::Progress &p) {
            if (p.status == BINDSTATUS_MIMETYPEAVAILABLE && p.text == u"text/html"_s) {
                QCOMPARE(callback.binding->Abort(), S_OK);
                filesAfterAbort = filesIn(m_dir.path());
            }
        };
        QCOMPARE(
            m_service.URLDownloadToFile(nullptr, m_server.url(u"/page"_s), m_target, 0, &callback),
            E_ABORT);
        QCOMPARE(filesAfterAbort, QStringList());
        QCOMPARE(callback.stopResult, E_ABORT);
        QVERIFY(!callback.statuses().contains(BINDSTATUS_BEGINDOWNLOADDATA));
        QVERIFY(filesIn(m_dir.path()).isEmpty());
    }

    // Past the first 4 MiB a body goes to the disk on a thread of its own. A slow disk holds
    // the network back: never more than 8 MiB wait in memory, and reading resumes as the
    // disk catches up. The bytes arrive whole and in order, and only then is the file
    // put under its name.
    void largeBodiesReachTheDiskWholeAndInOrder_data() {
        QTest::addColumn<int>("diskMiBps"); // 0: as fast as it goes
        QTest::addRow("fast disk") << 0;
        QTest::addRow("slow disk") << 40;
    }
    void largeBodiesReachTheDiskWholeAndInOrder() {
        QFETCH(int, diskMiBps);
        const QByteArray body = pattern(24 * 1024 * 1024 + 17);
        m_server.route(u"/big.rar"_s, serving(body));
        DownloadService service(&m_network);
        service.setTransferTimeout(10'000); // a lost resume fails instead of hanging
        std::atomic<qint64> mostQueued = 0;
        std::atomic<int> chunks = 0;
        service.setDiskWait([&](qint64 chunk, qint64 queued) {
            mostQueued = std::max<qint64>(mostQueued, queued);
            ++chunks;
            if (diskMiBps > 0)
                std::this_thread::sleep_for(
                    std::chrono::microseconds(chunk * 1'000'000 / (diskMiBps * 1024 * 1024)));
        });
        RecordingCallback callback;
        QCOMPARE(
            service.URLDownloadToFile(nullptr, m_server.url(u"/big.rar"_s), m_target, 0, &callback),
            S_OK);
        QVERIFY(chunks > 0); // the writer thread did write
        QVERIFY(readAll(m_target) == body);
        QCOMPARE(filesIn(m_dir.path()), QStringList{u"attachment.rar"_s});
        if (diskMiBps > 0) {
            // The queue, the chunk at hand included, never takes more than it has room for.
            QVERIFY2(mostQueued <= 8 * 1024 * 1024,
                     qPrintable(u"%1 bytes waited for the disk"_s.arg(mostQueued.load())));
        }
    }

    // A transfer long enough to report its progress on the way, about 30 times a second,
    // not only at its beginning and end.
    void longTransfersReportAsTheyGo() {
        Reply slow = serving({});
        slow.generator = [](std::int64_t offset, char *data, std::size_t length) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
            for (std::size_t i = 0; i < length; ++i)
                data[i] = char((offset + std::int64_t(i)) & 0xff);
        };
        slow.size = 16 * 32 * 1024;
        slow.chunkSize = 32 * 1024; // 16 pieces, 25 ms apart: about 400 ms
        m_server.route(u"/slow.rar"_s, slow);
        RecordingCallback callback;
        QCOMPARE(m_service.URLDownloadToFile(nullptr, m_server.url(u"/slow.rar"_s), m_target, 0,
                                             &callback),
                 S_OK);
        QList<qint64> reported;
        for (const RecordingCallback::Progress &p : std::as_const(callback.progress)) {
            if (p.status == BINDSTATUS_DOWNLOADINGDATA)
                reported.append(p.progress);
        }
        QVERIFY2(reported.size() >= 4, qPrintable(QString::number(reported.size())));
        QVERIFY(std::is_sorted(reported.cbegin(), reported.cend()));
        // The last piece may arrive before the next report is due, so a report of the whole
        // is fine; one from the middle is what shows the transfer reporting as it goes.
        QVERIFY(reported.constFirst() > 0);
        QVERIFY(std::any_of(reported.cbegin(), reported.cend(),
                            [&](qint64 bytes) { return bytes < slow.size; }));
        QCOMPARE(QFileInfo(m_target).size(), slow.size);
    }

    // A compressed body is saved inflated. Its Content-Length counts the compressed bytes,
    // so the size shown is unknown; "none", which forums send, is no compression.
    void compressedBodiesAreSavedInflated_data() {
        QTest::addColumn<QByteArray>("coding");
        QTest::newRow("gzip") << "gzip"_ba;
        QTest::newRow("deflate, zlib-wrapped") << "deflate"_ba;
        QTest::newRow("deflate, raw") << "deflate raw"_ba;
        QTest::newRow("none") << "none"_ba;
    }
    void compressedBodiesAreSavedInflated() {
        QFETCH(QByteArray, coding);
        const QByteArray file = noise(256 * 1024) + pattern(300 * 1024);
        Reply reply = serving(coding == "gzip"          ? gzip(file)
                              : coding == "deflate"     ? qCompress(file).mid(4)
                              : coding == "deflate raw" ? qCompress(file).mid(6).chopped(4)
                                                        : file);
        reply.headers = {{"Content-Encoding", coding.split(' ').constFirst()}};
        m_server.route(u"/packed.rar"_s, reply);
        RecordingCallback callback;
        QCOMPARE(m_service.URLDownloadToFile(nullptr, m_server.url(u"/packed.rar"_s), m_target, 0,
                                             &callback),
                 S_OK);
        QVERIFY(readAll(m_target) == file);
        const qint64 shownSize = coding == "none" ? file.size() : 0; // 0: not known
        for (const RecordingCallback::Progress &p : std::as_const(callback.progress)) {
            if (p.status >= BINDSTATUS_BEGINDOWNLOADDATA && p.status <= BINDSTATUS_ENDDOWNLOADDATA)
                QCOMPARE(p.max, shownSize);
        }
    }

    // A small body may inflate to gigabytes: it is saved whole, and memory does not grow
    // with it, as the session holds the network back while the disk catches up.
    void aCompressionBombIsSavedWholeInLittleMemory() {
        constexpr qint64 Size = qint64(1) << 30;
        m_server.route(u"/zeros.rar"_s, test::GzipOfZeros(Size));
        DownloadService service(&m_network);
        service.setTransferTimeout(10'000); // a lost resume fails instead of hanging
        RecordingCallback callback;
        qint64 grownKiB = -1;
        {
            MemoryGrowth growth;
            callback.onProgress = [&](const RecordingCallback::Progress &) {
                growth.sample();
            };
            QCOMPARE(service.URLDownloadToFile(nullptr, m_server.url(u"/zeros.rar"_s), m_target, 0,
                                               &callback),
                     S_OK);
            grownKiB = growth.mostKiB();
        }
        if (grownKiB >= 0) // where it can be measured
            QVERIFY2(grownKiB < 64 * 1024, qPrintable(u"grew by %1 KiB"_s.arg(grownKiB)));
        QCOMPARE(QFileInfo(m_target).size(), Size);
        QVERIFY(looksAllZeros(m_target));
    }

    // A web page where the file was expected is the forum asking to log in or reporting an
    // error: the transfer fails by itself, before any byte is kept, whatever the caller does.
    // Without a Content-Type the first bytes tell, as a browser sniffs them.
    void aWebPageFailsBeforeAnyByteIsKept_data() {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("mediaType"); // as reported; null: none is
        QTest::addColumn<bool>("page");
        const auto answer = [](QByteArray contentType, QByteArray body) {
            Reply reply = serving(std::move(body));
            reply.contentType = std::move(contentType);
            return reply;
        };
        const QByteArray archive = "Rar!\x1a\x07\x00<html>"_ba;
        const QByteArray login = "\n  <!DOCTYPE html>\n<html><body>请登录"_ba;
        QTest::newRow("text/html")
            << answer("text/html; charset=gbk", archive) << u"text/html"_s << true;
        QTest::newRow("xhtml") << answer("Application/XHTML+XML", archive)
                               << u"application/xhtml+xml"_s << true;
        QTest::newRow("log-in page") << answer({}, login) << u"text/html"_s << true;
        QTest::newRow("lower-case tag")
            << answer({}, "<p>please log in</p>"_ba) << u"text/html"_s << true;
        QTest::newRow("comment first") << answer({}, "<!-- login -->"_ba) << u"text/html"_s << true;
        // The first bytes to arrive may be too few to tell: "\n  <" is no page yet.
        Reply trickled = answer({}, login);
        trickled.size = login.size();
        trickled.chunkSize = 4;
        trickled.generator = [login](std::int64_t offset, char *data, std::size_t length) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            std::copy_n(login.constData() + offset, length, data);
        };
        QTest::newRow("log-in page in small pieces") << trickled << u"text/html"_s << true;
        QTest::newRow("archive") << answer({}, archive) << QString() << false;
        QTest::newRow("text") << answer({}, "<htmlish but not html"_ba) << QString() << false;
        QTest::newRow("typed archive that looks like a page")
            << answer("application/x-rar-compressed", login) << u"application/x-rar-compressed"_s
            << false;
    }
    void aWebPageFailsBeforeAnyByteIsKept() {
        QFETCH(Reply, reply);
        QFETCH(QString, mediaType);
        QFETCH(bool, page);
        m_server.route(u"/login.rar"_s, reply);
        const QString url = m_server.url(u"/login.rar"_s);
        RecordingCallback callback;
        const HResult result = m_service.URLDownloadToFile(nullptr, url, m_target, 0, &callback);
        QCOMPARE(result, page ? INET_E_DOWNLOAD_FAILURE : S_OK);
        QCOMPARE(callback.stopResult, result);
        const QList<quint32> codes = callback.statuses();
        const qsizetype mime = codes.indexOf(BINDSTATUS_MIMETYPEAVAILABLE);
        QCOMPARE(mime >= 0, !mediaType.isNull());
        if (mime >= 0)
            QCOMPARE(callback.progress[mime].text, mediaType);
        QCOMPARE(codes.contains(BINDSTATUS_BEGINDOWNLOADDATA), !page);
        if (page)
            QCOMPARE(filesIn(m_dir.path()), QStringList());
        else
            QCOMPARE(readAll(m_target), reply.body);

        // Without a callback to report to, alike.
        QFile::remove(m_target);
        QCOMPARE(m_service.URLDownloadToFile(nullptr, url, m_target, 0, nullptr), result);
        QCOMPARE(filesIn(m_dir.path()).size(), page ? 0 : 1);
    }

    void anEmptyAnswerIsAnEmptyFile() {
        m_server.route(u"/empty.rar"_s, serving({}));
        RecordingCallback callback;
        QCOMPARE(m_service.URLDownloadToFile(nullptr, m_server.url(u"/empty.rar"_s), m_target, 0,
                                             &callback),
                 S_OK);
        QVERIFY(QFileInfo(m_target).isFile());
        QCOMPARE(QFileInfo(m_target).size(), 0);
    }

private:
    // A file already under the target name, which no failure may touch.
    bool placeOldTarget() const {
        QFile old(m_target);
        return old.open(QIODevice::WriteOnly) && old.write("old") == 3;
    }

    QTemporaryDir m_dir;
    QString m_target;
    LoopbackServer m_server;
    NetworkSession m_network;
    DownloadService m_service = [this] {
        DownloadService service(&m_network);
        service.setTransferTimeout(300);
        return service;
    }();
};

QTEST_GUILESS_MAIN(TestDownloadService)
#include "tst_download_service.moc"
