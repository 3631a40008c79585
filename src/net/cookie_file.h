#pragma once

// The Netscape cookie file that curl (-b/-c), wget (--load-cookies), aria2 and the
// browsers' export extensions read and write: one cookie a line, seven TAB-separated
// fields (domain, include subdomains, path, secure, expiry in Unix seconds with 0 for a
// session cookie, name, value); "#HttpOnly_" before the domain marks an HttpOnly cookie,
// other lines starting with "#" and blank lines are comments.

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QNetworkCookie>

namespace quillmere {

// Larger files are not cookie files we read.
inline constexpr qint64 MaxCookieFileBytes = 16 * 1024 * 1024;

struct CookieFileContents {
    QList<QNetworkCookie> cookies; // in file order, expired ones left out
    int badLines = 0;              // lines that are neither a cookie nor a comment
};

// Reads the lines of a cookie file (LF or CRLF). A leading dot on the domain is dropped,
// as curl does: the second field alone says whether subdomains are included. Lines with
// the wrong number of fields, a bad flag or number, invalid UTF-8 or control characters
// are skipped and counted.
CookieFileContents ParseCookieFile(QByteArrayView text, const QDateTime &now);

// A file that is a cookie file at all: no NUL byte, not over MaxCookieFileBytes.
bool LooksLikeCookieFile(QByteArrayView text);

// The file for `cookies`, as curl -c writes it: the header line first, session cookies
// with expiry 0, expired ones and any that a line cannot hold left out, sorted by domain,
// path and name so that the file changes only where the session did.
QByteArray FormatCookieFile(const QList<QNetworkCookie> &cookies, const QDateTime &now);
// One cookie's line, without its line end; empty for a cookie a line cannot hold or one
// that has expired.
QByteArray FormatCookieLine(const QNetworkCookie &cookie, const QDateTime &now);

} // namespace quillmere
