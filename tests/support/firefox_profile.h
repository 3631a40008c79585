#pragma once

// A Firefox profile's cookie database, written the way Firefox lays it out (moz_cookies of
// Firefox 130, in write-ahead-log mode), for tests that read a browser's sign-in.

#include <QByteArray>
#include <QNetworkCookie>
#include <QString>

struct sqlite3;

namespace quillmere::test {

class FirefoxCookieDatabase {
public:
    // Creates `folder`/cookies.sqlite. When closed, the log is left as it is: rows written
    // after checkpoint() stay in cookies.sqlite-wal, as in a running browser's profile.
    explicit FirefoxCookieDatabase(const QString &folder);
    ~FirefoxCookieDatabase();
    FirefoxCookieDatabase(const FirefoxCookieDatabase &) = delete;
    FirefoxCookieDatabase &operator=(const FirefoxCookieDatabase &) = delete;

    bool isValid() const { return m_valid; }
    // `expiry` in the unit the row holds (seconds, or milliseconds in newer profiles);
    // schemeMap: 1 http, 2 https, 4 file.
    bool add(const QByteArray &name, const QByteArray &value, const QByteArray &host, qint64 expiry,
             bool secure = false, bool httpOnly = false, int schemeMap = 3);
    bool add(const QNetworkCookie &cookie);
    bool checkpoint();

private:
    sqlite3 *m_db = nullptr;
    bool m_valid = false;
};

} // namespace quillmere::test
