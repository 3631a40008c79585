// The session's cookie store on disk. The jar itself is libcurl's: these tests feed it
// through the store and through real answers of the loopback server, and read back the
// file the store writes. Values are checked with QVERIFY only: no failure message ever
// shows one.

#include "net/cookie_file.h"
#include "net/cookie_store.h"
#include "net/http_reply.h"
#include "net/network_session.h"
#include "net/request_rules.h"
#include "support/file_links.h"
#include "support/loopback_server.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <sys/types.h>
#endif

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using namespace quillmere;
using quillmere::test::LoopbackServer;
using quillmere::test::Reply;
using quillmere::test::Request;

namespace {

const QByteArray StoredFile = "# Netscape HTTP Cookie File\n"
                              "#HttpOnly_127.0.0.1\tFALSE\t/\tFALSE\t0\tauth\tsecret-1\n"
                              ".example.org\tTRUE\t/\tFALSE\t4102444800\tpref\tzh\n"
                              "broken line\n";

QByteArray readAll(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QList<QNetworkCookie> readStore(const QString &path) {
    return ParseCookieFile(readAll(path), QDateTime::currentDateTimeUtc()).cookies;
}

QNetworkCookie cookie(const QByteArray &name, const QByteArray &value, const QString &domain) {
    QNetworkCookie c(name, value);
    c.setDomain(domain);
    c.setPath(u"/"_s);
    return c;
}

const QNetworkCookie *find(const QList<QNetworkCookie> &cookies, const QByteArray &name) {
    const auto found = std::find_if(cookies.cbegin(), cookies.cend(),
                                    [&](const QNetworkCookie &c) { return c.name() == name; });
    return found == cookies.cend() ? nullptr : &*found;
}

bool holds(const QList<QNetworkCookie> &cookies, const QByteArray &name, const QByteArray &value) {
    return std::any_of(cookies.cbegin(), cookies.cend(), [&](const QNetworkCookie &c) {
        return c.name() == name && c.value() == value;
    });
}

// A page fetched through the session to its end, as the page loader fetches one.
bool fetch(NetworkSession &session, const QUrl &url) {
    const std::unique_ptr<HttpReply> reply = session.get(WebRequest(url, RequestKind::Page));
    QSignalSpy finished(reply.get(), &HttpReply::finished);
    return (reply->isFinished() || finished.wait()) && !reply->result() && reply->status() == 200;
}

// A forum's sign-in page: each answer sets the cookie its query names, "name=value".
void routeSignIn(LoopbackServer &server) {
    server.route(u"/login.php"_s, [](const Request &request) {
        const QByteArray query = request.target.mid(request.target.indexOf('?') + 1);
        return Reply{.headers = {{"Set-Cookie", query + "; Path=/"}}, .body = "<p>"};
    });
}

} // namespace

class TestCookieStore : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        m_tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tmp->isValid());
    }

    void loadsIntoTheJarAndSendsWithTheFirstRequest() {
        const QString path = this->path(u"cookies.txt"_s);
        QVERIFY(writeFile(path, StoredFile));
        LoopbackServer server;
        server.route(u"/t.html"_s, Reply{.body = "<p>"});

        NetworkSession session;
        const CookieStore::LoadResult loaded = session.cookieStore()->load(path);
        QCOMPARE(loaded.status, CookieStore::LoadStatus::Loaded);
        QCOMPARE(loaded.cookies, 2);
        QCOMPARE(loaded.badLines, 1);

        QVERIFY(fetch(session, server.qurl(u"/t.html"_s)));
        QVERIFY(server.requests().constFirst().header("Cookie") == "auth=secret-1");
    }

    void aNewStoreAppearsOnlyWithACookie() {
        const QString path = this->path(u"cookies.txt"_s);
        LoopbackServer server;
        // A cookie for another site, which the jar refuses to take.
        server.route(u"/t.html"_s,
                     Reply{.headers = {{"Set-Cookie", "sid=v-0; Domain=elsewhere.example; Path=/"}},
                           .body = "<p>"});
        NetworkSession session;
        CookieStore &store = *session.cookieStore();
        QCOMPARE(store.load(path).status, CookieStore::LoadStatus::Missing);
        store.flush();
        QVERIFY(!QFileInfo::exists(path)); // nothing to keep, nothing written
        QSignalSpy received(&session, &NetworkSession::cookiesReceived);
        QVERIFY(fetch(session, server.qurl(u"/t.html"_s)));
        QTRY_COMPARE(received.count(), 1);
        QVERIFY(store.cookies().isEmpty());
        store.flush();
        QVERIFY(!QFileInfo::exists(path)); // still nothing to keep
        store.addCookies({cookie("sid", "v-1", u"bbs.example"_s)});
        QVERIFY(store.save());
        QVERIFY(holds(readStore(path), "sid", "v-1"));
    }

    void aDeletedStoreIsWrittenAgain() {
        const QString path = this->path(u"cookies.txt"_s);
        NetworkSession session;
        CookieStore &store = *session.cookieStore();
        QCOMPARE(store.load(path).status, CookieStore::LoadStatus::Missing);
        store.addCookies({cookie("sid", "v-9", u"bbs.example"_s)});
        QVERIFY(store.save());
        QVERIFY(QFile::remove(path));
        QVERIFY(store.save()); // the session has not changed since
        QVERIFY(holds(readStore(path), "sid", "v-9"));
    }

    // A browser's export dropped in while the program runs joins the session's cookies.
    void aFilePutInItsPlaceIsTakenIn() {
        const QString path = this->path(u"cookies.txt"_s);
        NetworkSession session;
        CookieStore &store = *session.cookieStore();
        QCOMPARE(store.load(path).status, CookieStore::LoadStatus::Missing);
        store.addCookies({cookie("sid", "v-1", u"bbs.example"_s)});
        QVERIFY(store.save());
        QVERIFY(
            writeFile(path, FormatCookieFile({cookie("auth", "exported-sign-in", u"bbs.example"_s)},
                                             QDateTime::currentDateTimeUtc())));
        store.addCookies({cookie("seen", "1", u"bbs.example"_s)});
        QVERIFY(store.save());
        const QList<QNetworkCookie> kept = readStore(path);
        QVERIFY(holds(kept, "auth", "exported-sign-in"));
        QVERIFY(holds(kept, "sid", "v-1"));
        QVERIFY(holds(kept, "seen", "1"));
    }

    void changesAreWrittenShortlyAfterwardsInOneGo() {
        const QString path = this->path(u"cookies.txt"_s);
        LoopbackServer server;
        routeSignIn(server);
        NetworkSession session;
        CookieStore &store = *session.cookieStore();
        QCOMPARE(store.load(path).status, CookieStore::LoadStatus::Missing);
        QSignalSpy saved(&store, &CookieStore::saved);

        // A forum's Set-Cookie, several times in a row, well within one delay.
        store.setSaveDelay(1h);
        for (int i = 0; i < 5; ++i) {
            const QByteArray pair = "n" + QByteArray::number(i) + "=v";
            QVERIFY(fetch(session, server.qurl(u"/login.php?"_s + QString::fromLatin1(pair))));
        }
        QCOMPARE(saved.count(), 0); // never inside the change itself
        QVERIFY(!QFileInfo::exists(path));
        store.flush();
        QCOMPARE(saved.count(), 1);
        QCOMPARE(saved.first().first().toBool(), true);
        const QList<QNetworkCookie> written = readStore(path);
        QCOMPARE(written.size(), 5);
        QCOMPARE(written.first().domain(), u"127.0.0.1"_s); // host-only, as the forum set it

        // Left to itself, the store writes the next change shortly after it.
        store.setSaveDelay(100ms);
        QVERIFY(fetch(session, server.qurl(u"/login.php?n5=v"_s)));
        QTRY_COMPARE(saved.count(), 2);
        QCOMPARE(readStore(path).size(), 6);
    }

    void theStoreIsPrivateAndReplacedWhole() {
        const QString path = this->path(u"cookies.txt"_s);
        QVERIFY(writeFile(path, StoredFile));
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ReadOther));
#ifdef Q_OS_UNIX
        struct stat before {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &before), 0);
#endif

        NetworkSession session;
        CookieStore &store = *session.cookieStore();
        QCOMPARE(store.load(path).status, CookieStore::LoadStatus::Loaded);
        store.addCookies({cookie("sid", "v-2", u"bbs.example"_s)});
        QVERIFY(store.save());

#ifdef Q_OS_UNIX
        struct stat after {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &after), 0);
        QCOMPARE(after.st_mode & 0777, mode_t(0600));
        QVERIFY(after.st_ino != before.st_ino); // a new file renamed over the old one
#endif
        // Nothing but the store is left in the folder.
        QCOMPARE(QDir(m_tmp->path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{u"cookies.txt"_s});
        const QByteArray text = readAll(path);
        QVERIFY(!text.contains("broken line")); // bad lines are not carried over
        // What libcurl gives back is what was stored: a session cookie stays one.
        const QList<QNetworkCookie> written = readStore(path);
        QCOMPARE(written.size(), 3);
        const QNetworkCookie *auth = find(written, "auth");
        QVERIFY(auth && auth->isSessionCookie() && auth->isHttpOnly());
        QVERIFY(auth->value() == "secret-1");
        const QNetworkCookie *pref = find(written, "pref");
        QVERIFY(pref);
        QCOMPARE(pref->domain(), u".example.org"_s);
        QCOMPARE(pref->expirationDate().toSecsSinceEpoch(), 4102444800);
    }

    void neverWritesThroughALink() {
        const QString target = path(u"elsewhere.txt"_s);
        const QString link = path(u"cookies.txt"_s);
        QVERIFY(writeFile(target, StoredFile));
        QVERIFY(test::makeSymbolicLink(target, link));

        NetworkSession session;
        CookieStore &store = *session.cookieStore();
        QCOMPARE(store.load(link).status, CookieStore::LoadStatus::Loaded);
        store.addCookies({cookie("sid", "v-3", u"bbs.example"_s)});
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"cannot write .*symbolic link"_s));
        QVERIFY(!store.save());
        QCOMPARE(readAll(target), StoredFile);
        QVERIFY(QFileInfo(link).isSymLink());
        store.addCookies({cookie("sid2", "v-4", u"bbs.example"_s)});
        QVERIFY(!store.save()); // said once, not at every change
        // The session goes on in memory.
        QVERIFY(holds(store.cookies(), "sid2", "v-4"));
    }

    void aFileThatIsNoCookieFileIsLeftAlone_data() {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("status");
        QTest::newRow("binary") << "SQLite format 3\0\x10\0\x01\x01"_ba
                                << int(CookieStore::LoadStatus::NotACookieFile);
        QTest::newRow("over 16 MiB") << QByteArray(MaxCookieFileBytes + 10, '#')
                                     << int(CookieStore::LoadStatus::NotACookieFile);
    }
    void aFileThatIsNoCookieFileIsLeftAlone() {
        QFETCH(QByteArray, contents);
        QFETCH(int, status);
        const QString path = this->path(u"cookies.txt"_s);
        QVERIFY(writeFile(path, contents));
        {
            NetworkSession session;
            CookieStore &store = *session.cookieStore();
            const CookieStore::LoadResult loaded = store.load(path);
            QCOMPARE(int(loaded.status), status);
            QVERIFY(!loaded.error.isEmpty());
            store.addCookies({cookie("sid", "v-5", u"bbs.example"_s)});
            QVERIFY(!store.isPersistent());
        } // and not at the end either
        QVERIFY(readAll(path) == contents);
    }

    void whatCannotBeReadIsSaidAndNeverBlocks_data() {
        QTest::addColumn<QString>("relative");
        QTest::newRow("a folder") << u"folder"_s;
        QTest::newRow("below a file") << u"plain/cookies.txt"_s;
#ifdef Q_OS_UNIX
        QTest::newRow("a named pipe") << u"pipe"_s;
#endif
    }
    void whatCannotBeReadIsSaidAndNeverBlocks() {
        QFETCH(QString, relative);
        QVERIFY(QDir(m_tmp->path()).mkdir(u"folder"_s));
        QVERIFY(writeFile(path(u"plain"_s), "x"));
#ifdef Q_OS_UNIX
        QCOMPARE(::mkfifo(QFile::encodeName(path(u"pipe"_s)).constData(), 0600), 0);
#endif
        NetworkSession session;
        CookieStore &store = *session.cookieStore();
        const CookieStore::LoadResult loaded = store.load(path(relative));
        QCOMPARE(loaded.status, CookieStore::LoadStatus::Unreadable);
        QVERIFY(!loaded.error.isEmpty());
        QVERIFY(!store.isPersistent());
    }

    void aStoreThatCannotBeWrittenKeepsTheSessionInMemory() {
        // Root may write anywhere: a folder that went away cannot be written by anyone.
        QTemporaryDir gone;
        const QString path = gone.filePath(u"cookies.txt"_s);
        NetworkSession session;
        CookieStore &store = *session.cookieStore();
        QCOMPARE(store.load(path).status, CookieStore::LoadStatus::Missing);
        QVERIFY(gone.remove());
        store.addCookies({cookie("sid", "v-6", u"bbs.example"_s)});
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"cannot write"_s));
        QVERIFY(!store.save());
        QVERIFY(!QFileInfo::exists(path));
        QVERIFY(holds(store.cookies(), "sid", "v-6"));
    }

    void aReadOnlyStoreStaysAsItIs() {
        // Decided by the file's own mode, so it holds for root as for anyone.
        const QString path = this->path(u"cookies.txt"_s);
        QVERIFY(writeFile(path, StoredFile));
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner));
        NetworkSession session;
        CookieStore &store = *session.cookieStore();
        QCOMPARE(store.load(path).status, CookieStore::LoadStatus::Loaded);
        store.addCookies({cookie("sid", "v-7", u"bbs.example"_s)});
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"cannot write .*read-only"_s));
        QVERIFY(!store.save());
        QVERIFY(readAll(path) == StoredFile);
        QVERIFY(holds(store.cookies(), "sid", "v-7"));
    }

    void aStoredCookieGivesWayToTheForumsNewOne() {
        const QString path = this->path(u"cookies.txt"_s);
        QVERIFY(writeFile(path, StoredFile));
        LoopbackServer server;
        routeSignIn(server);
        NetworkSession session;
        CookieStore &store = *session.cookieStore();
        store.addCookies({cookie("auth", "in-memory", u"127.0.0.1"_s)});
        QCOMPARE(store.load(path).status, CookieStore::LoadStatus::Loaded);
        // The file's cookie with the same name, host and path replaced the one before.
        QCOMPARE(store.cookies().size(), 2);
        QVERIFY(holds(store.cookies(), "auth", "secret-1"));

        QVERIFY(fetch(session, server.qurl(u"/login.php?auth=fresh"_s)));
        QVERIFY(holds(store.cookies(), "auth", "fresh"));
        QVERIFY(!holds(store.cookies(), "auth", "secret-1"));
        store.flush();
        QVERIFY(holds(readStore(path), "auth", "fresh"));
        QVERIFY(!holds(readStore(path), "auth", "secret-1"));
    }

    void aSignInIsKeptHoweverTheForumWritesItsPath_data() {
        QTest::addColumn<QByteArray>("setCookie");
        QTest::newRow("quoted path") << "auth=v-8; Path=\"/\""_ba;
        QTest::newRow("empty path") << "auth=v-8; Path="_ba;
        QTest::newRow("relative path") << "auth=v-8; Path=forum"_ba;
    }
    void aSignInIsKeptHoweverTheForumWritesItsPath() {
        QFETCH(QByteArray, setCookie);
        const QString path = this->path(u"cookies.txt"_s);
        LoopbackServer server;
        server.route(u"/login.php"_s, Reply{.headers = {{"Set-Cookie", setCookie}}, .body = "<p>"});
        server.route(u"/t.html"_s, Reply{.body = "<p>"});
        NetworkSession session;
        CookieStore &store = *session.cookieStore();
        QCOMPARE(store.load(path).status, CookieStore::LoadStatus::Missing);
        QVERIFY(fetch(session, server.qurl(u"/login.php"_s)));
        QVERIFY(fetch(session, server.qurl(u"/t.html"_s)));
        // The session signs in with it: so must the next start.
        QVERIFY(server.requests().constLast().header("Cookie") == "auth=v-8");
        QVERIFY(holds(store.cookies(), "auth", "v-8"));
        QVERIFY(store.save());
        QVERIFY(holds(readStore(path), "auth", "v-8"));
    }

private:
    QString path(const QString &name) const {
        return m_tmp->filePath(name);
    }
    std::unique_ptr<QTemporaryDir> m_tmp;
};

QTEST_GUILESS_MAIN(TestCookieStore)
#include "tst_cookie_store.moc"
