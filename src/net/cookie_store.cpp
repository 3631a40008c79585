#include "net/cookie_store.h"

#include "files/file_io.h"
#include "net/cookie_file.h"
#include "net/network_session.h"

#include <QDir>
#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace quillmere {

CookieStore::CookieStore(NetworkSession &session, QObject *parent)
    : QObject(parent)
    , m_session(session) {
    m_saveTimer.setSingleShot(true);
    m_saveTimer.setInterval(std::chrono::seconds(2));
    connect(&m_saveTimer, &QTimer::timeout, this, &CookieStore::flush);
    connect(&session, &NetworkSession::cookiesReceived, this, &CookieStore::changed);
}

CookieStore::~CookieStore() {
    flush();
}

CookieStore::LoadResult CookieStore::load(const QString &path) {
    LoadResult result;
    SmallFile file = ReadSmallFile(path, MaxCookieFileBytes);
    switch (file.status) {
    case ReadStatus::Missing:
        if (const QFileInfo info(path); !QFileInfo(info.absolutePath()).isDir()) {
            result.status = LoadStatus::Unreadable;
            result.error = u"its folder %1 does not exist"_s.arg(info.absolutePath());
            return result;
        }
        m_path = path; // written at the first change
        m_stamp = {};
        return result;
    case ReadStatus::NotRegular:
    case ReadStatus::Unreadable:
        result.status = LoadStatus::Unreadable;
        result.error = file.error;
        return result;
    case ReadStatus::TooLarge:
        result.status = LoadStatus::NotACookieFile;
        result.error = file.error;
        return result;
    case ReadStatus::Read:
        break;
    }
    const QByteArray text = std::move(file.bytes);
    if (!LooksLikeCookieFile(text)) {
        result.status = LoadStatus::NotACookieFile;
        result.error = u"it is a binary file"_s;
        return result;
    }

    const CookieFileContents contents = ParseCookieFile(text, QDateTime::currentDateTimeUtc());
    m_session.addCookies(contents.cookies);
    m_path = path;
    m_stamp = stampOf(path);
    result.status = LoadStatus::Loaded;
    result.cookies = int(contents.cookies.size());
    result.badLines = contents.badLines;
    return result;
}

void CookieStore::addCookies(const QList<QNetworkCookie> &cookies) {
    m_session.addCookies(cookies);
    if (!cookies.isEmpty())
        changed();
}

QList<QNetworkCookie> CookieStore::cookies() const {
    return m_session.cookies();
}

void CookieStore::flush() {
    m_saveTimer.stop();
    if (m_dirty)
        save();
}

bool CookieStore::save() {
    m_saveTimer.stop();
    if (m_path.isEmpty())
        return false;
    m_dirty = false;
    const auto fail = [this](const QString &why) {
        if (!std::exchange(m_warned, true))
            qWarning("Quillmere: the sign-ins are kept for this session only: cannot write %s: %s",
                     qUtf8Printable(QDir::toNativeSeparators(m_path)), qUtf8Printable(why));
        Q_EMIT saved(false);
        return false;
    };

    // Asked first: a store we may not write is reported even when nothing is new.
    if (const FileResult may = MayReplace(m_path); !may.ok)
        return fail(may.error);

    if (!takeInReplacedFile())
        return fail(u"it was replaced by a file that is no cookie file"_s);

    // Nothing to write: the file already holds this, or there is no file and no cookie
    // (a forum's cookie the session refused changes nothing). A store deleted meanwhile
    // is written again.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QByteArray text = FormatCookieFile(cookies(), now);
    if (QFileInfo::exists(m_path) ? text == m_written : text == FormatCookieFile({}, now)) {
        Q_EMIT saved(true);
        return true;
    }

    if (const FileResult written = ReplaceFile(m_path, text, FileAccess::OwnerOnly); !written.ok)
        return fail(written.error);
    m_written = text;
    m_stamp = stampOf(m_path);
    m_warned = false;
    Q_EMIT saved(true);
    return true;
}

CookieStore::Stamp CookieStore::stampOf(const QString &path) {
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    return {true, info.size(), info.lastModified().toMSecsSinceEpoch()};
}

// The user may drop a browser's export where the store is while we run: writing the
// session's cookies over it would throw the sign-in away. Its cookies join the session's
// instead, and win over ours of the same name.
bool CookieStore::takeInReplacedFile() {
    const Stamp now = stampOf(m_path);
    if (!now.exists || now == m_stamp)
        return true;
    SmallFile file = ReadSmallFile(m_path, MaxCookieFileBytes);
    if (file.status != ReadStatus::Read || !LooksLikeCookieFile(file.bytes))
        return false;
    m_session.addCookies(ParseCookieFile(file.bytes, QDateTime::currentDateTimeUtc()).cookies);
    m_written = std::move(file.bytes);
    m_stamp = now;
    return true;
}

void CookieStore::changed() {
    if (m_path.isEmpty())
        return;
    m_dirty = true;
    if (!m_saveTimer.isActive())
        m_saveTimer.start();
}

} // namespace quillmere
