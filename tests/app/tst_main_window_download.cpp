// The download run through the window's own controls: attachments come from a loopback
// forum, Command2 is clicked, and the list, the status line, the message boxes and the
// target folder are read back. Handlers that "the user" runs during a transfer are hooked
// to the transfer's progress events, which is where the window serves its events.

#include "analysis/attachment_entry.h"
#include "analysis/attachment_list.h"
#include "app/main_window.h"
#include "net/network_session.h"
#include "support/fake_platform.h"
#include "support/loopback_server.h"
#include "support/raw_http_server.h"
#include "support/window_driver.h"
#include "transfer/file_download.h"

#include <QCheckBox>
#include <QDirIterator>
#include <QFile>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <memory>

using namespace Qt::StringLiterals;
using namespace quillmere;
using quillmere::test::FakePlatform;
using quillmere::test::LoopbackServer;
using quillmere::test::Reply;
using quillmere::test::ShownMessage;

Q_DECLARE_METATYPE(quillmere::test::Reply)

namespace {

const QString Starting = u"当前状态：请输入帖子链接并选择保存目录后点击分析帖子链接。"_s;

Reply file(const QByteArray &body) {
    return Reply{.contentType = "application/octet-stream", .body = body};
}

QByteArray readFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Every name below `root` with its size: what a stray write would change.
QStringList tree(const QString &root) {
    QStringList all;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        all.append(QDir(root).relativeFilePath(it.filePath()) + u' ' +
                   QString::number(it.fileInfo().size()));
    }
    all.sort();
    return all;
}

// Counts the paint events a widget receives.
struct PaintCounter : QObject {
    explicit PaintCounter(QWidget *widget) { widget->installEventFilter(this); }
    bool eventFilter(QObject *, QEvent *event) override {
        paints += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
    int paints = 0;
};

QString done(const QString &entry) {
    return entry.chopped(5) + u"[已完成]"_s;
}
QString failed(const QString &entry) {
    return entry.chopped(5) + u"[失  败]"_s;
}

} // namespace

class TestMainWindowDownload : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        m_root = std::make_unique<QTemporaryDir>();
        QVERIFY(m_root->isValid());
        QDir root(m_root->path());
        QVERIFY(root.mkdir(u"save"_s) && root.mkdir(u"program"_s));
        m_saveDir = QDir::toNativeSeparators(root.filePath(u"save"_s));
        QFile plain(root.filePath(u"file.txt"_s));
        QVERIFY(plain.open(QIODevice::WriteOnly) && plain.write("x") == 1);
        plain.close();

        m_server = std::make_unique<LoopbackServer>();
        m_platform = std::make_unique<FakePlatform>();
        m_platform->folder = root.filePath(u"program"_s);
        m_platform->onMessage = [this](const ShownMessage &) {
            m_controlsAtBox = runControlsEnabled();
            m_statusAtBox = m_window->Label5->text();
        };
        m_window = std::make_unique<frmMain>(&m_network, *m_platform);
        m_window->Text2->setText(m_saveDir);
    }

    void cleanup() {
        m_window.reset();
        m_platform.reset();
        m_root.reset();
        m_server.reset();
    }

    // Each refusal shows its one message and leaves everything as it was.
    void refusesToStart_data() {
        QTest::addColumn<int>("entries");
        QTest::addColumn<bool>("checked");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("message");
        const QString nothing = u"请首先打开正确的帖子链接并选择需要下载的附件！"_s;
        const QString noFolder = u"请首先输入保存附件的目录！"_s;
        const QString badFolder = u"保存附件的目录不正确，请重新输入！"_s;
        QTest::newRow("empty list") << 0 << false << u"$save"_s << nothing;
        QTest::newRow("nothing checked, no folder") << 2 << false << QString() << nothing;
        QTest::newRow("no folder") << 2 << true << QString() << noFolder;
        QTest::newRow("a file") << 2 << true << u"$root/file.txt"_s << badFolder;
        QTest::newRow("a file and a separator") << 2 << true << u"$root/file.txt/"_s << badFolder;
        QTest::newRow("missing folder") << 2 << true << u"$root/missing"_s << badFolder;
        QTest::newRow("blank") << 2 << true << u" "_s << badFolder;
        QTest::newRow("NUL in the path") << 2 << true << u"$save\0/x"_s << badFolder;
    }
    void refusesToStart() {
        QFETCH(int, entries);
        QFETCH(bool, checked);
        QFETCH(QString, typed);
        QFETCH(QString, message);
        typed.replace(u"$save"_s, m_saveDir).replace(u"$root"_s, m_root->path());
        for (int i = 0; i < entries; ++i)
            add(u"/a%1.rar"_s.arg(i), u"a%1.rar"_s.arg(i), checked);
        const QStringList before = texts();
        m_window->Text2->setText(typed);

        clickStart();

        QCOMPARE(m_platform->messages.size(), 1);
        QCOMPARE(m_platform->messages[0].icon, QMessageBox::Warning);
        QCOMPARE(m_platform->messages[0].title, u"提示"_s);
        QCOMPARE(m_platform->messages[0].text, message);
        QVERIFY(runControlsEnabled());
        QCOMPARE(m_window->Text2->text(), typed);
        QCOMPARE(m_window->Label5->text(), Starting);
        QCOMPARE(m_window->saveDir(), QString());
        QCOMPARE(texts(), before);
        QCOMPARE(list()->CountChecked(), checked ? entries : 0);
        QVERIFY(m_server->requests().isEmpty());
    }

    // The folder is taken with or without its separator (this one is empty, which counts);
    // while the run goes, only its six controls are off.
    void runsIntoTheTypedFolder_data() {
        QTest::addColumn<bool>("separator");
        QTest::newRow("typed without separator") << false;
        QTest::newRow("typed with separator") << true;
    }
    void runsIntoTheTypedFolder() {
        QFETCH(bool, separator);
        const QString typed = separator ? m_saveDir + QDir::separator() : m_saveDir;
        m_window->Text2->setText(typed);
        m_server->route(u"/a.rar"_s, file("attachment"));
        const QString entry = add(u"/a.rar"_s, u"a.rar"_s);

        QString statusWhenHighlighted;
        connect(m_window->List1->selectionModel(), &QItemSelectionModel::currentChanged, this,
                [&] { statusWhenHighlighted = m_window->Label5->text(); });
        QList<bool> sixOff, othersOn;
        connect(m_window->fileDownload(), &CFileDownload::OnProgress, this, [&] {
            sixOff.append(runControlsDisabled());
            othersOn.append(m_window->Text1->isEnabled() && m_window->Check1->isEnabled() &&
                            m_window->List1->isEnabled() && m_window->Command3->isEnabled() &&
                            m_window->Command7->isEnabled() && m_window->Label4->isEnabled() &&
                            m_window->Label14->isEnabled());
        });

        clickStart();

        QCOMPARE(m_window->saveDir(), m_saveDir + QDir::separator());
        QCOMPARE(m_window->Text2->text(), typed);
        QCOMPARE(statusWhenHighlighted, u"开始下载中..."_s);
        QVERIFY(!sixOff.isEmpty());
        QVERIFY(!sixOff.contains(false));
        QVERIFY(!othersOn.contains(false));
        QCOMPARE(readFile(m_saveDir + u"/a.rar"_s), QByteArray("attachment"));
        QCOMPARE(list()->List(0), done(entry));
        verifyRunClosed();
    }

    // Successes and failures of every kind in one run, each marked on its own entry.
    void marksEachFetch() {
        m_server->route(u"/a.rar"_s, file("first"));
        m_server->route(u"/reset.rar"_s, Reply{.contentType = "application/octet-stream",
                                               .body = QByteArray(4096, 'r'),
                                               .delayMs = 20,
                                               .closeAfter = 100});
        m_server->route(u"/login.rar"_s, Reply{.body = "<html><body>请先登录</body></html>"});
        m_server->route(u"/xhtml.rar"_s,
                        Reply{.contentType = "application/xhtml+xml", .body = "<html xmlns='x'/>"});
        m_server->route(u"/skip.rar"_s, file("skipped"));
        m_server->route(u"/b.rar"_s, file("second"));
        const QString a = add(u"/a.rar"_s, u"a.rar"_s);
        const QString missing = add(u"/missing.rar"_s, u"missing.rar"_s);
        const QString reset = add(u"/reset.rar"_s, u"reset.rar"_s);
        const QString login = add(u"/login.rar"_s, u"login.rar"_s);
        const QString xhtml = add(u"/xhtml.rar"_s, u"xhtml.rar"_s);
        const QString skip = add(u"/skip.rar"_s, u"skip.rar"_s, false);
        const QString ftp =
            MakeEntry(u"ftp://127.0.0.1:%1/ftp.rar"_s.arg(m_server->port()), u"ftp.rar");
        list()->AddItem(ftp);
        list()->setSelected(6, true);
        const QString unsafe = add(u"/b.rar"_s, u"../b.rar"_s);
        const QString b = add(u"/b.rar"_s, u"b.rar"_s);

        clickStart();

        QCOMPARE(texts(), QStringList({done(a), failed(missing), failed(reset), failed(login),
                                       failed(xhtml), skip, failed(ftp), failed(unsafe), done(b)}));
        QCOMPARE(checks(), QList<bool>({false, true, true, true, true, false, true, true, false}));
        QCOMPARE(m_server->hits(u"/skip.rar"_s), 0);
        QCOMPARE(m_server->hits(u"/b.rar"_s), 1);
        QCOMPARE(m_server->hits(u"/login.rar"_s), 1);
        QCOMPARE(QDir(m_saveDir).entryList(QDir::Files | QDir::Hidden | QDir::System),
                 QStringList({u"a.rar"_s, u"b.rar"_s}));
        QCOMPARE(tree(m_root->path()).filter(u"b.rar"_s), QStringList{u"save/b.rar 6"_s});
        QCOMPARE(readFile(m_saveDir + u"/a.rar"_s), QByteArray("first"));
        QCOMPARE(readFile(m_saveDir + u"/b.rar"_s), QByteArray("second"));
        QCOMPARE(m_window->fileName(), u"b.rar"_s);
        verifyRunClosed();
    }

    void closesTheSameWhenEveryFetchFails() {
        const QString x = add(u"/x.rar"_s, u"x.rar"_s);
        const QString y = add(u"/y.rar"_s, u"y.rar"_s);
        clickStart();
        QCOMPARE(texts(), QStringList({failed(x), failed(y)}));
        QCOMPARE(list()->CountChecked(), 2);
        verifyRunClosed();
    }

    // Pressing start again fetches the failed entries and whatever was checked since, and
    // a marker is only ever replaced, never added to.
    void retriesTheFailedAndTheNewlyChecked() {
        m_server->route(u"/a.rar"_s, file("a"));
        std::atomic<int> flakyCalls = 0;
        m_server->route(u"/flaky.rar"_s, [&flakyCalls](const test::Request &) {
            return ++flakyCalls == 1 ? Reply{.status = 404} : file("at last");
        });
        const QString a = add(u"/a.rar"_s, u"a.rar"_s);
        const QString flaky = add(u"/flaky.rar"_s, u"flaky.rar"_s);
        const QString gone = add(u"/gone.rar"_s, u"gone.rar"_s);
        const QString later = add(u"/a.rar"_s, u"later.rar"_s, false);

        clickStart();
        QCOMPARE(texts(), QStringList({done(a), failed(flaky), failed(gone), later}));
        QCOMPARE(checks(), QList<bool>({false, true, true, false}));

        clickStart();
        QCOMPARE(m_server->hits(u"/a.rar"_s), 1);
        QCOMPARE(m_server->hits(u"/flaky.rar"_s), 2);
        QCOMPARE(m_server->hits(u"/gone.rar"_s), 2);
        QCOMPARE(texts(), QStringList({done(a), done(flaky), failed(gone), later}));
        QCOMPARE(checks(), QList<bool>({false, false, true, false}));
        QCOMPARE(readFile(m_saveDir + u"/flaky.rar"_s), QByteArray("at last"));

        // A done entry checked again is fetched again.
        QFile::remove(m_saveDir + u"/a.rar"_s);
        list()->setSelected(0, true);
        list()->setSelected(2, false);
        list()->setSelected(3, true);
        clickStart();
        QCOMPARE(m_server->hits(u"/a.rar"_s), 3);
        QCOMPARE(m_server->hits(u"/gone.rar"_s), 2);
        QCOMPARE(texts(), QStringList({done(a), done(flaky), failed(gone), done(later)}));
        QCOMPARE(checks(), QList<bool>({false, false, false, false}));
        QCOMPARE(readFile(m_saveDir + u"/a.rar"_s), QByteArray("a"));
        verifyRunClosed();
    }

    // The list stays in the user's hands: an entry unchecked before the walk reaches it
    // is skipped, one checked is fetched. The entry in transfer is the highlighted one.
    void followsTheChecksMadeDuringTheRun() {
        for (int i = 0; i < 4; ++i)
            m_server->route(u"/e%1.rar"_s.arg(i), file("e"));
        QStringList entries;
        for (int i = 0; i < 4; ++i)
            entries.append(add(u"/e%1.rar"_s.arg(i), u"e%1.rar"_s.arg(i), i < 3));
        QAbstractItemModel *model = m_window->List1->model();
        QMap<QString, QSet<int>> highlighted;
        connect(m_window->fileDownload(), &CFileDownload::OnProgress, this, [&] {
            if (highlighted.isEmpty()) {
                model->setData(model->index(2, 0), Qt::Unchecked, Qt::CheckStateRole);
                model->setData(model->index(3, 0), Qt::Checked, Qt::CheckStateRole);
            }
            highlighted[m_window->fileName()].insert(m_window->List1->currentIndex().row());
        });

        clickStart();

        QCOMPARE(m_server->hits(u"/e0.rar"_s), 1);
        QCOMPARE(m_server->hits(u"/e1.rar"_s), 1);
        QCOMPARE(m_server->hits(u"/e2.rar"_s), 0);
        QCOMPARE(m_server->hits(u"/e3.rar"_s), 1);
        QCOMPARE(texts(),
                 QStringList({done(entries[0]), done(entries[1]), entries[2], done(entries[3])}));
        QCOMPARE(checks(), QList<bool>({false, false, false, false}));
        const QMap<QString, QSet<int>> expected{
            {u"e0.rar"_s, {0}}, {u"e1.rar"_s, {1}}, {u"e3.rar"_s, {3}}};
        QCOMPARE(highlighted, expected);
        verifyRunClosed();
    }

    // An analysis started before the run completes during its first transfer. The walk
    // goes on by index over the new list and ends by the count it re-checks each pass;
    // entries beyond the count it started with are never visited.
    void goesOnOverTheListAnAnalysisRewrote_data() {
        QTest::addColumn<bool>("append");
        QTest::newRow("replace") << false;
        QTest::newRow("append") << true;
    }
    void goesOnOverTheListAnAnalysisRewrote() {
        QFETCH(bool, append);
        const QByteArray page = "<html><body><a href='/n0.rar'>n0.rar</a> "
                                "<a href='/n1.rar'>n1.rar</a></body></html>";
        m_server->route(u"/thread.html"_s, Reply{.body = page});
        QStringList old, fresh;
        for (int i = 0; i < 4; ++i) {
            m_server->route(u"/a%1.rar"_s.arg(i), file("old"));
            old.append(add(u"/a%1.rar"_s.arg(i), u"a%1.rar"_s.arg(i)));
        }
        for (int i = 0; i < 2; ++i) {
            m_server->route(u"/n%1.rar"_s.arg(i), file("new"));
            fresh.append(MakeEntry(m_server->url(u"/n%1.rar"_s.arg(i)), u"n%1.rar"_s.arg(i)));
        }
        m_window->Check1->setChecked(append);
        m_window->Text1->setText(m_server->url(u"/thread.html"_s));
        QTest::mouseClick(m_window->Command4, Qt::LeftButton);
        QVERIFY(!m_window->Command4->isEnabled());

        bool waited = false;
        connect(m_window->fileDownload(), &CFileDownload::OnProgress, this, [&] {
            if (std::exchange(waited, true))
                return;
            QVERIFY(!m_window->Command4->isEnabled());
            QTRY_VERIFY_WITH_TIMEOUT(m_window->Command4->isEnabled(), 20'000);
        });
        clickStart();

        QVERIFY(waited);
        QCOMPARE(m_server->hits(u"/a0.rar"_s), 1);
        QCOMPARE(m_server->hits(u"/n0.rar"_s), 0);
        if (append) {
            for (int i = 1; i < 4; ++i)
                QCOMPARE(m_server->hits(u"/a%1.rar"_s.arg(i)), 1);
            QCOMPARE(m_server->hits(u"/n1.rar"_s), 0);
            QCOMPARE(texts(), QStringList({done(old[0]), done(old[1]), done(old[2]), done(old[3]),
                                           fresh[0], fresh[1]}));
            QCOMPARE(checks(), QList<bool>({false, false, false, false, true, true}));
        } else {
            for (int i = 1; i < 4; ++i)
                QCOMPARE(m_server->hits(u"/a%1.rar"_s.arg(i)), 0);
            QCOMPARE(m_server->hits(u"/n1.rar"_s), 1);
            // The transfer that ran for index 0 fetched the old entry: the new entry now
            // standing there was never fetched, so it stays waiting and checked.
            QCOMPARE(texts(), QStringList({fresh[0], done(fresh[1])}));
            QCOMPARE(checks(), QList<bool>({true, false}));
        }
        verifyRunClosed();
    }

    // Two threads appended into one list: every entry says what became of it, in its
    // tooltip and in what screen readers read out; attachments of one name
    // are all kept; a retry replaces the reasons and an entry's own file.
    void explainsEachEntryAndKeepsNamesakes() {
        LoopbackServer tls(LoopbackServer::Tls::SelfSigned);
        tls.route(u"/cert.rar"_s, file("trusted?"));
        test::RawHttpServer garbled(test::GarbledChunkAfter(30'000));
        test::RawHttpServer cut(test::CloseBeforeLength(200'000, 100'000));
        m_window->fileDownload()->setTransferTimeout(300);
        QVERIFY(QDir(m_saveDir).mkdir(u"dir.rar"_s));
        QFile old(m_saveDir + u"/old.rar"_s); // in the folder before the list was made
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("stale") == 5);
        old.close();

        const auto link = [](const QString &href, const QString &text) {
            return u"<a href=\"%1\">%2</a>"_s.arg(href, text).toUtf8();
        };
        m_server->route(u"/a.html"_s,
                        Reply{.body = link(u"/a/BIOS.rar"_s, u"BIOS.rar"_s) +
                                      link(u"/login.rar"_s, u"login.rar"_s) +
                                      link(u"/gone.rar"_s, u"gone.rar"_s) +
                                      link(u"/forbidden.rar"_s, u"forbidden.rar"_s) +
                                      link(u"/busy.rar"_s, u"busy.rar"_s) +
                                      link(cut.url(u"/short.rar"_s), u"short.rar"_s) +
                                      link(u"/stall.rar"_s, u"stall.rar"_s) +
                                      link(u"/a/BIOS.rar"_s, u"sub/evil.rar"_s) +
                                      link(u"/a/BIOS.rar"_s, u"dir.rar"_s) +
                                      link(u"http://127.0.0.1:1/x.rar"_s, u"refused.rar"_s) +
                                      link(u"/old.rar"_s, u"old.rar"_s)});
        m_server->route(u"/b.html"_s,
                        Reply{.body = link(u"/b/BIOS.rar"_s, u"BIOS.rar"_s) +
                                      link(u"/b/BIOS.rar"_s, u"BIOS.rar"_s) +
                                      link(garbled.url(u"/g.rar"_s), u"garbled.rar"_s) +
                                      link(tls.url(u"/cert.rar"_s), u"cert.rar"_s) +
                                      link(u"ftp://127.0.0.1/f.rar"_s, u"ftp.rar"_s)});
        m_server->route(u"/a/BIOS.rar"_s, file("A-bios"));
        m_server->route(u"/b/BIOS.rar"_s, file("B-bios"));
        m_server->route(u"/login.rar"_s, Reply{.body = "<html><body>请先登录</body></html>"});
        m_server->route(u"/gone.rar"_s, Reply{.status = 404, .body = "gone"});
        m_server->route(u"/forbidden.rar"_s, Reply{.status = 403, .body = "no"});
        m_server->route(u"/busy.rar"_s, Reply{.status = 503, .body = "later"});
        m_server->route(u"/stall.rar"_s, Reply{.contentType = "application/octet-stream",
                                               .body = QByteArray(1000, 't'),
                                               .stallAfter = 100});
        m_server->route(u"/old.rar"_s, file("fresh"));
        analyse(u"/a.html"_s, false);
        analyse(u"/b.html"_s, true);
        QCOMPARE(list()->ListCount(), 16);

        clickStart();
        verifyRunClosed();
        const QString namesake =
            u"已保存为“BIOS (2).rar”（6 字节），因为列表中另一个附件已保存为“BIOS.rar”"_s;
        const QStringList notes = {
            u"已保存为“BIOS.rar”（6 字节）"_s,
            u"论坛返回了网页而不是附件，多半需要先登录论坛：退出本程序，把浏览器导出的 "
            u"cookies.txt 放到“%1”，再启动本程序；或用 --cookies-from-browser 浏览器名 "
            u"参数启动本程序"_s.arg(
                QDir::toNativeSeparators(m_root->filePath(u"program/cookies.txt"_s))),
            u"服务器返回 HTTP 404 Not Found，附件可能已被删除"_s,
            u"服务器返回 HTTP 403 Forbidden，没有下载权限，多半需要先登录论坛"_s,
            u"服务器返回 HTTP 503 Service Unavailable，服务器出错，请稍后再试"_s,
            u"传输中断：收到 100,000 / 200,000 字节"_s,
            u"0.3 秒没有收到数据"_s,
            u"附件名不是安全的文件名：含有“/”"_s,
            u"无法写入目标文件夹"_s,
            u"无法连接服务器“127.0.0.1”"_s,
            u"已保存为“old.rar”（5 字节）"_s,
            namesake,
            u"已保存为“BIOS (3).rar”（6 字节），因为列表中另一个附件已保存为“BIOS.rar”"_s,
            u"数据损坏（分块或压缩格式错误）"_s,
            u"服务器“127.0.0.1”的证书不受信任"_s,
            u"不支持“ftp:”地址，只能下载 http 和 https 地址"_s,
        };
        QList<bool> ok = {true,  false, false, false, false, false, false, false,
                          false, false, true,  true,  true,  false, false, false};
        const auto verifyNotes = [&](const QStringList &expected) {
            for (int i = 0; i < list()->ListCount(); ++i) {
                const QModelIndex item = list()->index(i);
                const QString tip = item.data(Qt::ToolTipRole).toString();
                QCOMPARE(item.data(Qt::AccessibleDescriptionRole).toString(), tip);
                // The system's own words follow a disk failure.
                if (expected[i] == u"无法写入目标文件夹"_s)
                    QVERIFY2(tip.startsWith(expected[i]), qPrintable(tip));
                else
                    QVERIFY2(tip == expected[i], qPrintable(u"%1: %2"_s.arg(i).arg(tip)));
                QCOMPARE(list()->List(i).endsWith(ok[i] ? MarkerDone : MarkerFailed), true);
                QCOMPARE(list()->Selected(i), !ok[i]);
            }
        };
        verifyNotes(notes);
        QCOMPARE(readFile(m_saveDir + u"/BIOS.rar"_s), QByteArray("A-bios"));
        QCOMPARE(readFile(m_saveDir + u"/BIOS (2).rar"_s), QByteArray("B-bios"));
        QCOMPARE(readFile(m_saveDir + u"/BIOS (3).rar"_s), QByteArray("B-bios"));
        QCOMPARE(readFile(m_saveDir + u"/old.rar"_s), QByteArray("fresh"));

        // The retry: the deleted one is back, and the user asks for a namesake again. It
        // replaces its own file, not another's, and keeps its name.
        m_server->route(u"/gone.rar"_s, file("back"));
        m_server->route(u"/b/BIOS.rar"_s, file("B-new!"));
        list()->setSelected(11, true);
        clickStart();
        verifyRunClosed();
        QStringList retried = notes;
        retried[2] = u"已保存为“gone.rar”（4 字节）"_s;
        ok[2] = true;
        verifyNotes(retried);
        QCOMPARE(readFile(m_saveDir + u"/BIOS.rar"_s), QByteArray("A-bios"));
        QCOMPARE(readFile(m_saveDir + u"/BIOS (2).rar"_s), QByteArray("B-new!"));
        QVERIFY(!QFile::exists(m_saveDir + u"/BIOS (4).rar"_s));

        // A new list starts afresh: its attachment replaces what an earlier list saved.
        analyse(u"/b.html"_s, false);
        clickStart();
        QCOMPARE(list()->index(0).data(Qt::ToolTipRole).toString(),
                 u"已保存为“BIOS.rar”（6 字节）"_s);
        QCOMPARE(readFile(m_saveDir + u"/BIOS.rar"_s), QByteArray("B-new!"));
    }

    // The address is cut at the first "__", even one of its own; the rest is the name.
    void splitsAtTheFirstSeparatorOfTheAddress() {
        m_server->route(u"/dl"_s, file("cut short"));
        const QString entry = m_server->url(u"/dl__x.rar"_s) + u"__real.rar[等待中]"_s;
        list()->AddItem(entry);
        list()->setSelected(0, true);
        clickStart();
        QCOMPARE(m_server->hits(u"/dl"_s), 1);
        QCOMPARE(m_server->requests().size(), 1);
        QCOMPARE(readFile(m_saveDir + u"/x.rar__real.rar"_s), QByteArray("cut short"));
        QCOMPARE(list()->List(0), done(entry));
    }

    // An analysed entry keeps its address and link text beside its text: an address that
    // holds "__" itself (URL-safe keys do) is fetched whole, under the link text.
    void fetchesAnAnalysedEntryFromItsOwnParts() {
        m_server->route(u"/a/att"_s, file("keyed"));
        m_server->route(u"/thread.html"_s,
                        Reply{.body = "<a href=\"/a/att?id=44&amp;k=x__y\">under-href.rar</a>"});
        m_window->Text1->setText(m_server->url(u"/thread.html"_s));
        QTest::mouseClick(m_window->Command4, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(m_window->Command4->isEnabled(), 20'000);
        const QString entry =
            m_server->url(u"/a/att?id=44&k=x__y"_s) + u"__under-href.rar[等待中]"_s;
        QCOMPARE(texts(), QStringList{entry}); // shown as ever
        clickStart();
        QCOMPARE(m_server->hits(u"/a/att?id=44&k=x__y"_s), 1);
        QCOMPARE(QDir(m_saveDir).entryList(QDir::Files), QStringList{u"under-href.rar"_s});
        QCOMPARE(readFile(m_saveDir + u"/under-href.rar"_s), QByteArray("keyed"));
        QCOMPARE(texts(), QStringList{done(entry)});
    }

    // Control characters written raw into a link text are kept, as a browser keeps them,
    // and no file is named with them: the fetch fails before anything is asked for.
    void aLinkTextWithControlCharactersFails_data() {
        QTest::addColumn<QByteArray>("character"); // as the page's UTF-8 holds it
        QTest::newRow("DEL") << "\x7f"_ba;
        QTest::newRow("NEL") << "\xc2\x85"_ba;
        QTest::newRow("C0") << "\x01"_ba;
    }
    void aLinkTextWithControlCharactersFails() {
        QFETCH(QByteArray, character);
        m_server->route(u"/c.rar"_s, file("control"));
        m_server->route(u"/thread.html"_s,
                        Reply{.body = "<a href=\"/c.rar\">del" + character + ".rar</a>"});
        m_window->Text1->setText(m_server->url(u"/thread.html"_s));
        QTest::mouseClick(m_window->Command4, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(m_window->Command4->isEnabled(), 20'000);
        const QString entry = m_server->url(u"/c.rar"_s) + u"__del"_s +
                              QString::fromUtf8(character) + u".rar[等待中]"_s;
        QCOMPARE(texts(), QStringList{entry});
        clickStart();
        QCOMPARE(texts(), QStringList{RemoveMarker(entry) + u"[失  败]"_s});
        QCOMPARE(m_server->hits(u"/c.rar"_s), 0);
        QVERIFY(QDir(m_saveDir).entryList(QDir::Files | QDir::Hidden).isEmpty());
    }

    // The status line names the file and shows the share received, rounded down; 0 while
    // the size is unknown.
    void showsTheTransferOnTheStatusLine_data() {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("last");
        QTest::addColumn<bool>("ok");
        const Reply sized = file(QByteArray(1000, 's'));
        Reply stalled = sized;
        stalled.delayMs = 20;
        stalled.stallAfter = 290;
        Reply chunked = sized;
        chunked.chunked = true;
        QTest::newRow("sized") << sized << u"正在下载“s.rar”，已下载100%"_s << true;
        QTest::newRow("stalled at 290 of 1000")
            << stalled << u"正在下载“s.rar”，已下载28%"_s << false;
        QTest::newRow("size unknown") << chunked << u"正在下载“s.rar”，已下载0%"_s << true;
    }
    void showsTheTransferOnTheStatusLine() {
        QFETCH(Reply, reply);
        QFETCH(QString, last);
        QFETCH(bool, ok);
        m_server->route(u"/s.rar"_s, reply);
        const QString entry = add(u"/s.rar"_s, u"s.rar"_s);
        QStringList lines;
        connect(m_window->fileDownload(), &CFileDownload::OnProgress, this, [&](qint64 progress) {
            lines.append(m_window->Label5->text());
            if (progress == reply.stallAfter)
                m_server->releaseStalls();
        });
        clickStart();
        QVERIFY(!lines.isEmpty());
        QCOMPARE(lines.first(), u"正在下载“s.rar”，已下载0%"_s);
        QCOMPARE(lines.last(), last);
        if (reply.chunked)
            QCOMPARE(lines.count(last), lines.size());
        QCOMPARE(list()->List(0), ok ? done(entry) : failed(entry));
    }

    // Painting is paced during a run, never dropped: a check box changed while a transfer
    // is stalled is drawn before the transfer ends. And while progress is painted a few
    // times a second, a click is drawn at once, with no wait for the next frame.
    void keepsPaintingDuringATransfer() {
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        Reply stalled = file(QByteArray(1000, 's'));
        stalled.delayMs = 20;
        stalled.stallAfter = 500;
        m_server->route(u"/s.rar"_s, stalled);
        add(u"/s.rar"_s, u"s.rar"_s);
        add(u"/t.rar"_s, u"t.rar"_s, false);
        PaintCounter viewport(m_window->List1->viewport());
        bool clickDrawn = false;
        connect(m_window->fileDownload(), &CFileDownload::OnProgress, this, [&](qint64 progress) {
            if (progress != 500 || clickDrawn)
                return;
            // A change of the program's own is painted when its frame comes ...
            QAbstractItemModel *model = m_window->List1->model();
            int before = viewport.paints;
            model->setData(model->index(1, 0), Qt::Checked, Qt::CheckStateRole);
            QTRY_VERIFY(viewport.paints > before);
            // ... and right after it, a click does not wait for the next.
            before = viewport.paints;
            const QRect row = m_window->List1->visualRect(model->index(1, 0));
            QTest::mouseClick(m_window->List1->viewport(), Qt::LeftButton, {}, row.center());
            QCoreApplication::processEvents();
            clickDrawn = viewport.paints > before;
            m_server->releaseStalls();
        });
        clickStart();
        QVERIFY(clickDrawn);
        verifyRunClosed();
    }

    // What the line shows before the transfer, and what a fetch refuses on its own.
    void failsAFetchBeforeAnyTransfer() {
        list()->AddItem(u"ftp://127.0.0.1:%1/w.rar__w.rar[等待中]"_s.arg(m_server->port()));
        QVERIFY(!m_window->FetchAttachment(0).ok);
        QCOMPARE(m_window->fileName(), u"w.rar"_s);
        QCOMPARE(m_window->Label5->text(), u"正在下载“w.rar”，请耐心等待。。。"_s);

        // No link text: no name to save under.
        list()->AddItem(m_server->url(u"/x"_s) + u"__"_s);
        QCOMPARE(list()->List(1), m_server->url(u"/x"_s) + u"__[等待中]"_s);
        QVERIFY(!m_window->FetchAttachment(1).ok);
        QCOMPARE(m_window->fileName(), QString());
        QVERIFY(m_server->requests().isEmpty());
    }

    // A link text that is not one plain name fails the fetch before any transfer, and
    // nothing changes in the folder or around it.
    void refusesHostileNames_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("parent") << u"../escape.rar"_s;
        QTest::newRow("sub folder") << u"sub/a.rar"_s;
        QTest::newRow("backslash parent") << u"..\\escape.rar"_s;
        QTest::newRow("drive colon") << u"C:escape.rar"_s;
        QTest::newRow("stream colon") << u"a.rar:hidden"_s;
        QTest::newRow("dot") << u"."_s;
        QTest::newRow("dot dot") << u".."_s;
        QTest::newRow("empty") << QString();
        QTest::newRow("control") << u"a\tb.rar"_s;
        QTest::newRow("NUL") << u"a"_s + QChar(u'\0') + u"b.rar"_s;
        QTest::newRow("direction override") << u"gpj\u202Erar.exe"_s;
        QTest::newRow("CON") << u"CON"_s;
        QTest::newRow("con with extension") << u"con.rar"_s;
        QTest::newRow("COM1") << u"COM1.tar.rar"_s;
        QTest::newRow("LPT9") << u"lpt9.rar"_s;
        QTest::newRow("trailing dot") << u"a.rar."_s;
        QTest::newRow("trailing blank") << u"a.rar "_s;
        QTest::newRow("256 characters") << QString(252, u'a') + u".rar"_s;
    }
    void refusesHostileNames() {
        QFETCH(QString, name);
        m_server->route(u"/h.rar"_s, file("hostile"));
        const QString entry = add(u"/h.rar"_s, name);
        const QStringList folder = tree(m_saveDir);
        const QStringList parent = tree(m_root->path());

        clickStart();

        QCOMPARE(list()->List(0), failed(entry));
        QVERIFY(list()->Selected(0));
        QVERIFY(m_server->requests().isEmpty());
        QCOMPARE(tree(m_saveDir), folder);
        QCOMPARE(tree(m_root->path()), parent);
        verifyRunClosed();
    }

private:
    AttachmentList *list() const { return m_window->attachments(); }

    void analyse(const QString &path, bool append) {
        test::setAppendMode(*m_window, append);
        m_window->Text1->setText(m_server->url(path));
        QTest::mouseClick(m_window->Command4, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(m_window->Command4->isEnabled(), 20'000);
    }

    QString add(const QString &path, const QString &name, bool checked = true) {
        const QString entry = MakeEntry(m_server->url(path), name);
        list()->AddItem(entry);
        list()->setSelected(list()->ListCount() - 1, checked);
        return entry;
    }

    QStringList texts() const { return quillmere::test::entryTexts(*list()); }

    QList<bool> checks() const {
        QList<bool> all;
        for (int i = 0; i < list()->ListCount(); ++i)
            all.append(list()->Selected(i));
        return all;
    }

    QList<QWidget *> runControls() const {
        return {m_window->Command4, m_window->Command2, m_window->Command1,
                m_window->Command5, m_window->Command6, m_window->Text2};
    }
    bool runControlsEnabled() const {
        const QList<QWidget *> controls = runControls();
        return std::all_of(controls.begin(), controls.end(),
                           [](QWidget *w) { return w->isEnabled(); });
    }
    bool runControlsDisabled() const {
        const QList<QWidget *> controls = runControls();
        return std::none_of(controls.begin(), controls.end(),
                            [](QWidget *w) { return w->isEnabled(); });
    }

    void clickStart() {
        m_platform->messages.clear();
        QTest::mouseClick(m_window->Command2, Qt::LeftButton);
    }

    // The same closing, whatever the outcome: the line, the controls back, then the box.
    void verifyRunClosed() {
        QCOMPARE(m_platform->messages.size(), 1);
        const ShownMessage &box = m_platform->messages[0];
        QCOMPARE(box.icon, QMessageBox::Information);
        QCOMPARE(box.title, u"提示"_s);
        QCOMPARE(box.text, u"所有附件下载完成！"_s);
        QVERIFY(m_controlsAtBox);
        QCOMPARE(m_statusAtBox, u"所有的附件下载完成。"_s);
        QCOMPARE(m_window->Label5->text(), u"所有的附件下载完成。"_s);
    }

    std::unique_ptr<LoopbackServer> m_server; // one per test: its hits are that test's
    NetworkSession m_network;
    std::unique_ptr<QTemporaryDir> m_root;
    QString m_saveDir; // native separators, no trailing one
    std::unique_ptr<FakePlatform> m_platform;
    std::unique_ptr<frmMain> m_window;
    bool m_controlsAtBox = false;
    QString m_statusAtBox;
};

QTEST_MAIN(TestMainWindowDownload)
#include "tst_main_window_download.moc"
