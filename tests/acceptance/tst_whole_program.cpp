// The whole program as a user meets it: the real window, driven through its controls,
// against the demo forum. The forum's own addresses are used; the network session sends
// them to the demo forum through its http proxy, the way scripts/run starts the program.

#include "analysis/attachment_list.h"
#include "app/main_window.h"
#include "app/start_up.h"
#include "demo_forum.h"
#include "net/cookie_file.h"
#include "net/network_session.h"
#include "net/request_rules.h"
#include "release/release_info.h"
#include "support/fake_platform.h"
#include "support/firefox_profile.h"
#include "support/system_proxy.h"
#include "support/window_driver.h"
#include "transfer/file_download.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListView>
#include <QMap>
#include <QNetworkProxy>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <functional>
#include <memory>

using namespace Qt::StringLiterals;
using quillmere::AttachmentList;
using quillmere::CFileDownload;
using quillmere::frmMain;
using quillmere::NetworkSession;
using quillmere::PageLoader;
using quillmere::demo::Attachment;
using quillmere::demo::DemoForum;
using quillmere::demo::Thread;
using quillmere::test::FakePlatform;
using quillmere::test::ShownMessage;

namespace {

constexpr int LoadTimeoutMs = 30'000;

const QString Waiting = u"[等待中]"_s;
const QString Done = u"[已完成]"_s;
const QString Failed = u"[失  败]"_s;
const QString LatestNotice = u"该版本已经是最新版。"_s;
const QString NewerNotice = u"发现该软件有升级版，请点此查看"_s;

const Thread &toolsThread() {
    return DemoForum::threads()[0];
}
const Thread &driversThread() {
    return DemoForum::threads()[1];
}

QString threadAddress(const Thread &thread) {
    return DemoForum::address(DemoForum::threadPath(thread.tid));
}

QString entry(const Attachment &attachment, const QString &marker) {
    return DemoForum::attachmentAddress(attachment.aid) + u"__"_s + attachment.name + marker;
}

bool succeeds(const Attachment &attachment) {
    return attachment.answer == Attachment::Answer::File;
}

// The session's http proxy: passes everything on to the demo forum unchanged, and looks at
// every request on its way, on the UI thread, where the window can be read. The program
// only ever sends GETs, so each request ends at its blank line.
class WatchingProxy : public QObject {
public:
    explicit WatchingProxy(quint16 forumPort)
        : m_forumPort(forumPort) {
        connect(&m_listener, &QTcpServer::newConnection, this, &WatchingProxy::accept);
        m_listener.listen(QHostAddress::LocalHost);
    }
    bool isListening() const { return m_listener.isListening(); }
    QNetworkProxy proxy() const {
        return QNetworkProxy(QNetworkProxy::HttpProxy, u"127.0.0.1"_s, m_listener.serverPort());
    }
    // The address of each request, in absolute form as a proxy is asked.
    std::function<void(const QUrl &)> onRequest;

private:
    void accept() {
        while (QTcpSocket *program = m_listener.nextPendingConnection()) {
            auto *forum = new QTcpSocket(program);
            const auto pending = std::make_shared<QByteArray>();
            connect(program, &QTcpSocket::readyRead, program, [this, program, forum, pending] {
                const QByteArray bytes = program->readAll();
                pending->append(bytes);
                for (qsizetype end; (end = pending->indexOf("\r\n\r\n")) >= 0;) {
                    const QByteArray line = pending->left(pending->indexOf("\r\n"));
                    pending->remove(0, end + 4);
                    if (onRequest)
                        onRequest(QUrl::fromEncoded(line.split(' ').value(1)));
                }
                forum->write(bytes);
            });
            connect(forum, &QTcpSocket::readyRead, program,
                    [program, forum] { program->write(forum->readAll()); });
            connect(forum, &QTcpSocket::disconnected, program, [program, forum] {
                program->write(forum->readAll());
                program->disconnectFromHost();
            });
            connect(program, &QTcpSocket::disconnected, program, &QObject::deleteLater);
            forum->connectToHost(QHostAddress::LocalHost, m_forumPort);
        }
    }

    QTcpServer m_listener;
    quint16 m_forumPort;
};

// Notes every change of a control's enabled state, with the status line at that moment.
class EnabledWatch : public QObject {
public:
    struct Change {
        QWidget *control;
        bool enabled;
        QString status;
    };
    EnabledWatch(const QList<QWidget *> &controls, const QLabel *status)
        : m_status(status) {
        for (QWidget *control : controls)
            control->installEventFilter(this);
    }
    QList<Change> changes;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::EnabledChange) {
            auto *control = static_cast<QWidget *>(watched);
            changes.append({control, control->isEnabled(), m_status->text()});
        }
        return false;
    }

private:
    const QLabel *m_status;
};

} // namespace

class TestWholeProgram : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void releaseNoticeAfterStartUp_data();
    void releaseNoticeAfterStartUp();
    void releaseCheckThroughSystemProxy();
    void oneBatch();
    void retryRun_data();
    void retryRun();
    void appendModeOverTwoThreads();
    void membersAttachmentNeedsTheSignIn_data();
    void membersAttachmentNeedsTheSignIn();
    void attachmentsNameTheirThreadPage();
    void signedInFromTheBrowser();

private:
    void openWindow();
    // Types the address into Text1, presses Command4 and waits for the analysis to end.
    void analyse(const QString &address);
    // Types the folder into Text2 and presses Command2; returns when the run has ended.
    void startRun();
    void setAppend(bool append);
    QStringList entries() const;
    QList<bool> checks() const;
    QList<QWidget *> runControls() const;
    QStringList savedNames() const;
    void verifySaved(const QList<Attachment> &attachments);
    void verifyRunClosed();

    std::unique_ptr<DemoForum> m_forum;
    std::unique_ptr<QTemporaryDir> m_root;
    QString m_saveDir;
    std::unique_ptr<FakePlatform> m_platform;
    std::unique_ptr<WatchingProxy> m_proxy;
    std::unique_ptr<NetworkSession> m_network;
    std::unique_ptr<frmMain> m_window;

    // What the run showed, recorded by the hooks.
    struct Fetch {
        QString address;
        QString status;  // the status line as the attachment's request passed the proxy
        int highlighted; // the current item of List1 meanwhile
        bool othersEnabled;
    };
    QList<Fetch> m_fetches;
    QStringList m_progress; // the status line after every progress event
    bool m_runControlsAtBox = false;
    QString m_statusAtBox;
};

void TestWholeProgram::init() {
    m_forum = std::make_unique<DemoForum>();
    QVERIFY(m_forum->isListening());
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    QDir root(m_root->path());
    QVERIFY(root.mkdir(u"program"_s) && root.mkdir(u"save"_s));
    m_saveDir = QDir::toNativeSeparators(root.filePath(u"save"_s));

    m_platform = std::make_unique<FakePlatform>();
    m_platform->folder = root.filePath(u"program"_s);
    m_platform->onMessage = [this](const ShownMessage &) {
        const QList<QWidget *> controls = runControls();
        m_runControlsAtBox = std::all_of(controls.cbegin(), controls.cend(),
                                         [](QWidget *control) { return control->isEnabled(); });
        m_statusAtBox = m_window->Label5->caption();
    };

    m_proxy = std::make_unique<WatchingProxy>(quint16(m_forum->port()));
    QVERIFY(m_proxy->isListening());
    m_network = std::make_unique<NetworkSession>();
    m_network->setProxy(m_proxy->proxy());
}

void TestWholeProgram::cleanup() {
    m_window.reset();
    m_network.reset();
    m_proxy.reset();
    m_platform.reset();
    m_root.reset();
    m_forum.reset();
    m_fetches.clear();
    m_progress.clear();
}

// The window as the program opens it: Form_Load has started the release check.
void TestWholeProgram::openWindow() {
    m_window = std::make_unique<frmMain>(m_network.get(), *m_platform);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));

    m_proxy->onRequest = [this](const QUrl &address) {
        if (address.path() != u"/attachment.php")
            return;
        m_fetches.append({address.toString(), m_window->Label5->caption(),
                          m_window->List1->currentIndex().row(),
                          m_window->Text1->isEnabled() && m_window->Check1->isEnabled() &&
                              m_window->List1->isEnabled() && m_window->Command3->isEnabled() &&
                              m_window->Command7->isEnabled()});
    };
    connect(m_window->fileDownload(), &CFileDownload::OnProgress, this,
            [this] { m_progress.append(m_window->Label5->caption()); });
}

void TestWholeProgram::analyse(const QString &address) {
    m_window->Text1->clear();
    QTest::keyClicks(m_window->Text1, address);
    QCOMPARE(m_window->Text1->text(), address);
    QTest::mouseClick(m_window->Command4, Qt::LeftButton);
    QVERIFY(!m_window->Command4->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(m_window->Command4->isEnabled(), LoadTimeoutMs);
}

void TestWholeProgram::startRun() {
    m_window->Text2->clear();
    QTest::keyClicks(m_window->Text2, m_saveDir);
    m_platform->messages.clear();
    m_fetches.clear();
    m_progress.clear();
    // The run is one synchronous call inside the click, as the user's click would be.
    QTest::mouseClick(m_window->Command2, Qt::LeftButton);
}

void TestWholeProgram::setAppend(bool append) {
    quillmere::test::setAppendMode(*m_window, append);
}

QStringList TestWholeProgram::entries() const {
    return quillmere::test::entryTexts(*m_window->attachments());
}

QList<bool> TestWholeProgram::checks() const {
    QList<bool> checked;
    const AttachmentList *list = m_window->attachments();
    for (int i = 0; i < list->ListCount(); ++i)
        checked.append(list->Selected(i));
    return checked;
}

QList<QWidget *> TestWholeProgram::runControls() const {
    return {m_window->Command4, m_window->Command2, m_window->Command1,
            m_window->Command5, m_window->Command6, m_window->Text2};
}

QStringList TestWholeProgram::savedNames() const {
    // Hidden and system names too: no partial or temporary file may be left behind.
    return QDir(m_saveDir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// Exactly these attachments are in the folder, each with the bytes the forum served.
void TestWholeProgram::verifySaved(const QList<Attachment> &attachments) {
    QStringList expected;
    for (const Attachment &attachment : attachments)
        expected.append(attachment.name);
    expected.sort();
    QCOMPARE(savedNames(), expected);
    for (const Attachment &attachment : attachments) {
        QFile file(QDir(m_saveDir).filePath(attachment.name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QCOMPARE(qint64(bytes.size()), attachment.size);
        QVERIFY2(bytes == DemoForum::fileBytes(attachment.aid), qPrintable(attachment.name));
    }
}

// The closing of every run: the status line, the controls back, then the box.
void TestWholeProgram::verifyRunClosed() {
    QCOMPARE(m_platform->messages.size(), 1);
    const ShownMessage &box = m_platform->messages[0];
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(box.title, u"提示"_s);
    QCOMPARE(box.text, u"所有附件下载完成！"_s);
    QCOMPARE(m_statusAtBox, u"所有的附件下载完成。"_s);
    QVERIFY(m_runControlsAtBox);
    QCOMPARE(m_window->Label5->caption(), u"所有的附件下载完成。"_s);
}

void TestWholeProgram::releaseNoticeAfterStartUp_data() {
    QTest::addColumn<QString>("published");
    QTest::addColumn<QString>("notice");
    QTest::newRow("same version") << u"1.4"_s << LatestNotice;
    QTest::newRow("newer version") << u"1.5"_s << NewerNotice;
    QTest::newRow("older version") << u"1.3"_s << NewerNotice;
}

void TestWholeProgram::releaseNoticeAfterStartUp() {
    QFETCH(QString, published);
    QFETCH(QString, notice);
    m_forum->setPublishedVersion(published);

    openWindow();
    QSignalSpy checked(m_window->Ie3, &PageLoader::DocumentComplete);
    QVERIFY(checked.wait(LoadTimeoutMs));

    QCOMPARE(checked[0][0].toString(), quillmere::release::releaseThreadAddress());
    QCOMPARE(m_window->Label4->caption(), notice);
    QCOMPARE(m_forum->hits(quillmere::release::ReleaseThreadPath.toString()), 1);
}

// scripts/run gives the program no proxy of its own: the user's proxy, where the system
// keeps it (http_proxy; Windows' Internet settings), leads the forum's host to the demo forum.
void TestWholeProgram::releaseCheckThroughSystemProxy() {
    const quillmere::test::SystemProxy systemProxy(m_forum->proxyAddress());
    QVERIFY(systemProxy.isSet());
    // Qt learns of a change to the system's proxy from the system, which need not have told it
    // by the time the setting returns.
    const QNetworkProxyQuery query{QUrl(quillmere::release::releaseThreadAddress())};
    QTRY_COMPARE(int(QNetworkProxyFactory::systemProxyForQuery(query).value(0).port()),
                 m_forum->port());
    m_network = std::make_unique<NetworkSession>();
    m_forum->setPublishedVersion(u"2.0"_s);

    openWindow();
    QSignalSpy checked(m_window->Ie3, &PageLoader::DocumentComplete);
    QVERIFY(checked.wait(LoadTimeoutMs));

    QCOMPARE(m_window->Label4->caption(), NewerNotice);
    QCOMPARE(m_forum->hits(quillmere::release::ReleaseThreadPath.toString()), 1);
}

// The road of one batch, step by step, over the thread with two attachments that fail.
void TestWholeProgram::oneBatch() {
    openWindow();
    const Thread &thread = toolsThread();
    const QString address = threadAddress(thread);
    QSignalSpy parsed(m_window->IE1, &PageLoader::DocumentComplete);

    // 1. The address into Text1, Command4 pressed: it is disabled while the page loads.
    m_window->Text1->clear();
    QTest::keyClicks(m_window->Text1, address);
    QTest::mouseClick(m_window->Command4, Qt::LeftButton);
    QVERIFY(!m_window->Command4->isEnabled());

    // 2. The page completes for exactly that address; each qualifying link is an entry,
    // waiting. The look-alikes on the page (".RAR", ".zip", "rar " with a blank) are not.
    QTRY_VERIFY_WITH_TIMEOUT(m_window->Command4->isEnabled(), LoadTimeoutMs);
    QStringList expected;
    for (const Attachment &attachment : thread.attachments)
        expected.append(entry(attachment, Waiting));
    QCOMPARE(entries(), expected);
    QCOMPARE(m_forum->hits(DemoForum::threadPath(thread.tid)), 1);

    // 3. All checked, the totals shown, IE1 back on the blank page.
    const int count = int(thread.attachments.size());
    QCOMPARE(checks(), QList<bool>(count, true));
    QCOMPARE(m_window->L_tj->caption(), u"附件总数：%1 / 已选择：%1"_s.arg(count));
    // IE1's completions end with the thread page, then the blank page.
    QTRY_VERIFY_WITH_TIMEOUT(parsed.size() >= 2 && parsed.last()[0].toString() == u"about:blank"_s,
                             LoadTimeoutMs);
    QCOMPARE(parsed[parsed.size() - 2][0].toString(), address);

    // 4. Command2 with a folder typed into Text2: "开始下载中..." and the six controls off,
    // in their order.
    const QList<QWidget *> controls = runControls();
    EnabledWatch watch(controls, m_window->Label5);
    startRun();

    QCOMPARE(watch.changes.size(), 2 * controls.size());
    for (qsizetype i = 0; i < controls.size(); ++i) {
        QCOMPARE(watch.changes[i].control, controls[i]);
        QCOMPARE(watch.changes[i].enabled, false);
        QCOMPARE(watch.changes[i].status, u"开始下载中..."_s);
        const EnabledWatch::Change &back = watch.changes[controls.size() + i];
        QCOMPARE(back.control, controls[i]);
        QCOMPARE(back.enabled, true);
        QCOMPARE(back.status, u"所有的附件下载完成。"_s);
    }

    // 5. Each checked entry from the top: highlighted, its name in the status line while
    // it is asked for, then its percentage. (The request reaches the proxy once the transfer
    // waits, when its first report has put the line at 0%.)
    QCOMPARE(m_fetches.size(), count);
    for (int i = 0; i < count; ++i) {
        const Attachment &attachment = thread.attachments[i];
        QCOMPARE(m_fetches[i].address, DemoForum::attachmentAddress(attachment.aid));
        QCOMPARE(m_fetches[i].status, u"正在下载“%1”，已下载0%"_s.arg(attachment.name));
        QCOMPARE(m_fetches[i].highlighted, i);
        QVERIFY(m_fetches[i].othersEnabled);
    }
    static const QRegularExpression progressText(u"^正在下载“(.+)”，已下载(\\d+)%$"_s);
    QStringList order;
    QMap<QString, QList<int>> percents;
    for (const QString &status : std::as_const(m_progress)) {
        const QRegularExpressionMatch match = progressText.match(status);
        QVERIFY2(match.hasMatch(), qPrintable(status));
        if (order.isEmpty() || order.last() != match.captured(1))
            order.append(match.captured(1));
        percents[match.captured(1)].append(match.captured(2).toInt());
    }
    QStringList names;
    for (const Attachment &attachment : thread.attachments)
        names.append(attachment.name);
    QCOMPARE(order, names);
    for (const Attachment &attachment : thread.attachments) {
        if (!succeeds(attachment))
            continue;
        const QList<int> &seen = percents[attachment.name];
        QVERIFY(std::is_sorted(seen.cbegin(), seen.cend()));
        QCOMPARE(seen.last(), 100);
    }

    // 6. Done entries unchecked, failed ones (the log-in page, the deleted file) checked.
    QStringList after;
    QList<bool> stillChecked;
    QList<Attachment> saved;
    for (const Attachment &attachment : thread.attachments) {
        after.append(entry(attachment, succeeds(attachment) ? Done : Failed));
        stillChecked.append(!succeeds(attachment));
        if (succeeds(attachment))
            saved.append(attachment);
    }
    QCOMPARE(entries(), after);
    QCOMPARE(checks(), stillChecked);
    QCOMPARE(m_window->L_tj->caption(),
             u"附件总数：%1 / 已选择：%2"_s.arg(count).arg(count - saved.size()));

    // 7. The closing texts, and the files exactly as the forum served them; nothing of the
    // log-in page or the 404 is kept.
    verifyRunClosed();
    verifySaved(saved);
}

void TestWholeProgram::retryRun_data() {
    QTest::addColumn<bool>("forumOpened");
    QTest::newRow("failures now succeed") << true;
    QTest::newRow("failures fail again") << false;
}

// A second press of Command2 fetches exactly the failed entries again.
void TestWholeProgram::retryRun() {
    QFETCH(bool, forumOpened);
    openWindow();
    const Thread &thread = toolsThread();
    analyse(threadAddress(thread));
    startRun();
    verifyRunClosed();

    m_forum->setEverythingAvailable(forumOpened);
    startRun();
    verifyRunClosed();

    QStringList retried;
    QStringList expected;
    QList<bool> stillChecked;
    QList<Attachment> saved;
    for (const Attachment &attachment : thread.attachments) {
        const bool retry = !succeeds(attachment);
        const QString path = DemoForum::attachmentPath(attachment.aid);
        QCOMPARE(m_forum->hits(path), retry ? 2 : 1);
        if (retry)
            retried.append(DemoForum::attachmentAddress(attachment.aid));
        const bool ok = succeeds(attachment) || forumOpened;
        expected.append(entry(attachment, ok ? Done : Failed));
        stillChecked.append(!ok);
        if (ok)
            saved.append(attachment);
    }
    QStringList fetched;
    for (const Fetch &fetch : std::as_const(m_fetches))
        fetched.append(fetch.address);
    QCOMPARE(fetched, retried);
    QCOMPARE(entries(), expected);
    QCOMPARE(checks(), stillChecked);
    QCOMPARE(m_window->L_tj->caption(),
             u"附件总数：%1 / 已选择：%2"_s.arg(thread.attachments.size())
                 .arg(stillChecked.count(true)));
    verifySaved(saved);
}

// Check1 collects a second thread into the list of the first, after a run: the old entries
// keep their markers, Select all checks the failed and the new ones, and the next run
// fetches exactly those.
void TestWholeProgram::appendModeOverTwoThreads() {
    openWindow();
    const Thread &tools = toolsThread();
    const Thread &drivers = driversThread();
    analyse(threadAddress(tools));
    startRun();
    verifyRunClosed();
    const QStringList afterFirstRun = entries();

    setAppend(true);
    analyse(threadAddress(drivers));

    QStringList expected = afterFirstRun;
    for (const Attachment &attachment : drivers.attachments)
        expected.append(entry(attachment, Waiting));
    QCOMPARE(entries(), expected);
    QList<bool> checked;
    for (const Attachment &attachment : tools.attachments)
        checked.append(!succeeds(attachment));
    checked.append(QList<bool>(drivers.attachments.size(), true));
    QCOMPARE(checks(), checked);
    const qsizetype total = tools.attachments.size() + drivers.attachments.size();
    QCOMPARE(m_window->L_tj->caption(),
             u"附件总数：%1 / 已选择：%2"_s.arg(total).arg(checked.count(true)));

    startRun();
    verifyRunClosed();

    QStringList fetched;
    for (const Fetch &fetch : std::as_const(m_fetches))
        fetched.append(fetch.address);
    QStringList wanted;
    QList<Attachment> saved;
    for (const Thread *thread : {&tools, &drivers}) {
        for (const Attachment &attachment : thread->attachments) {
            if (succeeds(attachment))
                saved.append(attachment);
            const bool doneBefore = thread == &tools && succeeds(attachment);
            if (!doneBefore)
                wanted.append(DemoForum::attachmentAddress(attachment.aid));
        }
    }
    QCOMPARE(fetched, wanted);
    QCOMPARE(m_window->L_tj->caption(),
             u"附件总数：%1 / 已选择：%2"_s.arg(total).arg(total - saved.size()));
    verifySaved(saved);
}

// A members' attachment arrives only for a signed-in session: the program starts with the
// sign-in a browser exported (--cookies FILE), sends it from its first request on, and
// writes the session back, with what the forum set during the run, when it is closed.
void TestWholeProgram::membersAttachmentNeedsTheSignIn_data() {
    QTest::addColumn<bool>("signedIn");
    QTest::newRow("no cookies") << false;
    QTest::newRow("--cookies FILE") << true;
}

void TestWholeProgram::membersAttachmentNeedsTheSignIn() {
    QFETCH(bool, signedIn);
    const QString exported = m_root->filePath(u"exported cookies.txt"_s);
    QStringList arguments{u"quillmere"_s};
    if (signedIn) {
        QFile file(exported);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(DemoForum::signedInCookieFile()) > 0);
        file.close();
        arguments << u"--cookies"_s << exported;
    }
    const quillmere::CommandLine line = quillmere::ParseCommandLine(arguments);
    QVERIFY(line.run);
    QString problems;
    QVERIFY(!quillmere::OpenCookieStore(*m_network, *line.run, *m_platform, problems));
    QCOMPARE(problems, QString());

    openWindow();
    QSignalSpy checked(m_window->Ie3, &PageLoader::DocumentComplete);
    QVERIFY(checked.wait(LoadTimeoutMs));
    // The window's first request, the release check, already carries the sign-in. (Names
    // only: a test never prints a cookie's value.)
    const QByteArray sent =
        m_forum->lastRequestHeader(quillmere::release::ReleaseThreadPath.toString(), "Cookie");
    QCOMPARE(sent.contains(DemoForum::AuthCookie), signedIn);
    QCOMPARE(sent.contains(DemoForum::SaltKeyCookie), signedIn);

    const Thread &thread = toolsThread();
    analyse(threadAddress(thread));
    startRun();
    verifyRunClosed();
    QList<Attachment> saved;
    QStringList expected;
    for (const Attachment &attachment : thread.attachments) {
        const bool ok = succeeds(attachment) ||
                        (signedIn && attachment.answer == Attachment::Answer::MembersOnly);
        expected.append(entry(attachment, ok ? Done : Failed));
        if (ok)
            saved.append(attachment);
    }
    QCOMPARE(entries(), expected);
    verifySaved(saved); // without the sign-in, nothing of the log-in page is kept

    // Closing the window writes the session back.
    QTest::mouseClick(m_window->Command3, Qt::LeftButton);
    QCOMPARE(m_platform->processEnds, 1);
    QFile store(signedIn ? exported : quillmere::DefaultCookieFile(m_platform->folder));
    QVERIFY(store.open(QIODevice::ReadOnly));
    const QByteArray written = store.readAll();
    QVERIFY(written.contains(QByteArray(DemoForum::LastActCookie) + '\t')); // set in the run
    QCOMPARE(written.contains(QByteArray(DemoForum::AuthCookie) + '\t'), signedIn);
}

// Each attachment request names the thread page it came from, as a browser would: the
// whole address on the forum itself, the forum's origin on its file host, which refuses
// requests without it.
void TestWholeProgram::attachmentsNameTheirThreadPage() {
    const Thread &drivers = driversThread();
    const Attachment &local = drivers.attachments[0];
    const Attachment &hosted = drivers.attachments[1];
    QVERIFY(!local.onFileHost && hosted.onFileHost);
    {
        const QUrl address(DemoForum::attachmentAddress(hosted.aid));
        NetworkSession bare;
        bare.setProxy(m_network->proxyFor(address));
        const std::unique_ptr<quillmere::HttpReply> refused =
            bare.get(quillmere::WebRequest(address, quillmere::RequestKind::File));
        QSignalSpy finished(refused.get(), &quillmere::HttpReply::finished);
        QVERIFY(finished.wait(LoadTimeoutMs));
        QCOMPARE(refused->status(), 403);
    }

    openWindow();
    analyse(threadAddress(drivers));
    startRun();
    verifyRunClosed();
    const QString localPath = DemoForum::attachmentPath(local.aid);
    const QString hostedPath = DemoForum::attachmentPath(hosted.aid);
    QCOMPARE(m_forum->lastRequestHeader(localPath, "Referer"), threadAddress(drivers).toUtf8());
    QCOMPARE(m_forum->lastRequestHeader(hostedPath, "Referer"),
             DemoForum::address(u"/"_s).toUtf8());
    QCOMPARE(m_forum->filesServed(hosted.aid), 1);
    verifySaved(drivers.attachments);
    // Page loads are typed, not followed from a page: they name none.
    QCOMPARE(m_forum->lastRequestHeader(DemoForum::threadPath(drivers.tid), "Referer"),
             QByteArray());
}

// The sign-in of the user's Firefox profile, read at start-up: the members' attachment
// arrives.
void TestWholeProgram::signedInFromTheBrowser() {
    const QString profile = m_root->filePath(u"firefox/x1y2z3.default-release"_s);
    {
        quillmere::test::FirefoxCookieDatabase browser(profile);
        QVERIFY(browser.isValid());
        const auto signIn = quillmere::ParseCookieFile(DemoForum::signedInCookieFile(),
                                                       QDateTime::currentDateTimeUtc());
        QCOMPARE(signIn.cookies.size(), 2);
        for (const QNetworkCookie &cookie : signIn.cookies)
            QVERIFY(browser.add(cookie));
    }
    const quillmere::CommandLine line = quillmere::ParseCommandLine(
        {u"quillmere"_s, u"--cookies-from-browser"_s, u"firefox:"_s + profile});
    QVERIFY(line.run);
    QString problems;
    QVERIFY(!quillmere::OpenCookieStore(*m_network, *line.run, *m_platform, problems));
    QVERIFY(m_platform->messages.isEmpty()); // nothing went wrong: no box

    openWindow();
    const Thread &thread = toolsThread();
    analyse(threadAddress(thread));
    startRun();
    verifyRunClosed();
    const Attachment &members = thread.attachments[3];
    QCOMPARE(members.answer, Attachment::Answer::MembersOnly);
    QCOMPARE(entries()[3], entry(members, Done));
    QCOMPARE(m_forum->filesServed(members.aid), 1);
}

QTEST_MAIN(TestWholeProgram)
#include "tst_whole_program.moc"
