#include "analysis/attachment_list.h"
#include "app/main_window.h"
#include "app/termination.h"
#include "net/network_session.h"
#include "release/release_info.h"
#include "settings/settings.h"
#include "support/encoded.h"
#include "support/fake_platform.h"
#include "support/line_end.h"
#include "support/loopback_server.h"
#include "transfer/file_download.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListView>
#include <QNetworkProxy>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <csignal>

using namespace Qt::StringLiterals;
using namespace quillmere;
using quillmere::test::FakePlatform;
using quillmere::test::LoopbackServer;
using quillmere::test::Reply;

namespace {

QRect twips(int left, int top, int width, int height) {
    return {left / 15, top / 15, width / 15, height / 15};
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        m_platform.folder = m_dir->path();
        m_platform.messages.clear();
        m_platform.processEnds = 0;
    }

    void startsWithTheDesignedState() {
        frmMain window(&m_network, m_platform);
        QCOMPARE(window.windowTitle(), u"Quillmere  Ver 1.4"_s);
        QCOMPARE(window.size(), frmMain::DesignedClientSize);
        QCOMPARE(window.L_tj->text(), u"附件总数：0"_s);
        QCOMPARE(window.Label4->text(), u"该版本已经是最新版。"_s);
        QCOMPARE(window.Label5->text(),
                 u"当前状态：请输入帖子链接并选择保存目录后点击分析帖子链接。"_s);
        QCOMPARE(window.Label6->text(), u"DIYBrennhall："_s + release::ForumHost.toString());
        QVERIFY(!window.Check1->isChecked());
        QCOMPARE(window.Check1->text(),
                 u"新附件添加到原附件列表。勾选此项，可实现多帖附件批量下载。"_s);
        QCOMPARE(window.attachments()->ListCount(), 0);
        QCOMPARE(window.Text1->text(), QString());
        QCOMPARE(window.Text2->text(), QDir::toNativeSeparators(QDir::rootPath()));
        QCOMPARE(window.L_Time->text(), QString());
        QCOMPARE(window.Command4->text(), u"分析帖子链接(&F)"_s);
        QCOMPARE(window.Command2->text(), u"开始下载(&D)"_s);
        QCOMPARE(window.Command7->text(), u"使用说明(&H)"_s);
        QCOMPARE(window.Command3->text(), u"退出(&C)"_s);
        QCOMPARE(window.Command5->text(), u"全选(&A)"_s);
        QCOMPARE(window.Command6->text(), u"全消(&X)"_s);
        QCOMPARE(window.Command1->text(), u"浏览..."_s);
        QCOMPARE(window.Timer1->interval(), 60'000);
        QVERIFY(window.Timer1->isActive());
        QVERIFY(window.fileDownload());
        QVERIFY(!window.fileDownload()->isBusy());
        QVERIFY(window.IE1->Silent() && window.IE2->Silent() && window.Ie3->Silent());
        QCOMPARE(g_sAppPath, QDir::toNativeSeparators(m_dir->path()) + QDir::separator());
        for (QWidget *w : window.findChildren<QWidget *>())
            QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));
    }

    void controlsSitWhereDesigned() {
        frmMain window(&m_network, m_platform);
        QCOMPARE(window.Text1->geometry(), twips(1080, 180, 8175, 300));
        QCOMPARE(window.Text2->geometry(), twips(1080, 600, 7215, 300));
        QCOMPARE(window.Command1->geometry(), twips(8280, 600, 975, 300));
        QCOMPARE(window.List1->geometry().topLeft(), twips(120, 1680, 0, 0).topLeft());
        QCOMPARE(window.List1->height(), twips(0, 0, 0, 3630).height());
        QCOMPARE(window.Command4->geometry(), twips(480, 5760, 1695, 375));
        QCOMPARE(window.Command2->geometry(), twips(2685, 5760, 1695, 375));
        QCOMPARE(window.Command7->geometry(), twips(4875, 5760, 1695, 375));
        QCOMPARE(window.Command3->geometry(), twips(7080, 5760, 1695, 375));
        QCOMPARE(window.Command5->geometry(), twips(1680, 1380, 1095, 300));
        QCOMPARE(window.Command6->geometry(), twips(2760, 1380, 1095, 300));
        QCOMPARE(window.Label5->geometry(), twips(120, 5400, 9060, 180));
        QCOMPARE(window.Label4->pos(), twips(6240, 6600, 0, 0).topLeft());
        QCOMPARE(window.L_tj->pos(), twips(6360, 1440, 0, 0).topLeft());

        // Auto-size labels take exactly their text's size, also after a change.
        for (FormLabel *label : {window.Label1, window.Label3, window.L_tj, window.Label4,
                                 window.Label6, window.Label7, window.Label14}) {
            QCOMPARE(label->size(), label->fontMetrics().size(Qt::TextSingleLine, label->text()));
        }
        window.L_tj->setCaption(u"附件总数：12 / 已选择：3"_s);
        QCOMPARE(window.L_tj->size(),
                 window.L_tj->fontMetrics().size(Qt::TextSingleLine, window.L_tj->text()));
    }

    void linkLabelsAloneHaveTipsAndTheHand() {
        frmMain window(&m_network, m_platform);
        const QList<FormLabel *> links{window.Label4, window.Label6, window.Label7, window.Label14};
        QCOMPARE(window.Label4->toolTip(), u"点击查看软件发布页面。"_s);
        QCOMPARE(window.Label6->toolTip(), u"点击进入DIYBrennhall"_s);
        QCOMPARE(window.Label7->toolTip(), u"给我发邮件"_s);
        QCOMPARE(window.Label14->toolTip(), u"点击给我提意见。"_s);
        for (FormLabel *link : links) {
            QCOMPARE(link->cursor().shape(), Qt::BitmapCursor);
            QCOMPARE(link->cursor().hotSpot(), QPoint(12, 1));
            QCOMPARE(link->cursor().pixmap().size(), QSize(32, 32));
        }
        for (QWidget *w : window.findChildren<QWidget *>()) {
            if (links.contains(qobject_cast<FormLabel *>(w)))
                continue;
            QVERIFY2(w->toolTip().isEmpty(), w->metaObject()->className());
            QVERIFY(w->cursor().shape() != Qt::BitmapCursor);
        }
        QCOMPARE(window.L_tj->palette().color(QPalette::WindowText), QColor(0, 0, 255));
        QCOMPARE(window.Label14->palette().color(QPalette::WindowText), QColor(0, 0, 128));
        QCOMPARE(window.Label4->palette().color(QPalette::WindowText), QColor(255, 0, 0));
        QCOMPARE(window.palette().color(QPalette::Window), QColor(Qt::white));
        QCOMPARE(window.windowIcon().availableSizes().value(0), QSize(32, 32));
    }

    void tabOrderFollowsTheDesign() {
        frmMain window(&m_network, m_platform);
        const QList<QWidget *> expected{window.Text1,    window.Text2,    window.Command1,
                                        window.List1,    window.Command2, window.Command3,
                                        window.Command4, window.Command5, window.Command6,
                                        window.Command7, window.Check1};
        QWidget *w = window.Text1;
        for (QWidget *next : expected.mid(1)) {
            do
                w = w->nextInFocusChain();
            while (w->focusPolicy() == Qt::NoFocus || !expected.contains(w));
            QCOMPARE(w, next);
        }
    }

    void listWidthFollowsTheWindow_data() {
        QTest::addColumn<int>("width");
        QTest::newRow("designed") << 627;
        QTest::newRow("wider") << 900;
        QTest::newRow("narrower") << 300;
        QTest::newRow("narrower than the margin") << 10;
    }

    void listWidthFollowsTheWindow() {
        QFETCH(int, width);
        frmMain window(&m_network, m_platform);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QRect status = window.Label5->geometry();
        const QRect text1 = window.Text1->geometry();
        const int listHeight = window.List1->height();
        const int listWidth = window.List1->width();

        window.resize(width, window.height() + 40);
        QTRY_COMPARE(window.width(), width);
        // A width the rule cannot give (below zero) leaves the list as it was.
        const int rule = window.frameGeometry().width() - 24;
        QTRY_COMPARE(window.List1->width(), rule >= 0 ? rule : listWidth);
        QCOMPARE(window.List1->height(), listHeight);
        QCOMPARE(window.Label5->geometry(), status);
        QCOMPARE(window.Text1->geometry(), text1);

        window.showMinimized();
        window.showNormal();
        window.resize(700, window.height());
        QTRY_COMPARE(window.List1->width(), window.frameGeometry().width() - 24);
    }

    void storedFolderComesBackTrimmed() {
        QFile ini(m_dir->filePath(u"down.ini"_s));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write(
            quillmere::test::Encoded("GB18030", u"[Option]\r\nLastDir=  /srv/附件 下载  \r\n"));
        ini.close();
        frmMain window(&m_network, m_platform);
        QCOMPARE(window.Text2->text(), u"/srv/附件 下载"_s);
    }

    void loadsBlankAndTheReleaseThread() {
        // The release thread is reached through the session's proxy, which the loopback
        // server plays here, so the real address is asked for.
        LoopbackServer server;
        const QString release = release::releaseThreadAddress();
        server.route(release, Reply{.body = "<body>myver: 1.4</body>"});
        NetworkSession network;
        network.setProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, u"127.0.0.1"_s, quint16(server.port())));

        frmMain window(&network, m_platform);
        QSignalSpy blank(window.IE1, &PageLoader::DocumentComplete);
        QSignalSpy released(window.Ie3, &PageLoader::DocumentComplete);
        QVERIFY(blank.wait());
        QCOMPARE(blank.first().first().toString(), u"about:blank"_s);
        QVERIFY(released.count() > 0 || released.wait());
        QCOMPARE(released.first().first().toString(), release);
        QCOMPARE(server.hits(release), 1);
        QCOMPARE(server.requests().last().header("Host"), release::ForumHost.toUtf8());
    }

    void unloadSavesTheFolderAndEndsTheProcess() {
        auto window = std::make_unique<frmMain>(&m_network, m_platform);
        window->Text2->setText(u"  /data/新文件夹 "_s);
        window->Command3->click();
        QCOMPARE(m_platform.processEnds, 1);
        QVERIFY(!window->fileDownload());
        QCOMPARE(readFile(m_dir->filePath(u"down.ini"_s)),
                 QByteArray("[Option]\r\nLastDir=  /data/") + "\xD0\xC2\xCE\xC4\xBC\xFE\xBC\xD0" +
                     " \r\n");
        window.reset();

        frmMain again(&m_network, m_platform);
        QCOMPARE(again.Text2->text(), u"/data/新文件夹"_s);
        again.Text2->clear();
        again.close();
        frmMain third(&m_network, m_platform);
        QCOMPARE(third.Text2->text(), QDir::toNativeSeparators(QDir::rootPath()));
    }

#ifdef Q_OS_UNIX
    // Ending the desktop session (SIGTERM) unloads as the close box does: the folder is kept.
    void terminationSignalUnloadsTheWindow() {
        frmMain window(&m_network, m_platform);
        CloseOnTerminationSignals(window);
        window.Text2->setText(u"/data/kept"_s);
        QVERIFY(::raise(SIGTERM) == 0);
        QTRY_COMPARE(m_platform.processEnds, 1);
        QCOMPARE(readFile(m_dir->filePath(u"down.ini"_s)),
                 QByteArray("[Option]\r\nLastDir=/data/kept\r\n"));
    }
#endif

    void unloadDuringATransferSavesThenAborts() {
        LoopbackServer server;
        server.route(u"/big.rar"_s, Reply{.contentType = "application/octet-stream",
                                          .body = QByteArray(256 * 1024, 'r'),
                                          .delayMs = 20,
                                          .stallAfter = 64 * 1024});
        QTemporaryDir target;
        frmMain window(&m_network, m_platform);
        window.Text2->setText(target.path());
        CFileDownload *transfer = window.fileDownload();
        bool closedInside = false;
        connect(transfer, &CFileDownload::OnProgress, &window,
                [&](qint64 progress, qint64, qint32, const QString &) {
                    if (progress > 0 && !closedInside) {
                        closedInside = true;
                        // The unload runs nested inside the transfer's wait.
                        window.close();
                        QCOMPARE(m_platform.processEnds, 1);
                        QVERIFY(QFile::exists(m_dir->filePath(u"down.ini"_s)));
                    }
                });
        const bool ok =
            transfer->StartDownloading(server.url(u"/big.rar"_s), target.filePath(u"big.rar"_s));
        QVERIFY(closedInside);
        QVERIFY(!ok);
        QCOMPARE(
            QDir(target.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
            QStringList());
        QCOMPARE(ReadIni(OptionSection, LastDirKey), target.path());
    }

    void closingDuringADownloadEndsTheProcessAtOnce() {
        LoopbackServer server;
        server.route(u"/attachment.php"_s,
                     Reply{.contentType = "application/octet-stream",
                           .headers = {{"Set-Cookie", "sid=fresh-1; Path=/; HttpOnly"}},
                           .body = QByteArray(512 * 1024, 'r'),
                           .delayMs = 20,
                           .stallAfter = 128 * 1024});
        QTemporaryDir target;
        QProcess child;
        child.setProgram(QStringLiteral(CLOSE_DURING_DOWNLOAD_CHILD));
        child.setArguments({m_dir->path(), target.path(), server.url(u"/attachment.php"_s)});
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        child.setProcessEnvironment(env);
        child.start();
        QVERIFY(child.waitForStarted());
        QByteArray output;
        QTRY_VERIFY_WITH_TIMEOUT((output += child.readAllStandardOutput()).contains("transferring"),
                                 20'000);

        // The unload ends the process from inside the transfer's wait: no message box,
        // no further handler, no return to the event loop.
        QVERIFY(child.waitForFinished(10'000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        output += child.readAllStandardOutput();
        QCOMPARE(output, "transferring"_ba + quillmere::test::LineEnd);
        QCOMPARE(
            QDir(target.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
            QStringList());
        QCOMPARE(readFile(m_dir->filePath(u"down.ini"_s)),
                 "[Option]\r\nLastDir=" + quillmere::test::Encoded("GB18030", target.path()) +
                     "\r\n");
        // The sign-in the forum set a moment before was written on the way out, long
        // before the store's own delay would have come round.
        const QByteArray signIn = "#HttpOnly_127.0.0.1\tFALSE\t/\tFALSE\t0\tsid\tfresh-1\n";
        QVERIFY(readFile(m_dir->filePath(u"cookies.txt"_s)).contains(signIn));
    }

private:
    NetworkSession m_network;
    FakePlatform m_platform;
    std::unique_ptr<QTemporaryDir> m_dir;
};

QTEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"
