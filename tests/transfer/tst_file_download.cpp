#include "net/network_session.h"
#include "support/loopback_server.h"
#include "transfer/file_download.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <memory>

using namespace Qt::StringLiterals;
using namespace quillmere;
using quillmere::test::LoopbackServer;
using quillmere::test::Reply;

namespace {

QByteArray pattern(qsizetype size) {
    QByteArray data(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        data[i] = char((i * 7 + i / 251) & 0xff);
    return data;
}

// A file, not a page: the service refuses a page by itself.
Reply serving(QByteArray body) {
    Reply reply;
    reply.contentType = "application/octet-stream";
    reply.body = std::move(body);
    return reply;
}

// A binding that only counts what is done to it.
class CountingBinding final : public IBinding {
public:
    int refs = 1; // the reference its creator holds
    int aborts = 0;
    quint32 AddRef() override { return quint32(++refs); }
    quint32 Release() override { return quint32(--refs); }
    HResult Abort() override {
        ++aborts;
        return S_OK;
    }
};

} // namespace

class TestFileDownload : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        QVERIFY(m_dir.isValid());
        for (const QString &name : files())
            QFile::remove(m_dir.filePath(name));
        m_target = m_dir.filePath(u"a.rar"_s);
    }

    // A second start from a handler is refused and leaves the running transfer alone.
    void downloadsWhileRefusingASecondStart() {
        const QByteArray body = pattern(2 * 1024 * 1024);
        m_server.route(u"/a.rar"_s, serving(body));
        CFileDownload download(&m_network);
        QList<qint64> progress;
        QList<bool> secondStarts;
        connect(&download, &CFileDownload::OnProgress, this, [&](qint64 done, qint64 max) {
            if (done > 0)
                QCOMPARE(max, qint64(body.size()));
            progress.append(done);
            if (secondStarts.isEmpty())
                secondStarts.append(download.StartDownloading(m_server.url(u"/a.rar"_s),
                                                              m_dir.filePath(u"b.rar"_s)));
        });

        QVERIFY(download.StartDownloading(m_server.url(u"/a.rar"_s), m_target));
        QCOMPARE(secondStarts, QList<bool>{false});
        QCOMPARE(m_server.hits(u"/a.rar"_s), 1);
        QCOMPARE(files(), QStringList{u"a.rar"_s});
        QFile file(m_target);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), body);
        QVERIFY(std::is_sorted(progress.cbegin(), progress.cend()));
        QCOMPARE(progress.constLast(), qint64(body.size()));
        QVERIFY(!download.isBusy());
        QCOMPARE(download.bindState(), 0);
        QVERIFY(download.binding());
    }

    void abortFromHandlerEndsTheCall() {
        stallingRoute();
        QFile old(m_target);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
        old.close();

        CFileDownload download(&m_network);
        download.setTransferTimeout(0); // a lost abort hangs the test instead of timing out
        bool busyAfterAbort = true;
        QStringList filesAfterAbort;
        connect(&download, &CFileDownload::OnProgress, this, [&](qint64, qint64, qint32 code) {
            if (code != BINDSTATUS_BEGINDOWNLOADDATA)
                return;
            download.AbortDownloading();
            busyAfterAbort = download.isBusy();
            filesAfterAbort = files();
        });
        QVERIFY(!download.StartDownloading(m_server.url(u"/stall"_s), m_target));
        QVERIFY(!busyAfterAbort);
        QCOMPARE(filesAfterAbort, QStringList{u"a.rar"_s});
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), QByteArray("old"));
        QCOMPARE(download.bindState(), 0);
        m_server.releaseStalls();
    }

    void destroyedFromHandlerDuringTransfer() {
        stallingRoute();
        auto *download = new CFileDownload(&m_network);
        download->setTransferTimeout(0);
        connect(download, &CFileDownload::OnProgress, this, [&](qint64, qint64, qint32 code) {
            if (code == BINDSTATUS_BEGINDOWNLOADDATA)
                delete download;
        });
        QVERIFY(!download->StartDownloading(m_server.url(u"/stall"_s), m_target));
        QVERIFY(files().isEmpty());
        m_server.releaseStalls();
    }

    void bindingReferenceCounting() {
        CountingBinding first, second;
        auto download = std::make_unique<CFileDownload>(&m_network);
        IBindStatusCallback *callback = download->bindStatusCallback();

        callback->OnStartBinding(0, &first);
        QCOMPARE(first.refs, 3); // creator, stored reference, extra reference
        QVERIFY(download->isBusy());
        QCOMPARE(download->bindState(), 1);
        QVERIFY(!download->StartDownloading(m_server.url(u"/never"_s), m_target));
        QCOMPARE(m_server.hits(u"/never"_s), 0);

        download->AbortDownloading();
        QCOMPARE(first.aborts, 1);
        QVERIFY(!download->isBusy());
        QCOMPARE(download->bindState(), 1);
        QCOMPARE(first.refs, 3);

        callback->OnStopBinding(E_ABORT, nullptr);
        QCOMPARE(first.refs, 2);
        QCOMPARE(download->bindState(), 0);
        QCOMPARE(download->binding(), &first);
        download->AbortDownloading(); // nothing running: only clears the busy flag
        QCOMPARE(first.aborts, 1);

        callback->OnStartBinding(0, &second);
        QCOMPARE(first.refs, 1);
        QCOMPARE(second.refs, 3);
        download.reset(); // without OnStopBinding: both of its references go, once each
        QCOMPARE(second.refs, 1);
        QCOMPARE(first.refs, 1);
    }

    // Abort, then start again from a handler: the second binding begins before the first
    // one stops, and the first must not keep its extra reference for ever.
    void restartAfterAbortReleasesTheFirstBinding() {
        CountingBinding first, second;
        CFileDownload download(&m_network);
        IBindStatusCallback *callback = download.bindStatusCallback();
        callback->OnStartBinding(0, &first);
        download.AbortDownloading();
        callback->OnStartBinding(0, &second);
        QCOMPARE(first.refs, 1);
        QCOMPARE(second.refs, 3);
        callback->OnStopBinding(S_OK, nullptr); // the second ends first: it runs nested
        callback->OnStopBinding(E_ABORT, nullptr);
        QCOMPARE(first.refs, 1);
        QCOMPARE(second.refs, 2);
        QCOMPARE(download.bindState(), 0);
    }

    void progressEventCarriesValues_data() {
        QTest::addColumn<qint64>("done");
        QTest::addColumn<qint64>("max");
        QTest::addColumn<quint32>("code");
        QTest::addColumn<QString>("text");
        QTest::addRow("null text") << qint64(1) << qint64(2) << quint32(5) << QString();
        QTest::addRow("text") << qint64(0) << qint64(0) << quint32(13) << u"text/html"_s;
        QTest::addRow("past 2^31")
            << (qint64(1) << 31) + 5 << (qint64(3) << 30) << quint32(5) << u"下载"_s;
        QTest::addRow("past 2^32")
            << (qint64(9) << 29) << (qint64(9) << 29) << quint32(6) << u"x"_s;
    }
    void progressEventCarriesValues() {
        QFETCH(qint64, done);
        QFETCH(qint64, max);
        QFETCH(quint32, code);
        QFETCH(QString, text);
        CFileDownload download(&m_network);
        QSignalSpy events(&download, &CFileDownload::OnProgress);
        const auto *raw =
            reinterpret_cast<const char16_t *>(text.isNull() ? nullptr : text.utf16());
        QCOMPARE(download.bindStatusCallback()->OnProgress(done, max, code, raw), S_OK);
        QCOMPARE(events.count(), 1);
        const QList<QVariant> event = events.takeFirst();
        QCOMPARE(event.at(0).toLongLong(), done);
        QCOMPARE(event.at(1).toLongLong(), max);
        QCOMPARE(event.at(2).toInt(), qint32(code));
        QCOMPARE(event.at(3).toString(), text.isNull() ? u""_s : text);
    }

    void strFromPtr_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("unicode");
        QTest::addColumn<QString>("expected");
        QTest::addRow("null utf-16") << QByteArray() << true << u""_s;
        QTest::addRow("null 8-bit") << QByteArray() << false << u""_s;
        QTest::addRow("utf-16") << QByteArray("\x0b\x4e\x7d\x8f\0\0", 6) << true << u"下载"_s;
        QTest::addRow("gb18030") << QByteArray("\xcf\xc2\xd4\xd8") << false << u"下载"_s;
    }
    void strFromPtr() {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, unicode);
        QFETCH(QString, expected);
        alignas(char16_t) char buffer[16] = {};
        std::copy(bytes.cbegin(), bytes.cend(), buffer);
        QCOMPARE(CFileDownload::StrFromPtr(bytes.isNull() ? nullptr : buffer, unicode), expected);
    }

private:
    QStringList files() const { return QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden); }
    void stallingRoute() {
        Reply reply = serving(pattern(1024 * 1024));
        reply.stallAfter = 128 * 1024;
        m_server.route(u"/stall"_s, reply);
    }

    QTemporaryDir m_dir;
    QString m_target;
    LoopbackServer m_server;
    NetworkSession m_network;
};

QTEST_GUILESS_MAIN(TestFileDownload)
#include "tst_file_download.moc"
