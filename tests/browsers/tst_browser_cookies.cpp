// Cookies taken from browsers' own databases, which these tests build themselves: a
// Firefox profile tree with profiles.ini and cookies.sqlite (a newer row only in its
// write-ahead log), and Chromium Cookies databases with values encrypted here as Chromium
// encrypts them. Values are checked with QVERIFY only, never printed.

#include "browsers/browser_cookies.h"
#include "support/firefox_profile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sqlite3.h>

using namespace Qt::StringLiterals;
using namespace quillmere;
using quillmere::test::FirefoxCookieDatabase;

namespace {

const QDateTime Now = QDateTime::fromSecsSinceEpoch(1'800'000'000, Qt::UTC);
constexpr qint64 Later = 1'900'000'000;
constexpr qint64 Earlier = 1'700'000'000;

// A database we write, closed without folding its write-ahead log back in.
class Db {
public:
    explicit Db(const QString &path) {
        sqlite3_open(QFile::encodeName(path).constData(), &m_db);
        sqlite3_db_config(m_db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    }
    ~Db() { sqlite3_close(m_db); }
    bool exec(const QByteArray &sql) {
        return sqlite3_exec(m_db, sql.constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    // One row, its blobs bound in order to the statement's "?".
    bool insert(const QByteArray &sql, const QList<QByteArray> &blobs) {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.constData(), -1, &statement, nullptr) != SQLITE_OK)
            return false;
        for (int i = 0; i < blobs.size(); ++i) {
            // Text where it is text, so that numbers take the column's INTEGER affinity.
            const QByteArray &value = blobs[i];
            const bool binary = std::any_of(value.begin(), value.end(), [](char c) {
                return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E;
            });
            if (binary)
                sqlite3_bind_blob(statement, i + 1, value.constData(), int(value.size()),
                                  SQLITE_TRANSIENT);
            else
                sqlite3_bind_text(statement, i + 1, value.constData(), int(value.size()),
                                  SQLITE_TRANSIENT);
        }
        const bool done = sqlite3_step(statement) == SQLITE_DONE;
        sqlite3_finalize(statement);
        return done;
    }

private:
    sqlite3 *m_db = nullptr;
};

bool writeFile(const QString &path, const QByteArray &bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray key(const QByteArray &password) {
    QByteArray out(16, '\0');
    PKCS5_PBKDF2_HMAC_SHA1(password.constData(), int(password.size()),
                           reinterpret_cast<const unsigned char *>("saltysalt"), 9, 1, 16,
                           reinterpret_cast<unsigned char *>(out.data()));
    return out;
}

// What Chromium stores for `value`: "v10" or "v11", then AES-128-CBC with 16 blanks as IV.
QByteArray encrypt(const QByteArray &prefix, const QByteArray &password, QByteArray value) {
    const QByteArray k = key(password);
    const QByteArray iv(16, ' ');
    EVP_CIPHER_CTX *context = EVP_CIPHER_CTX_new();
    QByteArray out(value.size() + 32, '\0');
    int length = 0, last = 0;
    EVP_EncryptInit_ex(context, EVP_aes_128_cbc(), nullptr,
                       reinterpret_cast<const unsigned char *>(k.constData()),
                       reinterpret_cast<const unsigned char *>(iv.constData()));
    EVP_EncryptUpdate(context, reinterpret_cast<unsigned char *>(out.data()), &length,
                      reinterpret_cast<const unsigned char *>(value.constData()),
                      int(value.size()));
    EVP_EncryptFinal_ex(context, reinterpret_cast<unsigned char *>(out.data()) + length, &last);
    EVP_CIPHER_CTX_free(context);
    out.resize(length + last);
    return prefix + out;
}

QByteArray sha256(const QByteArray &text) {
    QByteArray digest(SHA256_DIGEST_LENGTH, '\0');
    SHA256(reinterpret_cast<const unsigned char *>(text.constData()), size_t(text.size()),
           reinterpret_cast<unsigned char *>(digest.data()));
    return digest;
}

// Chromium's microseconds since 1601-01-01.
QByteArray chromiumTime(qint64 unixSeconds) {
    return QByteArray::number((unixSeconds + 11'644'473'600) * 1'000'000);
}

const QNetworkCookie *find(const BrowserCookies &read, const QByteArray &name) {
    const auto found = std::find_if(read.cookies.cbegin(), read.cookies.cend(),
                                    [&](const QNetworkCookie &c) { return c.name() == name; });
    return found == read.cookies.cend() ? nullptr : &*found;
}

QStringList names(const BrowserCookies &read) {
    QStringList list;
    for (const QNetworkCookie &cookie : read.cookies)
        list.append(QString::fromUtf8(cookie.name()));
    list.sort();
    return list;
}

} // namespace

class TestBrowserCookies : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        m_home = std::make_unique<QTemporaryDir>();
        QVERIFY(m_home->isValid());
        m_where.home = m_home->path();
        m_where.appData = m_home->filePath(u"AppData/Roaming"_s);
        m_where.localAppData = m_home->filePath(u"AppData/Local"_s);
    }

    void firefoxDefaultProfileWithItsLog() {
        const QString root = firefoxRoot();
        QVERIFY(writeFile(root + u"/profiles.ini"_s,
                          "[Profile1]\nName=work\nIsRelative=1\nPath=Profiles/w.work\n\n"
                          "[Profile0]\nName=default-release\nIsRelative=1\n"
                          "Path=Profiles/d.default-release\nDefault=1\n\n"
                          "[General]\nStartWithLastProfile=1\nVersion=2\n"));
        QVERIFY(makeFirefoxDatabase(root + u"/Profiles/d.default-release"_s, "default"));
        QVERIFY(makeFirefoxDatabase(root + u"/Profiles/w.work"_s, "work"));
        const QDir profile(root + u"/Profiles/d.default-release"_s);
        const QStringList filesBefore = profile.entryList(QDir::Files | QDir::Hidden);
        QVERIFY(filesBefore.contains(u"cookies.sqlite-wal"_s));
        QList<QByteArray> before;
        for (const QString &name : filesBefore)
            before.append(readAll(profile.filePath(name)));

        const BrowserCookies read = ReadBrowserCookies(u"firefox"_s, m_where, Now);
        QCOMPARE(read.problem, QString());
        // The expired and the file: cookie stay behind; the row only in the log is there.
        QCOMPARE(names(read),
                 (QStringList{u"default_auth"_s, u"default_pref"_s, u"default_wal"_s}));
        const QNetworkCookie *auth = find(read, "default_auth");
        QVERIFY(auth->value() == "secret-a");
        QCOMPARE(auth->domain(), u"bbs.example"_s);
        QVERIFY(auth->isHttpOnly() && !auth->isSecure());
        QCOMPARE(auth->expirationDate().toSecsSinceEpoch(), Later);
        const QNetworkCookie *pref = find(read, "default_pref");
        QCOMPARE(pref->domain(), u".example.org"_s);
        QVERIFY(pref->isSecure());
        QCOMPARE(pref->expirationDate().toSecsSinceEpoch(), Later); // stored in milliseconds
        // Nothing of the browser's was written to, and nothing was added beside it.
        QCOMPARE(profile.entryList(QDir::Files | QDir::Hidden), filesBefore);
        for (int i = 0; i < filesBefore.size(); ++i)
            QVERIFY2(readAll(profile.filePath(filesBefore[i])) == before[i],
                     qPrintable(filesBefore[i]));
    }

    void firefoxProfileByNameOrFolder() {
        const QString root = firefoxRoot();
        QVERIFY(writeFile(root + u"/profiles.ini"_s,
                          "[Install4F96D1932A9F858E]\nDefault=Profiles/d.default-release\n\n"
                          "[Profile0]\nName=work\nIsRelative=1\nPath=Profiles/w.work\nDefault=1\n\n"
                          "[Profile1]\nName=default-release\nIsRelative=1\n"
                          "Path=Profiles/d.default-release\n"));
        QVERIFY(makeFirefoxDatabase(root + u"/Profiles/d.default-release"_s, "default"));
        QVERIFY(makeFirefoxDatabase(root + u"/Profiles/w.work"_s, "work"));
        // The installation's own default wins over the older Default=1 mark.
        QVERIFY(find(ReadBrowserCookies(u"firefox"_s, m_where, Now), "default_auth"));
        QVERIFY(find(ReadBrowserCookies(u"firefox:work"_s, m_where, Now), "work_auth"));
        QVERIFY(find(ReadBrowserCookies(u"Firefox:WORK"_s, m_where, Now), "work_auth"));
        const BrowserCookies byFolder =
            ReadBrowserCookies(u"firefox:"_s + root + u"/Profiles/w.work"_s, {}, Now);
        QCOMPARE(byFolder.problem, QString());
        QVERIFY(find(byFolder, "work_auth"));
    }

    // Chromium's keys on Linux, which the Windows build leaves out (chromium_keys.cpp):
    // what it does there instead is a row of failuresNameTheirCause.
#ifndef Q_OS_WIN
    void chromiumValuesDecrypt_data() {
        QTest::addColumn<int>("version");
        QTest::newRow("meta version 23") << 23;
        QTest::newRow("meta version 24: the value follows its host's hash") << 24;
    }
    void chromiumValuesDecrypt() {
        QFETCH(int, version);
        const QString profile = m_home->filePath(u".config/chromium/Default"_s);
        QVERIFY(makeChromiumDatabase(profile + u"/Cookies"_s, version, false));
        const BrowserCookies read = ReadBrowserCookies(u"chromium"_s, m_where, Now);
        QCOMPARE(read.problem, QString());
        QCOMPARE(names(read), (QStringList{u"auth"_s, u"plain"_s, u"session"_s}));
        QVERIFY(find(read, "auth")->value() == "secret-c");
        QCOMPARE(find(read, "auth")->domain(), u"bbs.example"_s);
        QVERIFY(find(read, "auth")->isHttpOnly());
        QCOMPARE(find(read, "auth")->expirationDate().toSecsSinceEpoch(), Later);
        QVERIFY(find(read, "session")->isSessionCookie());
        QCOMPARE(find(read, "session")->domain(), u".example.org"_s);
        QVERIFY(find(read, "plain")->value() == "in-the-clear");
    }

    void chromeKeepsItsDatabaseInTheNetworkFolder() {
        const QString profile = m_home->filePath(u".config/google-chrome/Profile 1"_s);
        QVERIFY(makeChromiumDatabase(profile + u"/Network/Cookies"_s, 24, false));
        QVERIFY(find(ReadBrowserCookies(u"chrome:Profile 1"_s, m_where, Now), "auth"));
        // Without a profile: Default, which this Chrome does not have.
        QVERIFY(ReadBrowserCookies(u"chrome"_s, m_where, Now).problem.contains(u"chrome"_s));
    }

    void aKeyringValueWithoutAKeyringIsReportedNotFatal() {
        // No Secret Service can answer: the session bus leads nowhere.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quillmere-test-bus");
        const QString profile = m_home->filePath(u".config/chromium/Default"_s);
        QVERIFY(makeChromiumDatabase(profile + u"/Cookies"_s, 24, true));
        const BrowserCookies read = ReadBrowserCookies(u"chromium"_s, m_where, Now);
        QVERIFY(read.problem.contains(u"Secret Service"_s));
        QVERIFY(read.problem.contains(u"cookies.txt"_s)); // what to do instead
        QVERIFY(!find(read, "locked"));
        QVERIFY(find(read, "auth")); // the others are still taken
    }
#endif

    void failuresNameTheirCause_data() {
        QTest::addColumn<QString>("spec");
        QTest::addColumn<QString>("cause");
        QTest::newRow("unknown browser") << u"netscape"_s << u"不支持浏览器“netscape”"_s;
        QTest::newRow("no Firefox") << u"firefox"_s << u"找不到 firefox 的配置文件"_s;
        QTest::newRow("no such profile") << u"firefox:nobody"_s << u"没有名为“nobody”"_s;
        QTest::newRow("no such folder") << u"firefox:/no/such/profile"_s << u"找不到配置文件夹"_s;
        QTest::newRow("profile without database") << u"firefox:empty"_s << u"没有 Cookie 数据库"_s;
        QTest::newRow("not a database") << u"firefox:broken"_s << u"无法读取 Cookie 数据库"_s;
#ifdef Q_OS_WIN
        // The user's Windows login guards the key of their values: nothing is read, with a
        // profile and its database or without.
        QTest::newRow("Chromium") << u"chromium"_s << u"其他程序无法读取"_s;
        QTest::newRow("Chrome's profile") << u"chrome:Profile 1"_s << u"其他程序无法读取"_s;
#else
        QTest::newRow("no Chromium") << u"chromium"_s << u"找不到 chromium 的配置文件"_s;
#endif
    }
    void failuresNameTheirCause() {
        QFETCH(QString, spec);
        QFETCH(QString, cause);
        if (spec.startsWith(u"firefox:"_s) && !spec.contains(u'/')) {
            const QString root = firefoxRoot();
            QVERIFY(writeFile(root + u"/profiles.ini"_s,
                              "[Profile0]\nName=empty\nIsRelative=1\nPath=e\n\n"
                              "[Profile1]\nName=broken\nIsRelative=1\nPath=b\n"));
            QVERIFY(QDir().mkpath(root + u"/e"_s));
            QVERIFY(writeFile(root + u"/b/cookies.sqlite"_s, "this is no database, truly"));
        }
        if (spec.startsWith(u"chrome:"_s))
            QVERIFY(makeChromiumDatabase(
                m_where.localAppData + u"/Google/Chrome/User Data/Profile 1/Network/Cookies"_s, 24,
                false));
        const BrowserCookies read = ReadBrowserCookies(spec, m_where, Now);
        QVERIFY(read.cookies.isEmpty());
        QVERIFY2(read.problem.contains(cause), qPrintable(read.problem));
        QVERIFY(read.problem.contains(u"cookies.txt"_s));
    }

private:
    QString firefoxRoot() const {
#ifdef Q_OS_WIN
        return m_where.appData + u"/Mozilla/Firefox"_s;
#else
        return m_home->filePath(u".mozilla/firefox"_s);
#endif
    }

    static QByteArray readAll(const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // A profile's cookies; `tag` marks the cookie names of this profile.
    static bool makeFirefoxDatabase(const QString &folder, const QByteArray &tag) {
        FirefoxCookieDatabase db(folder);
        return db.isValid() &&
               db.add(tag + "_auth", "secret-a", "bbs.example", Later, false, true, 1) &&
               db.add(tag + "_pref", "zh", ".example.org", Later * 1000, true, false, 2) &&
               db.add(tag + "_old", "x", "bbs.example", Earlier, false, false, 1) &&
               db.add(tag + "_file", "x", "bbs.example", Later, false, false, 4) &&
               db.checkpoint() &&
               // After the checkpoint: this row lives only in cookies.sqlite-wal.
               db.add(tag + "_wal", "secret-w", "bbs.example", Later);
    }

    static bool makeChromiumDatabase(const QString &path, int version, bool withV11) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        Db db(path);
        const auto value = [version](const QByteArray &host, const QByteArray &plain) {
            return version >= 24 ? sha256(host) + plain : plain;
        };
        const QByteArray insert =
            "INSERT INTO cookies (creation_utc, host_key, top_frame_site_key, name, value, "
            "encrypted_value, path, expires_utc, is_secure, is_httponly, last_access_utc, "
            "has_expires, is_persistent, priority, samesite, source_scheme, source_port, "
            "last_update_utc) VALUES (0, ?, '', ?, ?, ?, '/', ?, ?, ?, 0, 1, 1, 1, 0, 2, 443, 0)";
        bool ok =
            db.exec("CREATE TABLE meta(key LONGVARCHAR NOT NULL UNIQUE PRIMARY KEY, value "
                    "LONGVARCHAR)") &&
            db.exec("INSERT INTO meta VALUES ('version', '" + QByteArray::number(version) + "')") &&
            db.exec("CREATE TABLE cookies(creation_utc INTEGER NOT NULL, host_key TEXT NOT NULL, "
                    "top_frame_site_key TEXT NOT NULL, name TEXT NOT NULL, value TEXT NOT NULL, "
                    "encrypted_value BLOB NOT NULL, path TEXT NOT NULL, expires_utc INTEGER NOT "
                    "NULL, is_secure INTEGER NOT NULL, is_httponly INTEGER NOT NULL, "
                    "last_access_utc INTEGER NOT NULL, has_expires INTEGER NOT NULL, "
                    "is_persistent INTEGER NOT NULL, priority INTEGER NOT NULL, samesite "
                    "INTEGER NOT NULL, source_scheme INTEGER NOT NULL, source_port INTEGER NOT "
                    "NULL, last_update_utc INTEGER NOT NULL)") &&
            db.insert(insert, {"bbs.example", "auth", "",
                               encrypt("v10", "peanuts", value("bbs.example", "secret-c")),
                               chromiumTime(Later), "0", "1"}) &&
            db.insert(insert,
                      {".example.org", "session", "",
                       encrypt("v10", "peanuts", value(".example.org", "s")), "0", "1", "0"}) &&
            db.insert(insert, {"bbs.example", "plain", "in-the-clear", "", chromiumTime(Later), "0",
                               "0"}) &&
            db.insert(insert, {"bbs.example", "expired", "",
                               encrypt("v10", "peanuts", value("bbs.example", "x")),
                               chromiumTime(Earlier), "0", "0"});
        if (withV11)
            ok = ok &&
                 db.insert(insert, {"bbs.example", "locked", "",
                                    encrypt("v11", "from-the-keyring", value("bbs.example", "k")),
                                    chromiumTime(Later), "0", "0"});
        return ok;
    }

    std::unique_ptr<QTemporaryDir> m_home;
    BrowserLocations m_where;
};

QTEST_GUILESS_MAIN(TestBrowserCookies)
#include "tst_browser_cookies.moc"
