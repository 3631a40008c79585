#include "analysis/attachment_list.h"
#include "app/main_window.h"
#include "net/network_session.h"
#include "release/release_info.h"
#include "release/version_check.h"
#include "support/fake_platform.h"
#include "support/loopback_server.h"
#include "transfer/file_download.h"

#include <QDir>
#include <QLineEdit>
#include <QNetworkProxy>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;
using quillmere::frmMain;
using quillmere::NetworkSession;
using quillmere::PageLoader;
using quillmere::test::FakePlatform;
using quillmere::test::LoopbackServer;
using quillmere::test::Reply;
namespace release = quillmere::release;

Q_DECLARE_METATYPE(Reply)

namespace {

const QString Latest = release::LatestNotice.toString();
const QString Newer = release::NewerNotice.toString();
// A caption the window never shows, to see whether a check touched Label4 at all.
const QString Untouched = u"(untouched)"_s;

// The marker and ten more characters: the version follows as the 16th character.
const QByteArray Lead = "myver =========";

Reply page(const QByteArray &body) {
    return Reply{.body =
                     "<html><head><title>Quillmere</title></head><body>" + body + "</body></html>"};
}

Reply releasePage(const QByteArray &version) {
    return page("<p>Quillmere release thread</p>" + Lead + version + "<p>downloads</p>");
}

// What a check must leave alone.
struct OtherControls {
    explicit OtherControls(const frmMain &w)
        : label5(w.Label5->caption())
        , totals(w.L_tj->caption())
        , time(w.L_Time->caption())
        , thread(w.Text1->text())
        , folder(w.Text2->text())
        , entries(w.attachments()->ListCount())
        , title(w.windowTitle()) {}
    bool operator==(const OtherControls &) const = default;

    QString label5, totals, time, thread, folder;
    int entries;
    QString title;
};

} // namespace

class TestMainWindowRelease : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        QVERIFY(m_dir.isValid());
        m_server = std::make_unique<LoopbackServer>();
        m_server->route(release::releaseThreadAddress(), releasePage("1.4"));
        // The server plays the session's http proxy, so the real release-thread address is
        // answered by the test and nothing leaves the machine.
        m_network = std::make_unique<NetworkSession>();
        m_network->setProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, u"127.0.0.1"_s, quint16(m_server->port())));
        m_platform = std::make_unique<FakePlatform>();
        m_platform->folder = m_dir.path();
    }
    void cleanup() {
        m_window.reset();
        m_platform.reset();
        m_network.reset();
        m_server.reset();
    }

    void startUpChecksTheReleaseThread() {
        m_server->route(release::releaseThreadAddress(), releasePage("1.5"));
        createWindow();
        QCOMPARE(m_window->Label4->caption(), Latest); // until the page is in
        QCOMPARE(m_window->ticks(), 0);
        QSignalSpy complete(m_window->Ie3, &PageLoader::DocumentComplete);
        QVERIFY(complete.wait());
        QCOMPARE(complete[0][0].toString(), release::releaseThreadAddress());
        QCOMPARE(m_window->Label4->caption(), Newer);
        QCOMPARE(m_server->hits(release::releaseThreadAddress()), 1);
        QVERIFY(m_platform->messages.isEmpty());
        QVERIFY(m_platform->opened.isEmpty());
    }

    void releasePages_data() {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("notice");

        QTest::newRow("1.4") << releasePage("1.4") << Latest;
        QTest::newRow("1.4.2") << releasePage("1.4.2") << Latest;
        QTest::newRow("1.41") << releasePage("1.41") << Newer;
        QTest::newRow("1.3") << releasePage("1.3") << Newer;
        QTest::newRow("marker near the start") << page(Lead + "1.4 and the rest") << Latest;
        QTest::newRow("marker in the last 15") << page("<p>Quillmere</p>" + Lead) << Newer;
        QTest::newRow("no marker") << page("<p>Quillmere 1.5</p>") << Untouched;
        QTest::newRow("MYVER only") << page("MYVER =========1.5") << Untouched;
        QTest::newRow("marker twice") << page(Lead + "1.5<p>old post</p>" + Lead + "1.4") << Newer;
        QTest::newRow("marker in the head only")
            << Reply{.body = "<html><head><title>myver =========1.5</title></head>"
                             "<body>Quillmere</body></html>"}
            << Untouched;
        QTest::newRow("not a web page")
            << Reply{.contentType = "text/plain", .body = Lead + "1.5"} << Untouched;
    }
    void releasePages() {
        QFETCH(Reply, reply);
        QFETCH(QString, notice);
        createWindow();
        route(u"/release.html"_s, reply);
        m_window->Label4->setCaption(Untouched);

        QSignalSpy complete(m_window->Ie3, &PageLoader::DocumentComplete);
        m_window->Ie3->Navigate(m_server->url(u"/release.html"_s));
        QVERIFY(complete.wait());
        QCOMPARE(complete.last()[0].toString(), m_server->url(u"/release.html"_s));
        QCOMPARE(m_window->Label4->caption(), notice);
        QVERIFY(m_platform->messages.isEmpty());
    }

    void failedLoadIsCancelledQuietly() {
        createWindow();
        m_window->Label4->setCaption(Untouched);
        bool cancelled = false;
        // Connected after the window's own handler, so it sees what that handler left.
        connect(m_window->Ie3, &PageLoader::NavigateError, this,
                [&](const QString &, bool *Cancel) { cancelled = *Cancel; });
        QSignalSpy failed(m_window->Ie3, &PageLoader::NavigateError);

        m_window->Ie3->Navigate(m_server->url(u"/no-such-thread.html"_s)); // 404
        QVERIFY(failed.wait());
        QVERIFY(cancelled);
        QCOMPARE(m_window->Label4->caption(), Untouched);
        QVERIFY(m_platform->messages.isEmpty());
        QVERIFY(m_platform->opened.isEmpty());
    }

    void everyFifthTickChecksAgain() {
        createWindow();
        QSignalSpy complete(m_window->Ie3, &PageLoader::DocumentComplete);
        QVERIFY(complete.wait()); // the start-up check
        QCOMPARE(m_window->Timer1->interval(), 60'000);
        QVERIFY(m_window->Timer1->isActive());

        for (int round = 1; round <= 2; ++round) {
            // A load of our own that a check would abandon: it only completes when the
            // four ticks before the fifth leave Ie3 alone.
            route(u"/elsewhere.html"_s, releasePage("1.5"));
            complete.clear();
            m_window->Ie3->Navigate(m_server->url(u"/elsewhere.html"_s));
            for (int tick = 1; tick <= 4; ++tick) {
                tickTimer1();
                QCOMPARE(m_window->ticks(), tick);
            }
            QVERIFY(complete.wait());
            QCOMPARE(complete.last()[0].toString(), m_server->url(u"/elsewhere.html"_s));
            QCOMPARE(m_window->Label4->caption(), Newer);

            complete.clear();
            tickTimer1();
            QCOMPARE(m_window->ticks(), 0);
            QVERIFY(complete.wait());
            QCOMPARE(complete.last()[0].toString(), release::releaseThreadAddress());
            QCOMPARE(m_window->Label4->caption(), Latest);
            QCOMPARE(m_server->hits(release::releaseThreadAddress()), 1 + round);
        }
    }

    void checkDuringADownloadChangesOnlyLabel4() {
        createWindow();
        showWindow();
        route(u"/release.html"_s, releasePage("1.5"));
        constexpr qint64 stallAt = 16 * 1024;
        route(u"/big.rar"_s,
              Reply{.contentType = "application/octet-stream",
                    .generator = [](std::int64_t, char *data,
                                    std::size_t length) { std::fill_n(data, length, 'r'); },
                    .size = 1024 * 1024,
                    .delayMs = 20,
                    .stallAfter = stallAt});
        quillmere::CFileDownload &download = *m_window->fileDownload();

        // Once the transfer has stalled (no more progress events to come), check from
        // inside its wait and compare everything before and after.
        std::optional<OtherControls> before;
        std::optional<OtherControls> after;
        QString noticeAfter;
        bool busyAfterCheck = false;
        bool busyAfterClick = false;
        bool checking = false;
        connect(&download, &quillmere::CFileDownload::OnProgress, this, [&](qint64 progress) {
            if (progress < stallAt || checking)
                return;
            checking = true;
            QTimer::singleShot(0, this, [&] {
                before.emplace(*m_window);
                m_window->Ie3->Navigate(m_server->url(u"/release.html"_s));
            });
        });
        connect(m_window->Ie3, &PageLoader::DocumentComplete, this, [&] {
            if (!checking)
                return;
            after.emplace(*m_window);
            noticeAfter = m_window->Label4->caption();
            busyAfterCheck = download.isBusy();
            // A link clicked meanwhile opens its address and leaves the transfer running.
            QTest::mouseClick(m_window->Label6, Qt::LeftButton);
            busyAfterClick = download.isBusy();
            download.AbortDownloading();
        });
        // Should the check never arrive, the transfer must not hang the test.
        QTimer giveUp;
        giveUp.setSingleShot(true);
        connect(&giveUp, &QTimer::timeout, &download, &quillmere::CFileDownload::AbortDownloading);
        giveUp.start(30'000);

        const QString target = m_dir.filePath(u"big.rar"_s);
        QVERIFY(!download.StartDownloading(m_server->url(u"/big.rar"_s), target));
        QVERIFY(before && after);
        QCOMPARE(noticeAfter, Newer);
        QVERIFY(*before == *after);
        QVERIFY(busyAfterCheck);
        QVERIFY(busyAfterClick);
        QCOMPARE(m_platform->opened, QList<QUrl>{QUrl(release::forumHome())});
        QVERIFY(m_platform->messages.isEmpty());
    }

    void linksOpenTheirAddress_data() {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("caption"); // Label4's, to show either notice
        QTest::addColumn<QUrl>("address");
        const QUrl thread(release::releaseThreadAddress());
        QTest::newRow("Label4, latest") << u"Label4"_s << Latest << thread;
        QTest::newRow("Label4, newer") << u"Label4"_s << Newer << thread;
        QTest::newRow("Label14") << u"Label14"_s << Latest << thread;
        QTest::newRow("Command7") << u"Command7"_s << Latest << thread;
        QTest::newRow("Label6") << u"Label6"_s << Latest << QUrl(release::forumHome());
        QTest::newRow("Label7") << u"Label7"_s << Latest << QUrl(release::mailLink());
    }
    void linksOpenTheirAddress() {
        QFETCH(QString, control);
        QFETCH(QString, caption);
        QFETCH(QUrl, address);
        createWindow();
        showWindow();
        m_window->Label4->setCaption(caption);
        QWidget *clicked = control == u"Label4"    ? m_window->Label4
                           : control == u"Label14" ? m_window->Label14
                           : control == u"Label6"  ? m_window->Label6
                           : control == u"Label7"  ? m_window->Label7
                                                   : static_cast<QWidget *>(m_window->Command7);
        const OtherControls before(*m_window);

        QTest::mouseClick(clicked, Qt::LeftButton);
        QCOMPARE(m_platform->opened, QList<QUrl>{address});
        // Each click opens the address afresh.
        QTest::mouseClick(clicked, Qt::LeftButton);
        QCOMPARE(m_platform->opened, (QList<QUrl>{address, address}));
        QVERIFY(OtherControls(*m_window) == before);
        QCOMPARE(m_window->Label4->caption(), caption);
        QVERIFY(m_platform->messages.isEmpty());
    }

    void addressesAreTheForums() {
        const QUrl thread(release::releaseThreadAddress());
        QCOMPARE(thread.scheme(), u"http"_s);
        QCOMPARE(thread.host(), release::ForumHost.toString());
        QCOMPARE(thread.path(), u"/thread-142312-1-1.html"_s);
        const QUrl home(release::forumHome());
        QCOMPARE(home.host(), release::ForumHost.toString());
        QCOMPARE(home.path(), u"/"_s);
        QCOMPARE(QUrl(release::mailLink()).scheme(), u"mailto"_s);
        QCOMPARE(QUrl(release::mailLink()).path(), release::AuthorMail.toString());
    }

    void folderPicker_data() {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("folder");
        QTest::newRow("cancelled") << QString() << QString();
        QTest::newRow("root") << u"/"_s << QDir::toNativeSeparators(u"/"_s);
        QTest::newRow("ordinary folder")
            << u"/srv/附件 下载/"_s << QDir::toNativeSeparators(u"/srv/附件 下载"_s);
#ifdef Q_OS_WIN
        QTest::newRow("drive root") << u"C:/"_s << u"C:\\"_s;
#endif
    }
    void folderPicker() {
        QFETCH(QString, answer);
        QFETCH(QString, folder);
        createWindow();
        showWindow();
        // A folder typed but not yet used or saved.
        m_window->Text2->clear();
        m_window->Text2->setFocus();
        QTest::keyClicks(m_window->Text2, u"/home/typed"_s);
        QVERIFY(m_window->Text2->isModified());
        m_platform->chosenFolder = answer;

        QTest::mouseClick(m_window->Command1, Qt::LeftButton);
        QCOMPARE(m_platform->dialogTitles, QStringList{u"请选择附件保存的目录."_s});
#ifdef Q_OS_WIN
        QCOMPARE(m_platform->dialogStarts,
                 QStringList{u"clsid:0AC0837C-BBF8-452A-850D-79D08E667CA7"_s});
#else
        QCOMPARE(m_platform->dialogStarts, QStringList{u"/"_s}); // not the typed folder
#endif
        if (folder.isEmpty()) {
            QCOMPARE(m_window->Text2->text(), u"/home/typed"_s);
            QVERIFY(m_window->Text2->isModified());
        } else {
            QCOMPARE(m_window->Text2->text(), folder);
        }
        QVERIFY(m_platform->messages.isEmpty());
    }

private:
    // Every request goes through the proxy, loopback addresses too: the server sees its own
    // pages asked for by their whole address.
    void route(const QString &path, Reply reply) {
        m_server->route(m_server->url(path), std::move(reply));
    }
    void createWindow() {
        m_window = std::make_unique<frmMain>(m_network.get(), *m_platform);
    }
    void showWindow() {
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }
    void tickTimer1() {
        QVERIFY(QMetaObject::invokeMethod(m_window->Timer1, "timeout"));
    }

    QTemporaryDir m_dir;
    std::unique_ptr<LoopbackServer> m_server;
    std::unique_ptr<NetworkSession> m_network;
    std::unique_ptr<FakePlatform> m_platform;
    std::unique_ptr<frmMain> m_window;
};

QTEST_MAIN(TestMainWindowRelease)
#include "tst_main_window_release.moc"
