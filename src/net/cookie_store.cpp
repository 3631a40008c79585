#include "net/cookie_store.h"

#include "net/cookie_file.h"
#include "net/network_session.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <filesystem>
#include <system_error>

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
    const QFileInfo info(path);
    if (!info.exists()) {
        if (!QFileInfo(info.absolutePath()).isDir()) {
            result.status = LoadStatus::Unreadable;
            result.error = u"its folder %1 does not exist"_s.arg(info.absolutePath());
            return result;
        }
        m_path = path; // written at the first change
        return result;
    }
    // A pipe or a device would block the read, or never end.
    if (!info.isFile()) {
        result.status = LoadStatus::Unreadable;
        result.error = u"it is not a regular file"_s;
        return result;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.status = LoadStatus::Unreadable;
        result.error = file.errorString();
        return result;
    }
    const QByteArray text = file.read(MaxCookieFileBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        result.status = LoadStatus::Unreadable;
        result.error = file.errorString();
        return result;
    }
    if (!LooksLikeCookieFile(text)) {
        result.status = LoadStatus::NotACookieFile;
        result.error = text.size() > MaxCookieFileBytes
                           ? u"it is larger than %1 MiB"_s.arg(MaxCookieFileBytes >> 20)
                           : u"it is a binary file"_s;
        return result;
    }

    const CookieFileContents contents = ParseCookieFile(text, QDateTime::currentDateTimeUtc());
    m_session.addCookies(contents.cookies);
    m_path = path;
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

    // Replacing a link would cut it; writing through it would change a file we were
    // never given.
    const QFileInfo info(m_path);
    if (info.isSymLink())
        return fail(u"it is a symbolic link"_s);
    if (info.exists() && !info.isFile())
        return fail(u"it is not a regular file"_s);
    // A store its owner made read-only is meant to stay as it is, whoever runs us.
    if (info.exists() && !info.permissions().testFlag(QFileDevice::WriteOwner))
        return fail(u"it is read-only"_s);

    // Nothing to write: the file already holds this, or there is no file and no cookie
    // (a forum's cookie the session refused changes nothing).
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QByteArray text = FormatCookieFile(cookies(), now);
    if (info.exists() ? text == m_written : text == FormatCookieFile({}, now)) {
        Q_EMIT saved(true);
        return true;
    }

    // A new file beside the old one, owner-only from its first byte, renamed over it:
    // a crash leaves either the old file or the new one, never half of one.
    QTemporaryFile file(info.absolutePath() + u"/.cookies-XXXXXX.tmp"_s);
    if (!file.open())
        return fail(file.errorString());
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(text) != text.size() || !file.flush())
        return fail(file.errorString());
    file.close();
    std::error_code error;
    std::filesystem::rename(file.fileName().toStdU16String(), m_path.toStdU16String(), error);
    if (error)
        return fail(QString::fromLocal8Bit(error.message()));
    file.setAutoRemove(false);
    m_written = text;
    m_warned = false;
    Q_EMIT saved(true);
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
