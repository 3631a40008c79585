#include "support/firefox_profile.h"

#include <QDir>
#include <QFile>
#include <sqlite3.h>

namespace quillmere::test {

FirefoxCookieDatabase::FirefoxCookieDatabase(const QString &folder) {
    QDir().mkpath(folder);
    const QByteArray path =
        QFile::encodeName(QDir(folder).filePath(QStringLiteral("cookies.sqlite")));
    if (sqlite3_open(path.constData(), &m_db) != SQLITE_OK)
        return;
    sqlite3_db_config(m_db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    m_valid =
        sqlite3_exec(m_db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr) == SQLITE_OK &&
        sqlite3_exec(m_db,
                     "CREATE TABLE moz_cookies (id INTEGER PRIMARY KEY, originAttributes TEXT NOT "
                     "NULL DEFAULT '', name TEXT, value TEXT, host TEXT, path TEXT, expiry "
                     "INTEGER, lastAccessed INTEGER, creationTime INTEGER, isSecure INTEGER, "
                     "isHttpOnly INTEGER, inBrowserElement INTEGER DEFAULT 0, sameSite INTEGER "
                     "DEFAULT 0, rawSameSite INTEGER DEFAULT 0, schemeMap INTEGER DEFAULT 0, "
                     "CONSTRAINT moz_uniqueid UNIQUE (name, host, path, originAttributes))",
                     nullptr, nullptr, nullptr) == SQLITE_OK;
}

FirefoxCookieDatabase::~FirefoxCookieDatabase() {
    sqlite3_close(m_db);
}

bool FirefoxCookieDatabase::add(const QByteArray &name, const QByteArray &value,
                                const QByteArray &host, qint64 expiry, bool secure, bool httpOnly,
                                int schemeMap) {
    sqlite3_stmt *statement = nullptr;
    if (!m_valid ||
        sqlite3_prepare_v2(m_db,
                           "INSERT INTO moz_cookies (name, value, host, path, expiry, "
                           "lastAccessed, creationTime, isSecure, isHttpOnly, schemeMap) "
                           "VALUES (?, ?, ?, '/', ?, 0, 0, ?, ?, ?)",
                           -1, &statement, nullptr) != SQLITE_OK)
        return false;
    sqlite3_bind_text(statement, 1, name.constData(), int(name.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(statement, 2, value.constData(), int(value.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(statement, 3, host.constData(), int(host.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(statement, 4, expiry);
    sqlite3_bind_int(statement, 5, secure ? 1 : 0);
    sqlite3_bind_int(statement, 6, httpOnly ? 1 : 0);
    sqlite3_bind_int(statement, 7, schemeMap);
    const bool done = sqlite3_step(statement) == SQLITE_DONE;
    sqlite3_finalize(statement);
    return done;
}

bool FirefoxCookieDatabase::add(const QNetworkCookie &cookie) {
    // Firefox keeps an expiry even for session cookies; a day ahead does for a test.
    const qint64 expiry = cookie.isSessionCookie() ? QDateTime::currentSecsSinceEpoch() + 86'400
                                                   : cookie.expirationDate().toSecsSinceEpoch();
    return add(cookie.name(), cookie.value(), cookie.domain().toUtf8(), expiry, cookie.isSecure(),
               cookie.isHttpOnly());
}

bool FirefoxCookieDatabase::checkpoint() {
    return sqlite3_exec(m_db, "PRAGMA wal_checkpoint", nullptr, nullptr, nullptr) == SQLITE_OK;
}

} // namespace quillmere::test
