#include "browsers/browser_cookies.h"

#include "browsers/chromium_keys.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSettings>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QUrl>
#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <sqlite3.h>

using namespace Qt::StringLiterals;

namespace quillmere {

namespace {

const QString WhatToDoInstead =
    u"请改用 cookies.txt：在浏览器中登录论坛后，用浏览器的 cookies.txt 扩展导出论坛的 Cookie，"
    "保存为程序旁边的 cookies.txt，或用 --cookies FILE 指定。"_s;

QString problemText(const QString &cause) {
    return u"无法从浏览器读取登录信息：%1\n\n%2"_s.arg(cause, WhatToDoInstead);
}

// ---- SQLite, read from a private copy
// ------------------------------------------------------------

class Row {
public:
    Row(sqlite3_stmt *statement, const QHash<QByteArray, int> &columns)
        : m_statement(statement)
        , m_columns(columns) {}
    bool has(const QByteArray &name) const { return m_columns.contains(name); }
    qint64 integer(const QByteArray &name) const {
        return has(name) ? sqlite3_column_int64(m_statement, m_columns.value(name)) : 0;
    }
    QByteArray bytes(const QByteArray &name) const {
        if (!has(name))
            return {};
        const int column = m_columns.value(name);
        const void *data = sqlite3_column_blob(m_statement, column);
        return QByteArray(static_cast<const char *>(data),
                          sqlite3_column_bytes(m_statement, column));
    }

private:
    sqlite3_stmt *m_statement;
    const QHash<QByteArray, int> &m_columns;
};

class Database {
public:
    explicit Database(const QString &path) {
        // Read-write on our own copy, so that SQLite can take in the write-ahead log.
        m_ok = sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, SQLITE_OPEN_READWRITE,
                               nullptr) == SQLITE_OK;
    }
    ~Database() { sqlite3_close(m_db); }
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    QString error() const {
        return m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : u"out of memory"_s;
    }
    // Runs `sql` and hands every row to `onRow`; false, with error() set, on failure.
    bool select(const char *sql, const std::function<void(const Row &)> &onRow) {
        if (!m_ok)
            return false;
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(m_db, sql, -1, &statement, nullptr) != SQLITE_OK)
            return false;
        const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> finalize(statement,
                                                                              sqlite3_finalize);
        QHash<QByteArray, int> columns;
        for (int i = 0; i < sqlite3_column_count(statement); ++i)
            columns.insert(QByteArray(sqlite3_column_name(statement, i)), i);
        const Row row(statement, columns);
        int step = SQLITE_ROW;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW)
            onRow(row);
        return step == SQLITE_DONE;
    }

private:
    sqlite3 *m_db = nullptr;
    bool m_ok = false;
};

// Copies the database and its journal into a private folder: the browser may be running
// and holding the original, and nothing of ours may ever touch it.
struct PrivateCopy {
    QTemporaryDir folder;
    QString database;
    QString error;
};

std::unique_ptr<PrivateCopy> copyDatabase(const QString &path) {
    auto copy = std::make_unique<PrivateCopy>();
    if (!copy->folder.isValid()) {
        copy->error = copy->folder.errorString();
        return copy;
    }
    copy->database = copy->folder.filePath(u"cookies.db"_s);
    for (const QString &suffix : {QString(), u"-wal"_s}) {
        const QString from = path + suffix;
        if (suffix.isEmpty() || QFileInfo::exists(from)) {
            QFile source(from);
            if (!source.copy(copy->database + suffix)) {
                copy->error = source.errorString();
                return copy;
            }
        }
    }
    return copy;
}

// Runs `read` over a private copy of the database at `path`. False, with the problem said
// in `result` and nothing taken, when the database cannot be read.
bool readCookieDatabase(const QString &path, const std::function<bool(Database &)> &read,
                        BrowserCookies &result) {
    if (!QFileInfo(path).isFile()) {
        result.problem = problemText(
            u"配置文件中没有 Cookie 数据库（%1）。"_s.arg(QDir::toNativeSeparators(path)));
        return false;
    }
    const std::unique_ptr<PrivateCopy> copy = copyDatabase(path);
    Database database(copy->database);
    if (copy->error.isEmpty() && read(database))
        return true;
    result.cookies.clear();
    result.problem = problemText(u"无法读取 Cookie 数据库 %1：%2。"_s.arg(
        QDir::toNativeSeparators(path), copy->error.isEmpty() ? database.error() : copy->error));
    return false;
}

// ---- The cookies as the browsers keep them
// -------------------------------------------------------

bool usableField(const QByteArray &field) {
    return std::none_of(field.begin(), field.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F || c == ';';
    });
}

bool isUtf8(const QByteArray &bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    [[maybe_unused]] const QString text = decoder.decode(bytes);
    return !decoder.hasError();
}

// A cookie of an http(s) host as both browsers store it: a leading dot on the host for
// one that covers its subdomains. Empty when the row is nothing we can send.
std::optional<QNetworkCookie> makeCookie(const QByteArray &host, const QByteArray &path,
                                         const QByteArray &name, const QByteArray &value,
                                         bool secure, bool httpOnly,
                                         const std::optional<QDateTime> &expires,
                                         const QDateTime &now) {
    const QByteArray bareHost = host.startsWith('.') ? host.mid(1) : host;
    if (bareHost.isEmpty() || name.isEmpty() || !usableField(host) || !usableField(path) ||
        !usableField(name) || !usableField(value) || !isUtf8(value) || bareHost.contains('/') ||
        bareHost.contains(' '))
        return std::nullopt;
    if (expires && *expires <= now)
        return std::nullopt;
    QNetworkCookie cookie(name, value);
    cookie.setDomain(QString::fromUtf8(host).toLower());
    cookie.setPath(path.isEmpty() ? u"/"_s : QString::fromUtf8(path));
    cookie.setSecure(secure);
    cookie.setHttpOnly(httpOnly);
    if (expires)
        cookie.setExpirationDate(*expires);
    return cookie;
}

// ---- Firefox
// --------------------------------------------------------------------------------------

QStringList firefoxRoots(const QString &browser, const BrowserLocations &where) {
#ifdef Q_OS_WIN
    if (browser == u"librewolf")
        return {where.appData + u"/librewolf"_s};
    return {where.appData + u"/Mozilla/Firefox"_s};
#else
    if (browser == u"librewolf")
        return {where.home + u"/.librewolf"_s,
                where.home + u"/.var/app/io.gitlab.librewolf-community/.librewolf"_s};
    return {where.home + u"/.mozilla/firefox"_s,
            where.home + u"/snap/firefox/common/.mozilla/firefox"_s,
            where.home + u"/.var/app/org.mozilla.firefox/.mozilla/firefox"_s};
#endif
}

bool looksLikePath(const QString &profile) {
    return profile.contains(u'/') || profile.contains(u'\\') || QDir::isAbsolutePath(profile);
}

// The profile folder: PROFILE as a folder, or by name from profiles.ini, or the default one.
std::optional<QString> firefoxProfile(const QString &browser, const QString &profile,
                                      const BrowserLocations &where, QString &problem) {
    if (looksLikePath(profile)) {
        if (QFileInfo(profile).isDir())
            return QDir(profile).absolutePath();
        problem = u"找不到配置文件夹 %1。"_s.arg(QDir::toNativeSeparators(profile));
        return std::nullopt;
    }
    const QStringList roots = firefoxRoots(browser, where);
    const auto root = std::find_if(roots.cbegin(), roots.cend(), [](const QString &folder) {
        return QFileInfo(folder + u"/profiles.ini"_s).isFile();
    });
    if (root == roots.cend()) {
        problem = u"找不到 %1 的配置文件（%2）。%1 是否装在这台电脑上，并已运行过？"_s.arg(
            browser, QDir::toNativeSeparators(roots.constFirst()));
        return std::nullopt;
    }
    const QSettings ini(*root + u"/profiles.ini"_s, QSettings::IniFormat);
    const auto folderOf = [&](const QString &group) {
        const QString path = ini.value(group + u"/Path"_s).toString();
        const bool relative = ini.value(group + u"/IsRelative"_s, 1).toInt() != 0;
        return relative ? QDir(*root).filePath(path) : path;
    };
    QStringList profiles;
    QString installDefault;
    for (const QString &group : ini.childGroups()) {
        if (group.startsWith(u"Profile"_s))
            profiles.append(group);
        else if (group.startsWith(u"Install"_s) && installDefault.isEmpty())
            installDefault = ini.value(group + u"/Default"_s).toString();
    }
    if (!profile.isEmpty()) {
        for (const QString &group : std::as_const(profiles)) {
            if (ini.value(group + u"/Name"_s).toString().compare(profile, Qt::CaseInsensitive) == 0)
                return folderOf(group);
        }
        problem = u"%1 没有名为“%2”的配置文件。"_s.arg(browser, profile);
        return std::nullopt;
    }
    // The profile this installation opens, else the one marked default, else the first.
    if (!installDefault.isEmpty())
        return QDir::isAbsolutePath(installDefault) ? installDefault
                                                    : QDir(*root).filePath(installDefault);
    for (const QString &group : std::as_const(profiles)) {
        if (ini.value(group + u"/Default"_s).toInt() == 1)
            return folderOf(group);
    }
    if (!profiles.isEmpty())
        return folderOf(profiles.constFirst());
    problem = u"%1 的 profiles.ini 中没有配置文件。"_s.arg(browser);
    return std::nullopt;
}

BrowserCookies readFirefox(const QString &browser, const QString &profile,
                           const BrowserLocations &where, const QDateTime &now) {
    BrowserCookies result;
    QString problem;
    const std::optional<QString> folder = firefoxProfile(browser, profile, where, problem);
    if (!folder) {
        result.problem = problemText(problem);
        return result;
    }
    const QString path = QDir(*folder).filePath(u"cookies.sqlite"_s);
    readCookieDatabase(
        path,
        [&](Database &database) {
            return database.select("SELECT * FROM moz_cookies", [&](const Row &row) {
                // Bits 1 and 2 of schemeMap are http and https; file: cookies have
                // neither. Older profiles have no such column.
                if (row.has("schemeMap") && (row.integer("schemeMap") & 3) == 0)
                    return;
                qint64 expiry = row.integer("expiry");
                if (expiry > 100'000'000'000) // newer profiles count milliseconds
                    expiry /= 1000;
                const std::optional<QNetworkCookie> cookie = makeCookie(
                    row.bytes("host"), row.bytes("path"), row.bytes("name"), row.bytes("value"),
                    row.integer("isSecure") != 0, row.integer("isHttpOnly") != 0,
                    QDateTime::fromSecsSinceEpoch(expiry, Qt::UTC), now);
                if (cookie)
                    result.cookies.append(*cookie);
            });
        },
        result);
    return result;
}

// ---- Chromium and Chrome
// -------------------------------------------------------------------

BrowserCookies readChromium(const QString &browser, const QString &profile,
                            const BrowserLocations &where, const QDateTime &now) {
    BrowserCookies result;
#ifdef Q_OS_WIN
    Q_UNUSED(profile)
    Q_UNUSED(where)
    Q_UNUSED(now)
    result.problem = problemText(
        u"Windows 上的 %1 用只有它自己能读取的密钥加密 Cookie，其他程序无法读取。"_s.arg(browser));
    return result;
#else
    const QString root =
        where.home + (browser == u"chrome" ? u"/.config/google-chrome"_s : u"/.config/chromium"_s);
    const QString folder = profile.isEmpty()        ? root + u"/Default"_s
                           : looksLikePath(profile) ? profile
                                                    : root + u'/' + profile;
    if (!QFileInfo(folder).isDir()) {
        result.problem = problemText(
            profile.isEmpty()
                ? u"找不到 %1 的配置文件（%2）。%1 是否装在这台电脑上，并已运行过？"_s.arg(
                      browser, QDir::toNativeSeparators(folder))
                : u"%1 没有配置文件“%2”（%3）。"_s.arg(browser, profile,
                                                       QDir::toNativeSeparators(folder)));
        return result;
    }
    // Newer versions keep the database in the Network folder of the profile.
    QString path = folder + u"/Network/Cookies"_s;
    if (!QFileInfo(path).isFile())
        path = folder + u"/Cookies"_s;

    int version = 0;
    const QByteArray v10Key = chromium::chromiumKey("peanuts");
    std::optional<QByteArray> v11Key; // asked of the keyring at the first v11 value
    int locked = 0;                   // v11 values without a keyring password
    int undecrypted = 0;              // values that do not decrypt
    const auto readRow = [&](const Row &row) {
        const QByteArray host = row.bytes("host_key");
        QByteArray value = row.bytes("value");
        const QByteArray encrypted = row.bytes("encrypted_value");
        if (value.isEmpty() && !encrypted.isEmpty()) {
            std::optional<QByteArray> plain;
            if (encrypted.startsWith("v10")) {
                plain = chromium::decryptAes128Cbc(v10Key, encrypted.mid(3));
            } else if (encrypted.startsWith("v11")) {
                if (!v11Key) {
                    const QByteArray password = chromium::keyringPassword(browser);
                    v11Key = password.isEmpty() ? QByteArray() : chromium::chromiumKey(password);
                }
                if (v11Key->isEmpty()) {
                    ++locked;
                    return;
                }
                plain = chromium::decryptAes128Cbc(*v11Key, encrypted.mid(3));
            }
            // From version 24 on, the value follows a SHA-256 of its host.
            if (plain && version >= 24)
                plain = plain->size() >= 32 ? std::optional(plain->mid(32)) : std::nullopt;
            if (!plain || !isUtf8(*plain)) {
                ++undecrypted;
                return;
            }
            value = *plain;
        }
        const qint64 expires = row.integer("expires_utc"); // microseconds since 1601; 0: session
        std::optional<QDateTime> expiry;
        if (expires != 0)
            expiry = QDateTime::fromSecsSinceEpoch(expires / 1'000'000 - 11'644'473'600, Qt::UTC);
        const bool secure = row.has("is_secure") ? row.integer("is_secure") : row.integer("secure");
        const bool httpOnly =
            row.has("is_httponly") ? row.integer("is_httponly") : row.integer("httponly");
        if (const std::optional<QNetworkCookie> cookie = makeCookie(
                host, row.bytes("path"), row.bytes("name"), value, secure, httpOnly, expiry, now))
            result.cookies.append(*cookie);
    };
    const bool read = readCookieDatabase(
        path,
        [&](Database &database) {
            return database.select("SELECT value FROM meta WHERE key = 'version'",
                                   [&](const Row &row) { version = row.bytes("value").toInt(); }) &&
                   database.select("SELECT * FROM cookies", readRow);
        },
        result);
    if (!read)
        return result; // the problem is said
    if (locked > 0) {
        result.problem = problemText(
            u"%1 的 %2 个 Cookie 用系统密钥环保管的密码加密，但没有可用的密钥环（Secret Service）"
            "应答，这些 Cookie 未读取。"_s.arg(browser)
                .arg(locked));
    } else if (undecrypted > 0) {
        result.problem =
            problemText(u"%1 的 %2 个 Cookie 无法解密，未读取。"_s.arg(browser).arg(undecrypted));
    }
    return result;
#endif
}

} // namespace

BrowserLocations BrowserLocations::system() {
    BrowserLocations where;
    where.home = QDir::homePath();
#ifdef Q_OS_WIN
    where.appData = QDir::fromNativeSeparators(qEnvironmentVariable("APPDATA"));
    where.localAppData = QDir::fromNativeSeparators(qEnvironmentVariable("LOCALAPPDATA"));
#endif
    return where;
}

BrowserCookies ReadBrowserCookies(const QString &spec, const BrowserLocations &where,
                                  const QDateTime &now) {
    const qsizetype colon = spec.indexOf(u':');
    const QString browser = (colon < 0 ? spec : spec.left(colon)).trimmed().toLower();
    const QString profile = colon < 0 ? QString() : spec.mid(colon + 1);
    if (browser == u"firefox" || browser == u"librewolf")
        return readFirefox(browser, profile, where, now);
    if (browser == u"chromium" || browser == u"chrome")
        return readChromium(browser, profile, where, now);
    BrowserCookies result;
    result.problem = problemText(
        u"不支持浏览器“%1”。可用的有：firefox、librewolf、chromium、chrome。"_s.arg(browser));
    return result;
}

} // namespace quillmere
