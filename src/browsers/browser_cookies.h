#pragma once

// The sign-in the user already has in a browser: its cookies read once, straight from the
// browser's own database, for --cookies-from-browser BROWSER[:PROFILE]. The browser's
// files are only ever copied and read, never written; a running browser keeps them
// locked, so the database is read from a private copy.
//
// Firefox (and LibreWolf) on Linux and Windows: the profile from profiles.ini, or PROFILE
// as a name or a folder; cookies.sqlite with its write-ahead log. Chromium and Chrome on
// Linux: the Cookies database, "v10" values with the fixed key, "v11" values with the
// password the desktop's Secret Service keeps (when built with libsecret). Chrome on
// Windows encrypts with a key no other program can read.

#include <QDateTime>
#include <QList>
#include <QNetworkCookie>
#include <QString>

namespace quillmere {

// Where the browsers keep their profiles: the system's places, or a test's.
struct BrowserLocations {
    QString home;         // the user's home folder
    QString appData;      // Windows: %APPDATA%
    QString localAppData; // Windows: %LOCALAPPDATA%
    static BrowserLocations system();
};

struct BrowserCookies {
    QList<QNetworkCookie> cookies; // every cookie that could be read: http(s) hosts, not expired
    // Empty when all went well; otherwise, for the user, the cause and what to do instead.
    QString problem;
};

// `spec` is BROWSER or BROWSER:PROFILE: firefox, librewolf, chromium or chrome.
BrowserCookies ReadBrowserCookies(const QString &spec,
                                  const BrowserLocations &where = BrowserLocations::system(),
                                  const QDateTime &now = QDateTime::currentDateTimeUtc());

} // namespace quillmere
