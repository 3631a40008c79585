// The session's cookie store on disk. Values are checked with QVERIFY only: no failure
// message ever shows one.

#include "support/loopback_server.h"
#include "net/cookie_file.h"
#include "net/cookie_store.h"
#include "net/network_session.h"
#include "net/request_rules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
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

QNetworkCookie cookie(const QByteArray &name, const QByteArray &value, const QString &domain) {
    QNetworkCookie c(name, value);
    c.setDomain(domain);
    c.setPath(u"/"_s);
    return c;
}

bool holds(const QList<QNetworkCookie> &cookies, const QByteArray &name, const QByteArray &value) {
    return std::any_of(cookies.cbegin(), cookies.cend(), [&](const QNetworkCookie &c) {
        return c.name() == name && c.value() == value;
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

        std::unique_ptr<QNetworkReply> reply(
            session.get(WebRequest(server.qurl(u"/t.html"_s), RequestKind::Page)));
        QSignalSpy finished(reply.get(), &QNetworkReply::finished);
        QVERIFY(finished.wait());
        QVERIFY(server.requests().constFirst().header("Cookie") == "auth=secret-1");
    }

    void aNewStoreAppearsOnlyWithACookie() {
        const QString path = this->path(u"cookies.txt"_s);
        CookieStore store;
        QCOMPARE(store.load(path).status, CookieStore::LoadStatus::Missing);
        store.flush();
        QVERIFY(!QFileInfo::exists(path)); // nothing to keep, nothing written
        QVERIFY(store.insertCookie(cookie("sid", "v-1", u"bbs.example"_s)));
        QVERIFY(store.save());
        QVERIFY(holds(ParseCookieFile(readAll(path), QDateTime::currentDateTimeUtc()).cookies,
                      "sid", "v-1"));
    }

    void changesAreWrittenShortlyAfterwardsInOneGo() {
        const QString path = this->path(u"cookies.txt"_s);
        CookieStore store;
        store.setSaveDelay(100ms);
        QCOMPARE(store.load(path).status, CookieStore::LoadStatus::Missing);
        QSignalSpy saved(&store, &CookieStore::saved);
        // What a forum's Set-Cookie does, several times in a row.
        for (int i = 0; i < 5; ++i)
            store.setCookiesFromUrl({cookie("n" + QByteArray::number(i), "v", QString())},
                                    QUrl(u"http://bbs.example/"_s));
        QCOMPARE(saved.count(), 0); // never inside the change itself
        QVERIFY(saved.wait());
        QCOMPARE(saved.count(), 1);
        QCOMPARE(saved.first().first().toBool(), true);
        const QList<QNetworkCookie> written =
            ParseCookieFile(readAll(path), QDateTime::currentDateTimeUtc()).cookies;
        QCOMPARE(written.size(), 5);
        QCOMPARE(written.first().domain(), u"bbs.example"_s); // host-only, as the forum set it
    }

    void theStoreIsPrivateAndReplacedWhole() {
#ifdef Q_OS_UNIX
        const QString path = this->path(u"cookies.txt"_s);
        QVERIFY(writeFile(path, StoredFile));
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ReadOther));
        struct stat before {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &before), 0);

        CookieStore store;
        QCOMPARE(store.load(path).status, CookieStore::LoadStatus::Loaded);
        QVERIFY(store.insertCookie(cookie("sid", "v-2", u"bbs.example"_s)));
        QVERIFY(store.save());

        struct stat after {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &after), 0);
        QCOMPARE(after.st_mode & 0777, mode_t(0600));
        QVERIFY(after.st_ino != before.st_ino); // a new file renamed over the old one
        // Nothing but the store is left in the folder.
        QCOMPARE(QDir(m_tmp->path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{u"cookies.txt"_s});
#endif
        const QByteArray text = readAll(this->path(u"cookies.txt"_s));
        QVERIFY(!text.contains("broken line")); // bad lines are not carried over
    }

    void neverWritesThroughALink() {
        const QString target = path(u"elsewhere.txt"_s);
        const QString link = path(u"cookies.txt"_s);
        QVERIFY(writeFile(target, StoredFile));
        QVERIFY(QFile::link(target, link));

        CookieStore store;
        QCOMPARE(store.load(link).status, CookieStore::LoadStatus::Loaded);
        QVERIFY(store.insertCookie(cookie("sid", "v-3", u"bbs.example"_s)));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"cannot write .*symbolic link"_s));
        QVERIFY(!store.save());
        QCOMPARE(readAll(target), StoredFile);
        QVERIFY(QFileInfo(link).isSymLink());
        QVERIFY(store.insertCookie(cookie("sid2", "v-4", u"bbs.example"_s)));
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
            CookieStore store;
            const CookieStore::LoadResult loaded = store.load(path);
            QCOMPARE(int(loaded.status), status);
            QVERIFY(!loaded.error.isEmpty());
            QVERIFY(store.insertCookie(cookie("sid", "v-5", u"bbs.example"_s)));
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
        CookieStore store;
        const CookieStore::LoadResult loaded = store.load(path(relative));
        QCOMPARE(loaded.status, CookieStore::LoadStatus::Unreadable);
        QVERIFY(!loaded.error.isEmpty());
        QVERIFY(!store.isPersistent());
    }

    void aStoreThatCannotBeWrittenKeepsTheSessionInMemory() {
        // Root may write anywhere: a folder that went away cannot be written by anyone.
        QTemporaryDir gone;
        const QString path = gone.filePath(u"cookies.txt"_s);
        CookieStore store;
        QCOMPARE(store.load(path).status, CookieStore::LoadStatus::Missing);
        QVERIFY(gone.remove());
        QVERIFY(store.insertCookie(cookie("sid", "v-6", u"bbs.example"_s)));
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
        CookieStore store;
        QCOMPARE(store.load(path).status, CookieStore::LoadStatus::Loaded);
        QVERIFY(store.insertCookie(cookie("sid", "v-7", u"bbs.example"_s)));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"cannot write .*read-only"_s));
        QVERIFY(!store.save());
        QVERIFY(readAll(path) == StoredFile);
        QVERIFY(holds(store.cookies(), "sid", "v-7"));
    }

    void aStoredCookieGivesWayToTheForumsNewOne() {
        const QString path = this->path(u"cookies.txt"_s);
        QVERIFY(writeFile(path, StoredFile));
        CookieStore store;
        QVERIFY(store.insertCookie(cookie("auth", "in-memory", u"127.0.0.1"_s)));
        QCOMPARE(store.load(path).status, CookieStore::LoadStatus::Loaded);
        // The file's cookie with the same name, host and path replaced the one before.
        QCOMPARE(store.cookies().size(), 2);
        QVERIFY(holds(store.cookies(), "auth", "secret-1"));
        store.setCookiesFromUrl({cookie("auth", "fresh", QString())}, QUrl(u"http://127.0.0.1/"_s));
        QVERIFY(holds(store.cookies(), "auth", "fresh"));
        QVERIFY(!holds(store.cookies(), "auth", "secret-1"));
    }

private:
    QString path(const QString &name) const {
        return m_tmp->filePath(name);
    }
    std::unique_ptr<QTemporaryDir> m_tmp;
};

QTEST_GUILESS_MAIN(TestCookieStore)
#include "tst_cookie_store.moc"
