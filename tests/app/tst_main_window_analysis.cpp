// The thread analysis through the window's own controls: thread pages come from the
// loopback server, the buttons and check boxes are clicked, and the list and the totals
// label are read back.

#include "analysis/attachment_entry.h"
#include "analysis/attachment_list.h"
#include "app/main_window.h"
#include "net/network_session.h"
#include "support/fake_platform.h"
#include "support/loopback_server.h"
#include "support/window_driver.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace Qt::StringLiterals;
using quillmere::AttachmentList;
using quillmere::EntryStatus;
using quillmere::frmMain;
using quillmere::MakeEntry;
using quillmere::MarkerDone;
using quillmere::MarkerFailed;
using quillmere::MarkerWaiting;
using quillmere::NetworkSession;
using quillmere::PageLoader;
using quillmere::WithMarker;
using quillmere::test::checkBoxCentre;
using quillmere::test::entryTexts;
using quillmere::test::FakePlatform;
using quillmere::test::LoopbackServer;
using quillmere::test::Reply;
using quillmere::test::setAppendMode;

namespace {

constexpr int LoadTimeoutMs = 20'000;

QByteArray page(const QByteArray &body) {
    return "<!DOCTYPE html><html><head><title>t</title></head><body>" + body + "</body></html>";
}

const QByteArray TwoAttachments =
    page("<p>楼主</p><a href='/f/1'>第一卷.rar</a> <a href='/u/2'>个人资料</a> "
         "<a href='/f/2'>第二卷.rar</a>");

} // namespace

class TestMainWindowAnalysis : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void analyseButton_data();
    void analyseButton();
    void discovery_data();
    void discovery();
    void appendKeepsEntriesAndMarkers();
    void replaceDropsEntriesOfEarlierRuns();
    void pageWithoutAttachments_data();
    void pageWithoutAttachments();
    void completedOrRedirectedAddress_data();
    void completedOrRedirectedAddress();
    void aboutBlankIsAnalysedOnce();
    void initialAddressFailsSilently();
    void navigationError_data();
    void navigationError();
    void selectAll_data();
    void selectAll();
    void clearAll();
    void totalsFollowEveryCheckChange();
    void beyondSixteenBitCounts();

private:
    // Types the address, presses the analyse button and waits until it is enabled again.
    [[nodiscard]] bool analyse(const QString &address);
    void typeAddress(const QString &address);
    void setAppend(bool append);
    QStringList entries() const;
    QList<bool> checks() const;
    QString totals() const { return m_window->L_tj->caption(); }
    AttachmentList *list() const { return m_window->attachments(); }
    QString at(const char *path) const { return m_server->url(QString::fromLatin1(path)); }

    std::unique_ptr<LoopbackServer> m_server;
    std::unique_ptr<QTemporaryDir> m_folder;
    std::unique_ptr<FakePlatform> m_platform;
    std::unique_ptr<NetworkSession> m_network;
    std::unique_ptr<frmMain> m_window;
};

void TestMainWindowAnalysis::init() {
    m_server = std::make_unique<LoopbackServer>();
    m_server->route(u"/t.html"_s, Reply{.body = TwoAttachments});
    m_folder = std::make_unique<QTemporaryDir>();
    m_platform = std::make_unique<FakePlatform>();
    m_platform->folder = m_folder->path();
    m_network = std::make_unique<NetworkSession>();
    m_window = std::make_unique<frmMain>(m_network.get(), *m_platform);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void TestMainWindowAnalysis::cleanup() {
    m_window.reset();
    m_network.reset();
    m_platform.reset();
    m_folder.reset();
    m_server.reset();
}

bool TestMainWindowAnalysis::analyse(const QString &address) {
    typeAddress(address);
    QTest::mouseClick(m_window->Command4, Qt::LeftButton);
    if (m_window->Command4->isEnabled())
        return false;
    return QTest::qWaitFor([this] { return m_window->Command4->isEnabled(); }, LoadTimeoutMs);
}

void TestMainWindowAnalysis::typeAddress(const QString &address) {
    m_window->Text1->clear();
    QTest::keyClicks(m_window->Text1, address);
    QCOMPARE(m_window->Text1->text(), address);
}

void TestMainWindowAnalysis::setAppend(bool append) {
    setAppendMode(*m_window, append);
}

QStringList TestMainWindowAnalysis::entries() const {
    return entryTexts(*list());
}

QList<bool> TestMainWindowAnalysis::checks() const {
    QList<bool> result;
    for (int i = 0; i < list()->ListCount(); ++i)
        result.append(list()->Selected(i));
    return result;
}

void TestMainWindowAnalysis::analyseButton_data() {
    QTest::addColumn<QString>("address");
    QTest::newRow("empty") << QString();
    QTest::newRow("blanks only") << u"   "_s; // not empty: the loader is asked
}

void TestMainWindowAnalysis::analyseButton() {
    QFETCH(QString, address);
    QSignalSpy failed(m_window->IE1, &PageLoader::NavigateError);
    typeAddress(address);
    QTest::mouseClick(m_window->Command4, Qt::LeftButton);

    if (address.isEmpty()) {
        QCOMPARE(m_platform->messages.size(), 1);
        QCOMPARE(m_platform->messages[0].icon, QMessageBox::Warning);
        QCOMPARE(m_platform->messages[0].title, u"提示"_s);
        QCOMPARE(m_platform->messages[0].text, u"请首先输入帖子链接！"_s);
        QVERIFY(m_window->Command4->isEnabled());
        return;
    }
    QVERIFY(!m_window->Command4->isEnabled());
    QVERIFY(failed.wait(LoadTimeoutMs));
    QVERIFY(m_window->Command4->isEnabled());
    QCOMPARE(m_platform->messages.size(), 1);
    QCOMPARE(m_platform->messages[0].text,
             u"打开帖子链接"_s + failed[0][0].toString() + u"发生错误："_s);
}

void TestMainWindowAnalysis::discovery_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("expected"); // %1: the server's root address

    QTest::newRow("document order, other links left out")
        << TwoAttachments
        << QStringList{u"%1/f/1__第一卷.rar[等待中]"_s, u"%1/f/2__第二卷.rar[等待中]"_s};
    QTest::newRow(".rar only in lower case")
        << page("<a href='/1'>a.rar</a><a href='/2'>b.RAR</a><a href='/3'>c.Rar</a>"
                "<a href='/4'>d.rar.txt</a>")
        << QStringList{u"%1/1__a.rar[等待中]"_s};
    QTest::newRow("tag in any case")
        << page("<a href='/1'>lower.rar</a><A HREF='/2'>upper.rar</A>")
        << QStringList{u"%1/1__lower.rar[等待中]"_s, u"%1/2__upper.rar[等待中]"_s};
    QTest::newRow("text exactly .rar") << page("<a href='/1'>.rar</a><a href='/2'>rar</a>")
                                       << QStringList{u"%1/1__.rar[等待中]"_s};
    QTest::newRow("anchor without address")
        << page("<a name='top'>无链接.rar</a>") << QStringList{u"__无链接.rar[等待中]"_s};
    QTest::newRow("other elements with .rar text")
        << page("<span>a.rar</span><div>b.rar</div><abbr title='x'>c.rar</abbr>"
                "<area href='/d.rar' alt='d.rar'>")
        << QStringList{};
    QTest::newRow("duplicates kept")
        << page("<a href='/1'>x.rar</a><a href='/1'>x.rar</a>")
        << QStringList{u"%1/1__x.rar[等待中]"_s, u"%1/1__x.rar[等待中]"_s};
    QTest::newRow("text as rendered, full Unicode")
        << page("<a href='/1'><b>资料</b>&nbsp;合集 😀.rar</a>")
        << QStringList{u"%1/1__资料\u00a0合集 😀.rar[等待中]"_s};
    QTest::newRow("addresses resolved")
        << page("<a href='f/2?aid=3&amp;t=1'>rel.rar</a><a href='http://other.test/x'>abs.rar</a>")
        << QStringList{u"%1/f/2?aid=3&t=1__rel.rar[等待中]"_s,
                       u"http://other.test/x__abs.rar[等待中]"_s};
}

void TestMainWindowAnalysis::discovery() {
    QFETCH(QByteArray, body);
    QFETCH(QStringList, expected);
    m_server->route(u"/page.html"_s, Reply{.body = body});

    QVERIFY(analyse(at("/page.html")));
    const QString root = u"http://127.0.0.1:"_s + QString::number(m_server->port());
    for (QString &entry : expected)
        entry.replace(u"%1"_s, root);
    QCOMPARE(entries(), expected);
    QCOMPARE(checks(), QList<bool>(expected.size(), true));
    QCOMPARE(totals(), u"附件总数：%1 / 已选择：%1"_s.arg(expected.size()));
    QVERIFY(m_platform->messages.isEmpty());
}

void TestMainWindowAnalysis::appendKeepsEntriesAndMarkers() {
    QVERIFY(analyse(at("/t.html")));
    const QStringList first = entries();
    QCOMPARE(first.size(), 2);
    // As a download run leaves them: one fetched and unchecked, one failed.
    list()->setOutcome(0, EntryStatus::Done, {});
    list()->setSelected(0, false);
    list()->setOutcome(1, EntryStatus::Failed, {});
    list()->setSelected(1, false);

    setAppend(true);
    QVERIFY(analyse(at("/t.html")));
    QCOMPARE(entries(), (QStringList{WithMarker(first[0], MarkerDone),
                                     WithMarker(first[1], MarkerFailed), first[0], first[1]}));
    QCOMPARE(checks(), (QList<bool>{false, true, true, true}));
    QCOMPARE(totals(), u"附件总数：4 / 已选择：3"_s);

    QVERIFY(analyse(at("/t.html")));
    QCOMPARE(entries().mid(4), first); // every analysis adds the page again
    QCOMPARE(totals(), u"附件总数：6 / 已选择：5"_s);
}

void TestMainWindowAnalysis::replaceDropsEntriesOfEarlierRuns() {
    QVERIFY(analyse(at("/t.html")));
    const QStringList first = entries();
    list()->setOutcome(0, EntryStatus::Done, {});
    list()->setOutcome(1, EntryStatus::Failed, {});
    list()->AddItem(MakeEntry(u"http://elsewhere.test/9", u"旧.rar"));

    setAppend(false);
    QVERIFY(analyse(at("/t.html")));
    QCOMPARE(entries(), first);
    QCOMPARE(totals(), u"附件总数：2 / 已选择：2"_s);
}

void TestMainWindowAnalysis::pageWithoutAttachments_data() {
    QTest::addColumn<bool>("append");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");

    const QByteArray noLinks = page("<p>没有附件</p><a href='/x'>x.zip</a>");
    const QByteArray linksAsText = "<a href='/f/1'>1.rar</a>";
    const QByteArray png = QByteArray::fromHex("89504e470d0a1a0a0000000d49484452");
    for (bool append : {false, true}) {
        const char *mode = append ? "append: " : "replace: ";
        QTest::addRow("%sHTML without .rar links", mode)
            << append << QByteArray("text/html") << noLinks;
        QTest::addRow("%splain text", mode) << append << QByteArray("text/plain") << linksAsText;
        QTest::addRow("%simage", mode) << append << QByteArray("image/png") << png;
        QTest::addRow("%sempty HTML", mode) << append << QByteArray("text/html") << QByteArray();
    }
}

void TestMainWindowAnalysis::pageWithoutAttachments() {
    QFETCH(bool, append);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    m_server->route(u"/none"_s, Reply{.contentType = contentType, .body = body});

    QVERIFY(analyse(at("/t.html")));
    const QStringList before = entries();
    list()->setOutcome(0, EntryStatus::Done, {});
    list()->setSelected(0, false);

    setAppend(append);
    QVERIFY(analyse(at("/none")));
    if (append) {
        QCOMPARE(entries(), (QStringList{WithMarker(before[0], MarkerDone), before[1]}));
        QCOMPARE(totals(), u"附件总数：2 / 已选择：1"_s);
    } else {
        QCOMPARE(entries(), QStringList());
        QCOMPARE(totals(), u"附件总数：0 / 已选择：0"_s);
    }
    QVERIFY(m_platform->messages.isEmpty());
}

void TestMainWindowAnalysis::completedOrRedirectedAddress_data() {
    QTest::addColumn<QString>("typed"); // %1: host and port
    QTest::newRow("without scheme") << u"%1/t.html"_s;
    QTest::newRow("blanks around it") << u"  http://%1/t.html "_s;
    QTest::newRow("redirected") << u"http://%1/old"_s;
    QTest::newRow("redirected twice to a canonical address") << u"http://%1/thread?tid=1"_s;
}

void TestMainWindowAnalysis::completedOrRedirectedAddress() {
    QFETCH(QString, typed);
    m_server->redirect(u"/old"_s, u"/t.html"_s, 301);
    m_server->redirect(u"/thread"_s, u"/old"_s, 302);

    QVERIFY(analyse(typed.arg(u"127.0.0.1:%1"_s.arg(m_server->port()))));
    QCOMPARE(entries(), (QStringList{MakeEntry(at("/f/1"), u"第一卷.rar"),
                                     MakeEntry(at("/f/2"), u"第二卷.rar")}));
    QCOMPARE(totals(), u"附件总数：2 / 已选择：2"_s);
    QVERIFY(m_platform->messages.isEmpty());
}

void TestMainWindowAnalysis::aboutBlankIsAnalysedOnce() {
    QVERIFY(analyse(at("/t.html")));
    QSignalSpy completed(m_window->IE1, &PageLoader::DocumentComplete);

    QVERIFY(analyse(u"about:blank"_s));
    QCOMPARE(completed.size(), 1);
    QCOMPARE(entries(), QStringList()); // a blank page has no attachments
    QCOMPARE(totals(), u"附件总数：0 / 已选择：0"_s);

    // The window blanks the loader afterwards; that completion must not be analysed
    // again, or it would clear this entry and blank the loader once more, for ever.
    list()->AddItem(MakeEntry(at("/f/1"), u"x.rar"));
    QTRY_COMPARE_WITH_TIMEOUT(completed.size(), 2, LoadTimeoutMs);
    QCOMPARE(completed[1][0].toString(), u"about:blank"_s);
    QCOMPARE(list()->ListCount(), 1);
    QVERIFY(m_window->Command4->isEnabled());
}

void TestMainWindowAnalysis::initialAddressFailsSilently() {
    QVERIFY(analyse(at("/t.html")));
    QSignalSpy failed(m_window->IE1, &PageLoader::NavigateError);
    bool cancel = true;
    connect(m_window->IE1, &PageLoader::NavigateError, this,
            [&cancel](const QString &, bool *Cancel) { cancel = *Cancel; });

    QVERIFY(analyse(u"http:///"_s));
    QCOMPARE(failed.size(), 1);
    QCOMPARE(failed[0][0].toString(), u"http:///"_s);
    QVERIFY(!cancel);
    QVERIFY(m_platform->messages.isEmpty());
    QCOMPARE(list()->ListCount(), 2);
}

void TestMainWindowAnalysis::navigationError_data() {
    QTest::addColumn<QString>("path");     // "" for a port where nobody listens
    QTest::addColumn<QString>("reported"); // the address the message shows

    QTest::newRow("not found") << u"/missing"_s << u"/missing"_s;
    QTest::newRow("server error") << u"/broken"_s << u"/broken"_s;
    QTest::newRow("cut off") << u"/cut"_s << u"/cut"_s;
    QTest::newRow("redirected to a missing page") << u"/moved"_s << u"/missing"_s;
    QTest::newRow("connection refused") << QString() << QString();
}

void TestMainWindowAnalysis::navigationError() {
    QFETCH(QString, path);
    QFETCH(QString, reported);
    m_server->route(u"/missing"_s, Reply{.status = 404, .body = page("<a href='/1'>1.rar</a>")});
    m_server->route(u"/broken"_s, Reply{.status = 500});
    m_server->route(u"/cut"_s, Reply{.body = TwoAttachments, .delayMs = 20, .closeAfter = 10});
    m_server->redirect(u"/moved"_s, u"/missing"_s);
    QString address = m_server->url(path);
    if (path.isEmpty()) {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        address = u"http://127.0.0.1:%1/t.html"_s.arg(closed.serverPort());
        reported = address;
    } else {
        reported = m_server->url(reported);
    }

    // The list as an earlier analysis and the user left it; replace mode.
    QVERIFY(analyse(at("/t.html")));
    list()->setSelected(1, false);
    const QStringList before = entries();

    bool enabledDuringBox = false;
    m_platform->onMessage = [&](const auto &) {
        enabledDuringBox = m_window->Command4->isEnabled();
    };
    bool cancel = false;
    connect(m_window->IE1, &PageLoader::NavigateError, this,
            [&cancel](const QString &, bool *Cancel) { cancel = *Cancel; });

    QVERIFY(analyse(address));
    QCOMPARE(m_platform->messages.size(), 1);
    QCOMPARE(m_platform->messages[0].icon, QMessageBox::Warning);
    QCOMPARE(m_platform->messages[0].title, u"提示"_s);
    QCOMPARE(m_platform->messages[0].text, u"打开帖子链接"_s + reported + u"发生错误："_s);
    QVERIFY(enabledDuringBox);
    QVERIFY(cancel);
    QCOMPARE(entries(), before);
    QCOMPARE(checks(), (QList<bool>{true, false}));
    QCOMPARE(totals(), u"附件总数：2 / 已选择：1"_s);
}

void TestMainWindowAnalysis::selectAll_data() {
    QTest::addColumn<QStringList>("markers");
    QTest::addColumn<QList<bool>>("before");
    QTest::addColumn<QList<bool>>("after");
    QTest::addColumn<QString>("totals");

    const QString w = MarkerWaiting.toString(), d = MarkerDone.toString(),
                  f = MarkerFailed.toString();
    QTest::newRow("3 waiting, 2 done, 1 failed")
        << QStringList{w, d, w, f, d, w} << QList<bool>(6, false)
        << QList<bool>{true, false, true, true, false, true} << u"附件总数：6 / 已选择：4"_s;
    QTest::newRow("a checked done entry stays checked")
        << QStringList{w, d, w, f, d, w} << QList<bool>{false, true, false, false, false, false}
        << QList<bool>{true, true, true, true, false, true} << u"附件总数：6 / 已选择：5"_s;
    QTest::newRow("empty list") << QStringList{} << QList<bool>{} << QList<bool>{}
                                << u"附件总数：0 / 已选择：0"_s;
}

void TestMainWindowAnalysis::selectAll() {
    QFETCH(QStringList, markers);
    QFETCH(QList<bool>, before);
    QFETCH(QList<bool>, after);
    QFETCH(QString, totals);

    for (int i = 0; i < markers.size(); ++i) {
        list()->AddItem(WithMarker(MakeEntry(at("/f"), u"%1.rar"_s.arg(i)), markers[i]));
        list()->setSelected(i, before[i]);
    }
    const QStringList texts = entries();
    QTest::mouseClick(m_window->Command5, Qt::LeftButton);
    QCOMPARE(checks(), after);
    QCOMPARE(this->totals(), totals);
    QCOMPARE(m_window->CountChecked(), int(after.count(true)));
    QCOMPARE(entries(), texts);
}

void TestMainWindowAnalysis::clearAll() {
    const QString markers[] = {MarkerWaiting.toString(), MarkerDone.toString(),
                               MarkerFailed.toString(), MarkerWaiting.toString()};
    for (const QString &marker : markers)
        list()->AddItem(WithMarker(MakeEntry(at("/f"), u"a.rar"), marker));
    QTest::mouseClick(m_window->Command5, Qt::LeftButton);
    list()->setSelected(1, true);
    QCOMPARE(totals(), u"附件总数：4 / 已选择：4"_s);

    const QStringList texts = entries();
    QTest::mouseClick(m_window->Command6, Qt::LeftButton);
    QCOMPARE(checks(), QList<bool>(4, false));
    QCOMPARE(totals(), u"附件总数：4 / 已选择：0"_s);
    QCOMPARE(m_window->CountChecked(), 0);
    QCOMPARE(entries(), texts);
}

void TestMainWindowAnalysis::totalsFollowEveryCheckChange() {
    QVERIFY(analyse(at("/t.html")));
    QCOMPARE(totals(), u"附件总数：2 / 已选择：2"_s);

    QListView *view = m_window->List1;
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, checkBoxCentre(view, 1));
    QCOMPARE(checks(), (QList<bool>{true, false}));
    QCOMPARE(totals(), u"附件总数：2 / 已选择：1"_s);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, checkBoxCentre(view, 1));
    QCOMPARE(checks(), (QList<bool>{true, true}));
    QCOMPARE(totals(), u"附件总数：2 / 已选择：2"_s);

    // A download run unchecks what it has fetched.
    list()->setSelected(0, false);
    QCOMPARE(totals(), u"附件总数：2 / 已选择：1"_s);
}

void TestMainWindowAnalysis::beyondSixteenBitCounts() {
    constexpr int Links = 32'770;
    QByteArray body;
    for (int i = 0; i < Links; ++i)
        body +=
            "<a href='/f/" + QByteArray::number(i) + "'>" + QByteArray::number(i) + ".rar</a>\n";
    m_server->route(u"/big.html"_s, Reply{.body = page(body)});

    QVERIFY(analyse(at("/big.html")));
    QCOMPARE(list()->ListCount(), Links);
    QCOMPARE(list()->List(Links - 1), MakeEntry(at("/f/32769"), u"32769.rar"));
    QCOMPARE(totals(), u"附件总数：32770 / 已选择：32770"_s);
    QTest::mouseClick(m_window->Command6, Qt::LeftButton);
    QCOMPARE(totals(), u"附件总数：32770 / 已选择：0"_s);
}

QTEST_MAIN(TestMainWindowAnalysis)
#include "tst_main_window_analysis.moc"
